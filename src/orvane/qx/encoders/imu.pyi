from dataclasses import dataclass as dataclass
from typing import Any, Optional as Optional

import numpy as np
import torch
import torch.nn as nn

from orvane.qx.encoders.base import BaseEncoder as BaseEncoder

@dataclass
class IMUEncoderConfig:
    in_channels: int = 6
    branch_filters: int = 64
    branch_pool_steps: int = 32
    kernels: tuple = (8, 32, 128)
    strides: tuple = (1, 4, 16)
    token_dim: int = 192
    heads: int = 4
    proj_hidden: int = 512
    out_dim: int = 256

class _MSBranch(nn.Module):
    net: nn.Sequential
    def __init__(self, in_channels: int, out_channels: int, kernel: int, stride: int, pool_steps: int) -> None: ...
    def forward(self, x: torch.Tensor) -> torch.Tensor: ...

class _IMUModel(nn.Module):
    cfg: IMUEncoderConfig
    branches: nn.ModuleList
    to_tokens: nn.Linear
    attn: nn.MultiheadAttention
    ln1: nn.LayerNorm
    ff: nn.Sequential
    ln2: nn.LayerNorm
    proj: nn.Sequential
    def __init__(self, cfg: IMUEncoderConfig) -> None: ...
    def forward(self, x: torch.Tensor) -> torch.Tensor: ...

class IMUEncoder(BaseEncoder):
    name: str
    cfg: IMUEncoderConfig
    device: str
    _model: _IMUModel
    weights_loaded: bool
    def __init__(self, checkpoint_path: Optional[str] = None, device: str = "cpu") -> None: ...
    def load_checkpoint(self, path: str) -> None: ...
    def _to_tensor(self, raw: Any) -> torch.Tensor: ...
    def encode(self, raw: Any) -> np.ndarray: ...
