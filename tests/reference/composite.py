"""The composite embedding in NumPy, as its operations are defined: a seed
from the name and sizes, a seeded Gaussian projection, L2 normalisation, and
the weighted fusion of the modalities."""

import dataclasses
import hashlib

import numpy as np

from .host import check, type_error

F32 = np.float32

# (argument of fuse, weight field of the configuration), in fusion order
MODALITIES = [
    ("imu_emb", "w_imu"),
    ("vision_emb", "w_vision"),
    ("audio_emb", "w_audio"),
    ("depth_emb", "w_depth"),
    ("thermal_emb", "w_thermal"),
    ("text_emb", "w_text"),
]


def _int(value, name):
    tp = type(value)
    if isinstance(value, complex) or not hasattr(tp, "__int__") and not hasattr(tp, "__index__"):
        raise type_error(name, "int", value)
    return int(value)


def stable_seed(name, in_dim, out_dim):
    check(name, str, "name")
    in_dim = _int(in_dim, "in_dim")
    out_dim = _int(out_dim, "out_dim")
    return int(hashlib.sha1(f"{name}:{in_dim}:{out_dim}".encode("utf-8")).hexdigest()[:8], 16)


def l2(v):
    n = F32(np.linalg.norm(v)) + F32(1e-8)
    return (v / n).astype(F32)


def project(vec, out_dim, name):
    out_dim = _int(out_dim, "out_dim")
    check(name, str, "name")
    vec = np.asarray(vec, dtype=F32)
    in_dim = int(vec.shape[0])
    if in_dim == out_dim:
        return l2(vec)
    rng = np.random.default_rng(stable_seed(name, in_dim, out_dim))
    n = rng.standard_normal((in_dim, out_dim), dtype=F32)
    if in_dim >= 2:
        w = n.astype(np.float64) / np.sqrt(in_dim)
        y = (vec.astype(np.float64) @ w).astype(F32)
    else:
        y = (vec @ n).astype(F32)
    return l2(y)


def fuse(cfg, pieces):
    """pieces: (weight field, embedding) in modality order."""
    parts = [l2(np.asarray(e, dtype=F32)) * F32(float(getattr(cfg, w))) for w, e in pieces]
    if not parts:
        return np.zeros(int(cfg.fused_dim), dtype=F32)
    return project(np.concatenate(parts, axis=0).astype(F32), int(cfg.fused_dim), "composite_fused")


@dataclasses.dataclass
class CompositeConfig:
    per_modality_dim: int = 256
    fused_dim: int = 1024
    w_imu: float = 1.0
    w_vision: float = 1.0
    w_audio: float = 1.0
    w_depth: float = 1.0
    w_thermal: float = 1.0
    w_text: float = 1.0


class CompositeStateBuilder:
    def __init__(self, cfg=None):
        self.cfg = cfg if cfg else CompositeConfig()

    def project(self, raw_embedding, name):
        check(name, str, "name")
        v = np.asarray(raw_embedding, dtype=F32).reshape(-1)
        return project(v, int(self.cfg.per_modality_dim), name)

    def fuse(self, imu_emb=None, vision_emb=None, audio_emb=None, depth_emb=None, thermal_emb=None, text_emb=None):
        given = (imu_emb, vision_emb, audio_emb, depth_emb, thermal_emb, text_emb)
        pieces = [(weight, emb) for (_, weight), emb in zip(MODALITIES, given) if emb is not None]
        return fuse(self.cfg, pieces)
