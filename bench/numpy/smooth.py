import numpy as np
import scipy.ndimage as ndi
from common import report, timed
a = (((np.arange(4194304, dtype=np.float64) * 7919.0) % 10007.0) / 10007.0).astype(np.float32).reshape(2048, 2048)
t, s = timed(lambda: ndi.uniform_filter(a, 5))
report(t, s[2:2046, 2:2046].sum(dtype=np.float64))
