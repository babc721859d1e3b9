"""The resolver's search rules as a plain-Python scan, for testing the compiled index.

Rows are given in arrival order, each a dict of channel values. Scores are
computed with the same double operations in the same order as the index, so
that episode scores compare exactly.
"""

from __future__ import annotations

import array
import math
from typing import Dict, List, Sequence, Tuple


def inverse_scale(values: Sequence[float]) -> float:
    """1 / standard deviation by Welford's updates; 1.0 below two values or for a (near) zero spread."""
    n, mean, m2 = 0, 0.0, 0.0
    for x in values:
        n += 1
        d = x - mean
        mean += d / n
        m2 += d * (x - mean)
    if n < 2:
        return 1.0
    var = m2 / (n - 1)
    std = math.sqrt(var) if var >= 0 else math.nan
    return 1.0 / std if std > 1e-12 else 1.0


def search_episodes(
    rows: Sequence[Dict[str, float]], probe: Dict[str, float], k: int, limit: int, cap: float
) -> List[Tuple[float, int]]:
    """(score, row index) of the k best among the newest ``limit`` rows: best first, equal scores newest first."""
    n = len(rows)
    candidates = range(max(0, n - limit), n)
    cap2 = cap * cap
    inv = {name: inverse_scale([row[name] for row in rows if name in row]) for name in probe}
    scored = []
    for i in candidates:
        if not probe:
            scored.append((0.0, i))
            continue
        total = 0.0
        for name, x in probe.items():
            v = rows[i].get(name)
            if v is None:
                part = cap2
            else:
                z = (x - v) * inv[name]
                z2 = z * z
                part = z2 if z2 < cap2 else cap2
            total += part
        scored.append((1.0 / (1.0 + math.sqrt(total / len(probe))), i))
    scored.sort(reverse=True)
    return scored[:k]


def order_preferring_success(found: List[Tuple[float, int]], success: Sequence[bool]) -> List[int]:
    """Row indexes of chosen hits, a success before a non-success of equal score, else as chosen."""
    order = sorted(range(len(found)), key=lambda j: (-found[j][0], not success[found[j][1]]))
    return [found[j][1] for j in order]


def search_vectors(units: Sequence[Sequence[float]], probe: Sequence[float], k: int) -> List[Tuple[float, int]]:
    """(cosine, index) of the k best stored unit vectors of the probe's length, held as float32."""
    scored = []
    for i, unit in enumerate(units):
        if len(unit) != len(probe):
            continue
        row = array.array("f", unit)
        norm = math.sqrt(sum(float(x) * float(x) for x in row))
        score = sum(p * float(r) for p, r in zip(probe, row)) / norm if norm > 0 else 0.0
        scored.append((min(1.0, max(-1.0, score)), i))
    scored.sort(reverse=True)
    return scored[:k]
