import numpy as np
import scipy.ndimage as ndi
from common import report, timed
a = (((np.arange(4194304, dtype=np.float64) * 7919.0) % 10007.0) / 10007.0).astype(np.float32).reshape(2048, 2048)
k = ((np.arange(25, dtype=np.float32) + np.float32(1.0)) / np.float32(325.0)).reshape(5, 5)
# Vek lays the kernel unflipped over the array; convolve flips it, so hand it the flipped kernel.
kf = np.ascontiguousarray(k[::-1, ::-1])
t, c = timed(lambda: ndi.convolve(a, kf))
report(t, c[2:2046, 2:2046].sum(dtype=np.float64))
