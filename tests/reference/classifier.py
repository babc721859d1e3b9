"""SchemaClassifier in plain Python.

The thresholds are read from a module (the compiled one unless another is
given) at each use, as the compiled code reads its module globals, so that
one rebound or removed while a call runs affects both sides alike.
"""

import orvane.brenlow.classifier as C

from .host import check


def classify(snap, k=C):
    channels = snap.get("channels", {})
    correlations = snap.get("correlations", {})
    confidence = float(snap.get("confidence_score", 0.0) or 0.0)
    out = {}
    for name, stats in channels.items():
        labels = []
        count = int(stats.get("count", 0))
        variance = float(stats.get("variance", 0.0) or 0.0)
        roc = float(stats.get("mean_rate_of_change", 0.0) or 0.0)
        ofreq = float(stats.get("outlier_frequency", 0.0) or 0.0)
        period = float(stats.get("periodicity_score", 0.0) or 0.0)
        if count < 5:
            out[name] = {"labels": ["unknown"], "significance_score": 0.0, "confidence": confidence}
            continue
        sig = 0.0
        if variance > k.DYNAMIC_VARIANCE_THRESHOLD and roc > k.HIGH_ROC_THRESHOLD:
            labels.append("dynamic")
            sig += 0.4
        if variance <= k.STABLE_VARIANCE_THRESHOLD:
            labels.append("stable")
        elif variance <= k.DYNAMIC_VARIANCE_THRESHOLD and roc <= k.HIGH_ROC_THRESHOLD:
            labels.append("slow_moving")
            sig += 0.1
        if period >= k.PERIODICITY_THRESHOLD:
            labels.append("periodic")
            sig += 0.2
        if ofreq > k.OUTLIER_FREQUENCY_THRESHOLD:
            labels.append("outlier_prone")
            sig += 0.2
        partners_out = []
        partners = correlations.get(name, {})
        if isinstance(partners, dict):
            for other, value in partners.items():
                if other != name and abs(float(value)) >= k.CORRELATION_THRESHOLD:
                    partners_out.append(other)
        if partners_out:
            labels.append("correlated")
            sig += 0.2
        if not labels:
            labels.append("unknown")
        out[name] = {
            "labels": labels,
            "significance_score": round(min(sig, 1.0), 4),
            "confidence": confidence,
            "correlated_with": partners_out,
            "stats_summary": {
                "variance": round(variance, 6),
                "mean_roc": round(roc, 6),
                "outlier_freq": round(ofreq, 4),
                "periodicity_score": round(period, 4),
            },
        }
    ranked = sorted(out.items(), key=lambda e: e[1]["significance_score"], reverse=True)
    return {
        "confidence": confidence,
        "channel_count": len(out),
        "significant_channels": [n for n, c in ranked if c["significance_score"] > 0.2],
        "stable_channels": [n for n, c in out.items() if "stable" in c["labels"]],
        "classifications": out,
    }


class SchemaClassifier:
    """The classifier with its argument check; thresholds from module `k`."""

    def __init__(self, k=C):
        self._k = k

    def classify(self, profiler_snapshot):
        return classify(check(profiler_snapshot, dict, "profiler_snapshot"), self._k)
