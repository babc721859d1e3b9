"""The IMU encoder network as a plain PyTorch module laid out as documented,
and the encoder wrapper around it (argument checks, array conversion,
orientation, gradient mode, output copy) in plain Python."""

import numpy as np
import torch
import torch.nn.functional as F
from torch import nn

from .host import check


class Branch(nn.Module):
    def __init__(self, in_channels, out_channels, kernel, stride, pool_steps):
        super().__init__()
        self.net = nn.Sequential(
            nn.Conv1d(in_channels, out_channels, kernel_size=kernel, stride=stride, padding=max(0, kernel // 2)),
            nn.BatchNorm1d(out_channels),
            nn.ReLU(inplace=True),
            nn.AdaptiveAvgPool1d(pool_steps),
        )

    def forward(self, x):
        return self.net(x)


class Model(nn.Module):
    def __init__(self, c):
        super().__init__()
        self.cfg = c
        self.branches = nn.ModuleList(
            [
                Branch(c.in_channels, c.branch_filters, int(k), int(s), c.branch_pool_steps)
                for k, s in zip(c.kernels, c.strides)
            ]
        )
        feat_dim = len(c.kernels) * c.branch_filters * c.branch_pool_steps
        self.to_tokens = nn.Linear(feat_dim, c.in_channels * c.token_dim)
        self.attn = nn.MultiheadAttention(embed_dim=c.token_dim, num_heads=c.heads, batch_first=True)
        self.ln1 = nn.LayerNorm(c.token_dim)
        self.ff = nn.Sequential(
            nn.Linear(c.token_dim, c.token_dim * 2), nn.GELU(), nn.Linear(c.token_dim * 2, c.token_dim)
        )
        self.ln2 = nn.LayerNorm(c.token_dim)
        self.proj = nn.Sequential(
            nn.Linear(c.token_dim, c.proj_hidden),
            nn.LayerNorm(c.proj_hidden),
            nn.GELU(),
            nn.Linear(c.proj_hidden, c.out_dim),
        )

    def forward(self, x):
        if x.dim() != 3:
            raise ValueError(f"Expected [B,6,T], got shape={tuple(x.shape)}")
        if x.shape[1] != self.cfg.in_channels:
            raise ValueError(f"Expected channels={self.cfg.in_channels}, got={x.shape[1]}")
        b = x.shape[0]
        z = torch.cat([branch(x).reshape(b, -1) for branch in self.branches], dim=1)
        tokens = self.to_tokens(z).view(b, self.cfg.in_channels, self.cfg.token_dim)
        a, _ = self.attn(tokens, tokens, tokens, need_weights=False)
        tokens = self.ln1(tokens + a)
        tokens = self.ln2(tokens + self.ff(tokens))
        return F.normalize(self.proj(tokens.mean(dim=1)), p=2, dim=-1)


class Encoder:
    """encode() around a Model."""

    name = "imu"

    def __init__(self, model, device="cpu"):
        self.device = check(device, str, "device")
        self.cfg = model.cfg
        self._model = model.to(device)
        self._model.eval()
        self.weights_loaded = False

    def _to_tensor(self, raw):
        arr = np.asarray(raw, dtype=np.float32)
        if arr.ndim != 2:
            raise ValueError(f"Expected 2D [T,6] or [6,T] array, got shape={arr.shape}")
        if arr.shape[-1] == 6 and arr.shape[0] != 6:
            arr = arr.T
        if arr.shape[0] != 6:
            raise ValueError(f"Expected a channel dimension of 6, got shape={arr.shape}")
        if any(s < 0 for s in arr.strides):
            arr = np.ascontiguousarray(arr)
        return torch.from_numpy(arr).unsqueeze(0)

    def encode(self, raw):
        with torch.no_grad():
            x = self._to_tensor(raw).to(self.device)
            emb = self._model(x)
            return emb.squeeze(0).cpu().numpy().astype(np.float32)
