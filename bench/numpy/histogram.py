import numpy as np
from common import report, timed
a = ((np.arange(10000000, dtype=np.float64) * 7919.0) % 1000.0).astype(np.int32)
t, h = timed(lambda: np.bincount(a))
report(t, (h.astype(np.float64) * (np.arange(1000, dtype=np.float64) + 1.0) ** 2).sum())
