from typing import Any, Dict

from orvane.brenlow.profiler import SnapshotRecord

DYNAMIC_VARIANCE_THRESHOLD: float
STABLE_VARIANCE_THRESHOLD: float
HIGH_ROC_THRESHOLD: float
CORRELATION_THRESHOLD: float
OUTLIER_FREQUENCY_THRESHOLD: float
PERIODICITY_THRESHOLD: float

class SchemaClassifier:
    def __init__(self) -> None: ...
    def classify(self, profiler_snapshot: SnapshotRecord | Dict[str, Any]) -> Dict[str, Any]: ...
