"""Shared helpers for the NumPy peers of the Vek benchmarks."""
import time
import numpy as np


def report(t, result):
    print("TIME", t)
    print("RESULT", repr(float(result)))


def park_miller(seed, n):
    """The same uniform generator as Vek's RANDOMU, vectorised by powers of 16807."""
    m = 2147483647
    states = np.empty(n, dtype=np.int64)
    states[0] = (seed * 16807) % m
    filled = 1
    mult = 16807
    while filled < n:
        mult_k = pow(16807, filled, m)
        take = min(filled, n - filled)
        states[filled:filled + take] = (states[:take] * mult_k) % m
        filled += take
    return states.astype(np.float32) / np.float32(2147483648.0)


def timed(f):
    t0 = time.perf_counter()
    r = f()
    return time.perf_counter() - t0, r
