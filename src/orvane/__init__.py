"""orvane: the compiled core of the orvane device SDK.

Stream half: :mod:`orvane.brenlow` (profiler, classifier, provisioner,
accumulator, detector). Embedding half: :mod:`orvane.qx` (composite,
retrieval, encoders.imu).
"""

__version__ = "0.1.0"
