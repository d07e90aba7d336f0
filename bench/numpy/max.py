import numpy as np
from common import report, timed
a = ((np.arange(10000000, dtype=np.float64) * 7919.0) % 10000019.0).astype(np.float32)
def run():
    i = np.argmax(a)
    return a[i], i
t, (m, i) = timed(run)
report(t, i)
