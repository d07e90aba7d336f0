import numpy as np
from common import report, timed, park_miller
a = park_miller(1, 1000000)
t_sort, _ = timed(lambda: np.sort(a))
t_arg, s = timed(lambda: np.argsort(a, kind="stable"))
print("TIME_ARGSORT", t_arg)
report(t_sort, s[0] + s[500000] + s[999999])
