import numpy as np
from common import report, timed
a = ((np.arange(10000000, dtype=np.float64) * 7919.0) % 10000019.0).astype(np.float32)
def run():
    w = np.nonzero(a > np.float32(5000000.0))[0]
    return w, len(w)
t, (w, count) = timed(run)
report(t, count + w[1000])
