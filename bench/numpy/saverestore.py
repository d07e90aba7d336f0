"""numpy.save then numpy.load of a big-endian float32 array of 100,000,000 elements."""
import os
import tempfile
import time

import numpy as np

from common import report

n = 100_000_000
a = np.arange(n, dtype=np.float32).astype('>f4')
path = os.path.join(tempfile.gettempdir(), "np_bench_%d.npy" % os.getpid())
t0 = time.perf_counter()
np.save(path, a)
del a
a = np.load(path)
t = time.perf_counter() - t0
os.remove(path)
report(t, float(a[n - 1]) + float(a[12345]) + a.size)
