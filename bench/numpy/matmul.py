import numpy as np
from common import report, timed
a = np.arange(250000, dtype=np.float32).reshape(500, 500) / np.float32(250000.0)
b = (np.arange(250000, dtype=np.float32).reshape(500, 500) % np.float32(7.0)) / np.float32(7.0)
t, c = timed(lambda: a @ b)
report(t, np.trace(c.astype(np.float64)))
