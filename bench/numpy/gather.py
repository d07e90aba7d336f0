import numpy as np
from common import report, timed
a = np.arange(10000019, dtype=np.float32)
idx = ((np.arange(10000000, dtype=np.float64) * 7919.0) % 10000019.0).astype(np.int32)
t, b = timed(lambda: a[idx])
report(t, b[1234567])
