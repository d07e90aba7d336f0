import numpy as np
from common import report, timed
a = np.arange(10000000, dtype=np.float32) % np.float32(1000.0)
a = a / np.float32(1000.0)
t, _ = timed(lambda: np.sum(a))
# Vek's TOTAL is defined as the sequential single-precision sum; NumPy's np.sum is
# pairwise. Time np.sum, compare against the sequential sum.
report(t, np.add.accumulate(a, dtype=np.float32)[-1])
