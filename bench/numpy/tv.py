"""Matplotlib's Agg backend drawing the image of the Vek workload into an in-memory canvas
of the same size, one image pixel per canvas pixel, through a grey colour map."""
import time

import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

from common import park_miller, report

n = 1024
u = park_miller(1, n * n)
i = np.arange(n * n)
img = ((i % n + i // n) // 9 + np.floor(16 * u)).astype(np.uint8).reshape(n, n)
fig = plt.figure(figsize=(n / 100, n / 100), dpi=100)
ax = fig.add_axes([0, 0, 1, 1])
ax.set_axis_off()
# Warm up: the first draw builds the renderer.
ax.imshow(img[:2, :2], cmap="gray", vmin=0, vmax=255, interpolation="nearest", origin="lower")
fig.canvas.draw()
ax.clear()
ax.set_axis_off()
t0 = time.perf_counter()
ax.imshow(img, cmap="gray", vmin=0, vmax=255, interpolation="nearest", origin="lower")
fig.canvas.draw()
t = time.perf_counter() - t0
rgba = np.asarray(fig.canvas.buffer_rgba())
report(t, rgba[:, :, 0].astype(np.int64).sum())
