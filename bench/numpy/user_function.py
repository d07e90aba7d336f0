from common import report, timed
def bench_inc(x):
    return x + 1
def run():
    s = 0
    for i in range(1000000):
        s = bench_inc(s)
    return s
report(*timed(run))
