import numpy as np
from common import report, timed
a = ((np.arange(16777216, dtype=np.float64) * 7919.0) % 10000019.0).astype(np.float32).reshape(4096, 4096)
t, b = timed(lambda: np.ascontiguousarray(a.T))
report(t, (b.ravel()[::4099].astype(np.float64) * (np.arange(4094, dtype=np.float64) + 1.0)).sum())
