"""IMUEncoder.encode of one [100, 6] float32 window against plain PyTorch.

Two baselines, measured in the same run and interleaved with our calls:

  model   the same network written as a plain PyTorch module, called on the
          [1, 6, 100] tensor that encode feeds its network, gradients off;
          encode may cost at most 10% more than this.
  python  the whole encoder wrapper written in Python (argument checks,
          array conversion, orientation, gradient mode, output copy) around
          that plain module.

    python benchmarks/bench_imu.py [--threads N] [--repeat R] [--number N]
"""

import argparse
import statistics
import time
import timeit

import numpy as np
import torch
import torch.nn as nn
import torch.nn.functional as F

from orvane.qx.encoders.imu import IMUEncoder, IMUEncoderConfig


class PyBranch(nn.Module):
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


class PyModel(nn.Module):
    def __init__(self, c):
        super().__init__()
        self.cfg = c
        self.branches = nn.ModuleList(
            [
                PyBranch(c.in_channels, c.branch_filters, int(k), int(s), c.branch_pool_steps)
                for k, s in zip(c.kernels, c.strides)
            ]
        )
        feat_dim = len(c.kernels) * c.branch_filters * c.branch_pool_steps
        self.to_tokens = nn.Linear(feat_dim, c.in_channels * c.token_dim)
        self.attn = nn.MultiheadAttention(embed_dim=c.token_dim, num_heads=c.heads, batch_first=True)
        self.ln1 = nn.LayerNorm(c.token_dim)
        self.ff = nn.Sequential(nn.Linear(c.token_dim, c.token_dim * 2), nn.GELU(), nn.Linear(c.token_dim * 2, c.token_dim))
        self.ln2 = nn.LayerNorm(c.token_dim)
        self.proj = nn.Sequential(
            nn.Linear(c.token_dim, c.proj_hidden), nn.LayerNorm(c.proj_hidden), nn.GELU(), nn.Linear(c.proj_hidden, c.out_dim)
        )

    def forward(self, x):
        if x.dim() != 3:
            raise ValueError(f"Expected [B,6,T], got shape={tuple(x.shape)}")
        if x.shape[1] != self.cfg.in_channels:
            raise ValueError(f"Expected channels={self.cfg.in_channels}, got={x.shape[1]}")
        b = x.shape[0]
        feats = [branch(x).reshape(b, -1) for branch in self.branches]
        z = torch.cat(feats, dim=1)
        tokens = self.to_tokens(z).view(z.shape[0], self.cfg.in_channels, self.cfg.token_dim)
        a, _ = self.attn(tokens, tokens, tokens, need_weights=False)
        tokens = self.ln1(tokens + a)
        tokens = self.ln2(tokens + self.ff(tokens))
        return F.normalize(self.proj(tokens.mean(dim=1)), p=2, dim=-1)


class PyEncoder:
    name = "imu"

    def __init__(self, model, device="cpu"):
        if type(device) is not str:
            raise TypeError(f"Argument 'device' has incorrect type (expected str, got {type(device).__name__})")
        self.cfg = model.cfg
        self.device = device
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


def measure(pairs, repeat, number):
    """Seconds per call of each callable, one figure per round.

    The callables run round-robin (the order reversed every other round),
    so that each round compares calls made moments apart. The clock is
    this process's CPU time: on a shared machine wall-clock time mostly
    measures the other processes.
    """
    times = {name: [] for name, _ in pairs}
    for r in range(repeat):
        for name, fn in pairs if r % 2 == 0 else pairs[::-1]:
            times[name].append(timeit.repeat(fn, number=number, repeat=1, timer=time.process_time)[0] / number)
    return times


def paired_ratio(times, a, b):
    """Median over the rounds of a's time over b's time in the same round."""
    return statistics.median(x / y for x, y in zip(times[a], times[b]))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--threads", type=int, default=1, help="torch intra-op threads (default 1, for steady figures)")
    ap.add_argument("--repeat", type=int, default=41)
    ap.add_argument("--number", type=int, default=10)
    args = ap.parse_args()
    torch.set_num_threads(args.threads)

    torch.manual_seed(0)
    enc = IMUEncoder()
    plain = PyModel(IMUEncoderConfig())
    # The very same weight tensors, so that both networks read the same
    # memory and neither gains from a warmer cache.
    plain.load_state_dict(enc._model.state_dict(), assign=True)
    plain.eval()
    py_enc = PyEncoder(plain)

    window = np.random.default_rng(0).standard_normal((100, 6)).astype(np.float32)
    x = torch.from_numpy(window).T.unsqueeze(0)  # the tensor encode hands its network

    with torch.no_grad():
        want = plain(x)[0].numpy()
    assert np.allclose(enc.encode(window), want, atol=1e-5)
    assert np.allclose(py_enc.encode(window), want, atol=1e-5)

    def plain_model():
        with torch.no_grad():
            plain(x)

    pairs = [
        ("orvane encode", lambda: enc.encode(window)),
        ("plain model(x)", plain_model),
        ("python encode", lambda: py_enc.encode(window)),
    ]
    for _, fn in pairs:  # warm-up
        for _ in range(5):
            fn()
    times = measure(pairs, args.repeat, args.number)
    med = {name: statistics.median(t) for name, t in times.items()}

    print(f"IMU encode, one [100, 6] float32 window, torch {torch.__version__}, {torch.get_num_threads()} thread(s)")
    for name, _ in pairs:
        print(f"  {name:16s} median {med[name] * 1e3:8.3f} ms CPU per call")
    r_model = paired_ratio(times, "orvane encode", "plain model(x)")
    r_py = paired_ratio(times, "orvane encode", "python encode")
    print(f"  ratio encode / plain model(x): {r_model:.3f}  (median of {len(times['plain model(x)'])} paired rounds; budget 1.10)")
    print(f"  ratio encode / python encode:  {r_py:.3f}")


if __name__ == "__main__":
    main()
