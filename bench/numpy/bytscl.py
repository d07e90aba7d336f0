import numpy as np
from common import report, timed
a = ((np.arange(10000000, dtype=np.float64) * 7919.0) % 10000019.0).astype(np.float32) / np.float32(1000.0)
def run():
    lo, hi = a.min(), a.max()
    return ((a - lo) * np.float32(255.0) / (hi - lo)).astype(np.uint8)
t, b = timed(run)
report(t, b.sum(dtype=np.float64))
