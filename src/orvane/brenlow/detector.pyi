from collections import deque
from typing import TYPE_CHECKING, Any, Dict, List, Optional

from typing_extensions import disjoint_base

if TYPE_CHECKING:
    from orvane.client import Brenlow

DETECTOR_CHECK_EVERY: int
DETECTOR_MIN_CONFIDENCE: float
DETECTOR_TOP_K: int
DETECTOR_CLUSTER_THRESHOLD: float

@disjoint_base
class AnomalyEvent:
    device_id: str
    timestamp: str
    similar_episode_count: int
    dominant_outcome: str
    confidence: float
    query_score: float
    channel_snapshot: Dict[str, float]
    detected_at: float
    def __init__(
        self,
        device_id: str,
        timestamp: str,
        similar_episode_count: int,
        dominant_outcome: str,
        confidence: float,
        query_score: float,
        channel_snapshot: Dict[str, float],
    ) -> None: ...
    def to_dict(self) -> Dict[str, Any]: ...
    def __getstate__(self) -> Dict[str, Any]: ...
    def __setstate__(self, state: Dict[str, Any]) -> None: ...

# The type of AnomalyDetector._lock (not a module attribute).
class _Lock:
    def acquire(self, blocking: bool = True, timeout: float = -1) -> bool: ...
    def release(self) -> None: ...
    def locked(self) -> bool: ...
    def __enter__(self) -> bool: ...
    def __exit__(self, *exc: object) -> None: ...

@disjoint_base
class AnomalyDetector:
    brain: "Brenlow"
    device_id: str
    events: deque[AnomalyEvent]
    _lock: _Lock
    _check_counter: int
    def __init__(self, brain: "Brenlow", device_id: str) -> None: ...
    def observe(self, timestamp: str, payload: Dict[str, float], confidence: float) -> Optional[AnomalyEvent]: ...
    def _build_query(self, payload: Dict[str, float]) -> str: ...
    def _analyse_hits(
        self, timestamp: str, payload: Dict[str, float], hits: List[Dict[str, Any]], confidence: float
    ) -> Optional[AnomalyEvent]: ...
    def get_events(self) -> List[Dict[str, Any]]: ...
