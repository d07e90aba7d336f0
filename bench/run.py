#!/usr/bin/python3
"""Runs every benchmark workload in Vek, NumPy and Octave, several repetitions each, and
prints the best times, Vek's ratio to each peer, and whether the three results agree.

Usage: bench/run.py [--reps N] [--only NAME,NAME] [--vek PATH]
"""
import argparse
import os
import re
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
NUM = re.compile(r"[-+]?(\d+\.?\d*|\.\d+)([eEdD][-+]?\d+)?")


def load_workloads():
    out = []
    with open(os.path.join(HERE, "workloads.txt")) as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            name, tol, cmp, target, desc = line.split(None, 4)
            out.append((name, float(tol), cmp, None if target == "-" else float(target), desc.strip()))
    return out


# Vek's informational lines; any other "% " line is an error message.
VEK_INFO = ("% Compiled module:",)


def parse(text):
    """Returns the timings, the result and the first error line found in a run's output."""
    times = {}
    result = None
    error = None
    for line in text.splitlines():
        parts = line.split()
        if not parts:
            continue
        vek_error = line.startswith("% ") and not line.startswith(VEK_INFO)
        # Octave reports a harmless "error: ignoring ... while preparing to exit" at exit.
        octave_error = line.startswith("error: ") and "preparing to exit" not in line
        if error is None and (vek_error or octave_error or line.startswith("Traceback")):
            error = line.strip()
        if parts[0] in ("TIME", "TIME_ARGSORT") and len(parts) > 1:
            m = NUM.search(" ".join(parts[1:]))
            if m:
                times[parts[0]] = float(m.group(0).replace("D", "E").replace("d", "e"))
        elif parts[0] == "RESULT" and len(parts) > 1:
            m = NUM.search(" ".join(parts[1:]))
            if m:
                result = float(m.group(0).replace("D", "E").replace("d", "e"))
    return times, result, error


# Vek runs with its benchmark directory as the whole search path and no start-up file, so
# that nothing outside the benchmark is read and no installation directory is needed.
VEK_ENV = {"VEK_PATH": os.path.join(HERE, "vek"), "VEK_STARTUP": ""}


# Workloads that draw into a window: Vek runs against a private Xvfb for them.
NEEDS_X = {"tv", "plot_window"}
WITH_XVFB = os.path.join(HERE, "..", "tests", "x", "with_xvfb")


def systems(vek):
    s = {}
    s["vek"] = lambda name: (([WITH_XVFB] if name in NEEDS_X else []) + [vek, os.path.join(HERE, "vek", name + ".pro")],
                             os.path.join(HERE, "vek"))
    s["numpy"] = lambda name: (["/usr/bin/python3", name + ".py"], os.path.join(HERE, "numpy"))
    if shutil.which("octave-cli"):
        s["octave"] = lambda name: (["octave-cli", "--no-gui", "--norc", "-q", "w_" + name + ".m"], os.path.join(HERE, "octave"))
    return s


def agree(a, b, tol, cmp):
    if a is None or b is None:
        return False
    if cmp == "mod32":
        return (int(round(a)) - int(round(b))) % (1 << 32) == 0
    if a == b:
        return True
    return abs(a - b) <= tol * max(abs(a), abs(b))


def peak_rss_kib(cmd, cwd):
    """Peak resident memory of one run, measured with wait4."""
    env = dict(os.environ, **VEK_ENV)
    p = subprocess.Popen(cmd, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL, env=env)
    _, _, usage = os.wait4(p.pid, 0)
    return usage.ru_maxrss


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--only", default="")
    ap.add_argument("--vek", default=os.path.join(HERE, "..", "build", "vek"))
    args = ap.parse_args()
    only = set(x for x in args.only.split(",") if x)
    sysd = systems(os.path.abspath(args.vek))
    rows = []
    all_agree = True
    for name, tol, cmp, target, desc in load_workloads():
        if only and name not in only:
            continue
        best = {}
        results = {}
        extra = {}
        failed = {}
        # Repetitions alternate between the systems, so that a change in the machine's load
        # during the run weighs on all of them alike.
        for rep in range(args.reps):
            for sname, mk in sysd.items():
                if sname in failed:
                    continue
                if rep > 0 and sname == "octave" and name.startswith(("loop", "user", "strings")):
                    continue
                cmd, cwd = mk(name)
                # A workload without a peer script for this system (gif has no Octave peer).
                if not os.path.exists(os.path.join(cwd, cmd[-1])):
                    continue
                env = dict(os.environ, **VEK_ENV) if sname == "vek" else None
                p = subprocess.run(cmd, cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                   timeout=1200, env=env)
                times, result, error = parse(p.stdout + p.stderr)
                if "TIME" not in times or result is None or error:
                    sys.stderr.write(f"{sname} {name}: failed:\n{(p.stdout + p.stderr)[-800:]}\n")
                    failed[sname] = error or "no TIME or RESULT in output"
                    best.pop(sname, None)
                    results.pop(sname, None)
                    continue
                best[sname] = min(best.get(sname, 1e30), times["TIME"])
                results[sname] = result
                if "TIME_ARGSORT" in times:
                    extra["argsort"] = min(extra.get("argsort", 1e30), times["TIME_ARGSORT"])
        ok = not failed and all(agree(results.get("vek"), results.get(s), tol, cmp) for s in results if s != "vek")
        all_agree &= ok
        rows.append((name, best, results, ok, extra, failed, target))
        sys.stderr.write(f"done {name}\n")

    def fmt(t):
        return f"{t:10.4f}" if t is not None else "         -"

    def ratio(a, b):
        return f"{a / b:8.2f}" if a is not None and b else "       -"

    # The NumPy column is plain CPython for the scalar loops, the user function and strings.
    print(f"{'workload':<14}{'vek s':>10}{'numpy s':>10}{'octave s':>10}{'vek/np':>8}{'vek/oct':>8}{'target':>8}  results")
    for name, best, results, ok, extra, failed, target in rows:
        v, n, o = best.get("vek"), best.get("numpy"), best.get("octave")
        if failed:
            verdict = "FAILED " + "; ".join(f"{s}: {e}" for s, e in failed.items())
        else:
            verdict = "agree" if ok else "DIFFER " + repr(results)
        if target is None:
            goal = "       -"
        elif v is None or not n:
            goal = f"{target:5.2f} ? "
        else:
            goal = f"{target:5.2f} {'ok' if v / n <= target else 'NO'}"
        line = f"{name:<14}{fmt(v)}{fmt(n)}{fmt(o)}{ratio(v, n)}{ratio(v, o)}{goal:>8}  {verdict}"
        if "argsort" in extra:
            line += f"  (np.argsort {extra['argsort']:.4f} s, vek/argsort {ratio(v, extra['argsort']).strip()})"
        print(line)
    chain_ran = any(name == "chain" and "vek" in best for name, best, *_ in rows)
    if chain_ran:
        cmd, cwd = sysd["vek"]("chain")
        rss = peak_rss_kib(cmd, cwd)
        array_mib = 10000000 * 4 / 1048576
        arrays = rss * 1024 / (10000000 * 4)
        print(f"vek peak memory, element-wise chain: {rss / 1024:.1f} MiB "
              f"({arrays:.2f} arrays of {array_mib:.1f} MiB; target 3.00 {'ok' if arrays <= 3 else 'NO'})")
    return 0 if all_agree else 1


if __name__ == "__main__":
    sys.exit(main())
