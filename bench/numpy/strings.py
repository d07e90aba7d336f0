from common import report, timed
def run():
    s = ["item" + str(i) for i in range(100000)]
    p = [x.find("99") for x in s]
    m = [x[2:5] for x in s]
    return sum(p) + sum(len(x) for x in m)
report(*timed(run))
