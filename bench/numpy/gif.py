"""Pillow saving and loading the GIF image of the Vek workload (a ramp with noise)."""
import os
import tempfile
import time

import numpy as np
from PIL import Image

from common import park_miller, report

n = 1024
u = park_miller(1, n * n)
i = np.arange(n * n)
img = ((i % n + i // n) // 9 + np.floor(16 * u)).astype(np.uint8).reshape(n, n)
path = os.path.join(tempfile.gettempdir(), "pil_bench_%d.gif" % os.getpid())
# Warm up: the GIF plugin is loaded on first use.
Image.fromarray(img[:2, :2], "L").save(path)
Image.open(path).load()
t0 = time.perf_counter()
Image.fromarray(img, "L").save(path)
back = Image.open(path)
back.load()
t = time.perf_counter() - t0
os.remove(path)
report(t, np.asarray(back.convert("L")).astype(np.int64).sum())
