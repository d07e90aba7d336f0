import numpy as np
import scipy.ndimage as ndi
from common import report, timed
a = (((np.arange(1048576, dtype=np.float64) * 7919.0) % 10007.0) / 10007.0).astype(np.float32).reshape(1024, 1024)
t, m = timed(lambda: ndi.median_filter(a, 5))
report(t, m[2:1022, 2:1022].sum(dtype=np.float64))
