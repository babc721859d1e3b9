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
import os
import statistics
import sys
import time
import timeit

import numpy as np
import torch

from orvane.qx.encoders.imu import IMUEncoder, IMUEncoderConfig

# The plain PyTorch network and encoder wrapper the tests hold the module to
# (tests/reference/imu.py).
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
from reference.imu import Encoder as PyEncoder  # noqa: E402
from reference.imu import Model as PyModel  # noqa: E402


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
    print(
        f"  ratio encode / plain model(x): {r_model:.3f}  (median of {len(times['plain model(x)'])} paired rounds; budget 1.10)"
    )
    print(f"  ratio encode / python encode:  {r_py:.3f}")


if __name__ == "__main__":
    main()
