"""Base class of the SDK's encoders."""

from __future__ import annotations

from typing import Any


class BaseEncoder:
    """An encoder turns one raw input into a one-dimensional embedding.

    Subclasses set the class attribute ``name`` (the modality, e.g. "imu")
    and implement :meth:`encode`. They need not call this constructor.
    """

    name: str = "base"

    def encode(self, raw: Any) -> Any:
        raise NotImplementedError(f"{type(self).__name__} does not implement encode()")

    def __repr__(self) -> str:
        return f"<{type(self).__name__} encoder for {self.name!r}>"
