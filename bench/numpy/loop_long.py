from common import report, timed
def run():
    s = 0
    for i in range(10000000):
        s = s + i
    return s
report(*timed(run))
