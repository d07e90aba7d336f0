import numpy as np
from common import report, timed
a = ((np.arange(16777216, dtype=np.float64) * 7919.0) % 10007.0).astype(np.float32).reshape(4096, 4096)
t, r = timed(lambda: a.reshape(1024, 4, 1024, 4).mean(axis=(1, 3)))
w = (np.arange(1048576, dtype=np.float64) % 13.0).reshape(1024, 1024)
report(t, (r.astype(np.float64) * w).sum())
