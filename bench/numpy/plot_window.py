"""Matplotlib's Agg backend drawing the same 1 000 000-point line plot into an in-memory
canvas of 800 x 600 pixels."""
import time

import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

from common import report

n = 1000000
x = np.arange(n, dtype=np.float32) / np.float32(n)
y = np.sin(x * np.float32(60.0)) + np.float32(0.3) * np.cos(x * np.float32(997.0))
fig = plt.figure(figsize=(8, 6), dpi=100)
# Warm up: the first draw builds the renderer and loads the fonts.
ax = fig.add_subplot()
ax.plot([0, 1])
fig.canvas.draw()
fig.clear()
t0 = time.perf_counter()
ax = fig.add_subplot()
ax.plot(x, y)
fig.canvas.draw()
t = time.perf_counter() - t0
np.asarray(fig.canvas.buffer_rgba())
report(t, y.astype(np.float64).sum())
