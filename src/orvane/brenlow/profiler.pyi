import math as math
import threading as threading
from collections import deque
from types import TracebackType
from typing import Any, Iterable, SupportsFloat, SupportsIndex, TypedDict, final, type_check_only

from typing_extensions import disjoint_base

PROFILER_CORRELATION_WINDOW: int | None
PROFILER_MIN_DATAPOINTS: int | float
PROFILER_OUTLIER_ZSCORE: int | float
PROFILER_PERIODICITY_MIN_POINTS: int | float

_Real = SupportsFloat | SupportsIndex

# The records' shapes exist for type checkers only: at run time they are
# plain dicts, and the module has no such names (import them under
# `if TYPE_CHECKING:`).
@type_check_only
class ChannelRecord(TypedDict):
    name: str
    count: int
    min: float
    max: float
    mean: float
    variance: float
    std: float
    value_range: float
    mean_rate_of_change: float
    outlier_frequency: float
    periodicity_score: float

@type_check_only
class SnapshotRecord(TypedDict):
    device_id: str
    total_observations: int
    confidence_score: float
    channel_count: int
    channels: dict[str, ChannelRecord]
    correlations: dict[str, dict[str, float]]

# The type of StatisticalProfiler._lock (not a module attribute).
@final
class _Lock:
    def acquire(self, blocking: bool = True, timeout: float = -1) -> bool: ...
    def release(self) -> None: ...
    def locked(self) -> bool: ...
    def __enter__(self) -> bool: ...
    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None: ...

@disjoint_base
class ChannelStats:
    name: str
    count: int
    min_val: float
    max_val: float
    mean: float
    M2: float
    prev_value: float | None
    delta_sum: float
    delta_count: int
    outlier_count: int
    # Reads as a fresh copy of the window (a deque with the window's maxlen);
    # assigning an iterable of real numbers replaces the window, and a deque
    # also sets the capacity from its maxlen.
    @property
    def history(self) -> deque[float]: ...
    @history.setter
    def history(self, values: Iterable[_Real]) -> None: ...
    def __init__(self, name: str) -> None: ...
    def update(self, value: _Real) -> None: ...
    def check_outlier(self, value: _Real) -> bool: ...
    @property
    def variance(self) -> float: ...
    @property
    def std(self) -> float: ...
    @property
    def value_range(self) -> float: ...
    @property
    def mean_rate_of_change(self) -> float: ...
    @property
    def outlier_frequency(self) -> float: ...
    @property
    def periodicity_score(self) -> float: ...
    def to_dict(self) -> ChannelRecord: ...
    # The state is plain data with a "version" entry (see __getstate__'s
    # keys); pickle and the copy module go through it.
    def __getstate__(self) -> dict[str, Any]: ...
    def __setstate__(self, state: dict[str, Any]) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...

@disjoint_base
class StatisticalProfiler:
    device_id: str
    channels: dict[str, ChannelStats]
    total_observations: int
    @property
    def _lock(self) -> _Lock: ...
    def __init__(self, device_id: str) -> None: ...
    def observe(self, payload: dict[str, float]) -> None: ...
    @property
    def confidence_score(self) -> float: ...
    def compute_correlations(self) -> dict[str, dict[str, float]]: ...
    def snapshot(self) -> SnapshotRecord: ...
    def __getstate__(self) -> dict[str, Any]: ...
    def __setstate__(self, state: dict[str, Any]) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
