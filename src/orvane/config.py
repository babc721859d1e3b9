"""Configuration constants of the SDK.

The compiled modules bind these names when they are imported and read them
back from their own namespace at every use, so a program may tune one module
at run time, e.g. ``orvane.brenlow.detector.DETECTOR_TOP_K = 20``. Changing a
value here affects only modules imported afterwards.
"""

# -- profiler -----------------------------------------------------------------
#: Capacity of each channel's window of recent values (periodicity, correlations).
PROFILER_CORRELATION_WINDOW = 100
#: Values a channel needs before outliers are judged; unit of the confidence curve.
PROFILER_MIN_DATAPOINTS = 30
#: z-score above which a value counts as an outlier.
PROFILER_OUTLIER_ZSCORE = 3.0
#: Window length below which the periodicity score is 0.0 (at least 1).
PROFILER_PERIODICITY_MIN_POINTS = 20

# -- accumulator --------------------------------------------------------------
#: Capacity of the window of recent readings that episodes are built from.
ACCUMULATOR_WINDOW_SIZE = 10
#: Pending episodes that make a flush due.
ACCUMULATOR_BATCH_SIZE = 50
#: Seconds since the last flush that make a flush due; 0 or less turns it off.
ACCUMULATOR_FLUSH_MAX_AGE_S = 5.0

# -- detector -----------------------------------------------------------------
#: Profiler confidence below which a reading is not checked.
DETECTOR_MIN_CONFIDENCE = 0.5
#: Query the resolver on every n-th confident reading.
DETECTOR_CHECK_EVERY = 10
#: Similar past episodes asked for per query.
DETECTOR_TOP_K = 10
#: Base share of hits that must agree on one unhealthy outcome.
DETECTOR_CLUSTER_THRESHOLD = 0.6
