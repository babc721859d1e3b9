from typing import Any, Dict

DYNAMIC_VARIANCE_THRESHOLD: float
STABLE_VARIANCE_THRESHOLD: float
HIGH_ROC_THRESHOLD: float
CORRELATION_THRESHOLD: float
OUTLIER_FREQUENCY_THRESHOLD: float
PERIODICITY_THRESHOLD: float

class SchemaClassifier:
    def __init__(self) -> None: ...
    def classify(self, profiler_snapshot: Dict[str, Any]) -> Dict[str, Any]: ...
