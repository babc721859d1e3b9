import threading as threading
import time as time
from collections import deque as deque
from types import TracebackType
from typing import Any, final

from typing_extensions import disjoint_base

from orvane.client import Brenlow

ACCUMULATOR_WINDOW_SIZE: int
ACCUMULATOR_BATCH_SIZE: int
ACCUMULATOR_FLUSH_MAX_AGE_S: float
# Seconds the exit hook waits for batches in flight (from its start).
EXIT_FLUSH_TIMEOUT_S: float

# The exit hook, registered with atexit when the module is loaded.
def _exit_drain() -> None: ...

@final
class Lock:
    def acquire(self, blocking: bool = True, timeout: float = -1) -> bool: ...
    def release(self) -> None: ...
    def locked(self) -> bool: ...
    def __enter__(self) -> bool: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None: ...

@disjoint_base
class EpisodeAccumulator:
    brain: Brenlow
    device_id: str
    window: deque[dict[str, Any]]
    pending_batch: list[dict[str, Any]]
    total_episodes: int
    total_ingested: int
    _last_flush_ts: float
    @property
    def _lock(self) -> Lock: ...
    def __init__(self, brain: Brenlow, device_id: str) -> None: ...
    def observe(
        self, timestamp: str, payload: dict[Any, Any], context: dict[str, Any] | None = None
    ) -> dict[str, Any]: ...
    def flush(self) -> None: ...
    def _build_episode(
        self, timestamp: str, payload: dict[Any, Any], context: dict[str, Any] | None = None
    ) -> dict[str, Any]: ...
    def _flush_locked(self, now_ts: float | None = None) -> None: ...
    def _post_batch(self, batch: list[dict[str, Any]]) -> None: ...
