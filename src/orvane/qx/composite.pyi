from dataclasses import dataclass
from typing import Any, Optional

import numpy as np
import numpy.typing as npt

@dataclass
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
    cfg: CompositeConfig
    def __init__(self, cfg: Optional[CompositeConfig] = None) -> None: ...
    def project(self, raw_embedding: Any, name: str) -> npt.NDArray[np.float32]: ...
    def fuse(
        self,
        imu_emb: Optional[np.ndarray] = None,
        vision_emb: Optional[np.ndarray] = None,
        audio_emb: Optional[np.ndarray] = None,
        depth_emb: Optional[np.ndarray] = None,
        thermal_emb: Optional[np.ndarray] = None,
        text_emb: Optional[np.ndarray] = None,
    ) -> npt.NDArray[np.float32]: ...

def _to_np_1d(x: Any) -> npt.NDArray[np.float32]: ...
def _l2(v: np.ndarray) -> npt.NDArray[np.float32]: ...
def _stable_seed(name: str, in_dim: int, out_dim: int) -> int: ...
def _project(vec: np.ndarray, out_dim: int, name: str) -> npt.NDArray[np.float32]: ...
def _standard_normal_f32(seed: int, n: int) -> npt.NDArray[np.float32]: ...
