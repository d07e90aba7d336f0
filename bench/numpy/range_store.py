import numpy as np
from common import report, timed
a = np.zeros((10000, 1000), dtype=np.float32)
def run():
    a[:, 3:501] = np.float32(1.0)
t, _ = timed(run)
report(t, a.sum(dtype=np.float64))
