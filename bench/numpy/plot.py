"""Matplotlib drawing the same 1 000 000-point line plot and saving it as PostScript."""
import os
import tempfile
import time

import matplotlib
matplotlib.use("ps")
import matplotlib.pyplot as plt
import numpy as np

from common import report

n = 1000000
x = np.arange(n, dtype=np.float32) / np.float32(n)
y = np.sin(x * np.float32(60.0)) + np.float32(0.3) * np.cos(x * np.float32(997.0))
path = os.path.join(tempfile.gettempdir(), "mpl_bench_%d.ps" % os.getpid())
# Warm up: the backend and its fonts are loaded on first use.
fig, ax = plt.subplots()
ax.plot([0, 1])
fig.savefig(path, format="ps")
plt.close(fig)
t0 = time.perf_counter()
fig, ax = plt.subplots()
ax.plot(x, y)
fig.savefig(path, format="ps")
plt.close(fig)
t = time.perf_counter() - t0
os.remove(path)
report(t, y.astype(np.float64).sum())
