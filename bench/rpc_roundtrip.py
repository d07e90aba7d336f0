#!/usr/bin/python3
"""RPC round trips against a Vek server: RUN_COMMAND of 'x=1' and, as the transport's own
cost, the null procedure; prints calls per second of each and their ratio.

Usage: bench/rpc_roundtrip.py [--build build] [--calls N]
Uses a running rpcbind or starts one (root only) and stops it afterwards."""
import argparse
import os
import random
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def portmapper_up():
    return subprocess.run(["rpcinfo", "-p", "127.0.0.1"], capture_output=True).returncode == 0


def rate(client, prog, calls, line):
    out = subprocess.run([client, "-p", hex(prog), "bench", str(calls), line], capture_output=True, text=True,
                         check=True).stdout
    return float(re.search(r"([\d.]+) calls per second", out).group(1))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--calls", type=int, default=20000)
    args = ap.parse_args()
    vek, client = os.path.join(args.build, "vek"), os.path.join(args.build, "vekclient")
    rpcbind = None
    if not portmapper_up():
        if os.geteuid() != 0:
            sys.exit("rpcbind is not running and needs root to start")
        rpcbind = subprocess.Popen(["rpcbind", "-f"])
        while not portmapper_up():
            time.sleep(0.1)
    prog = 0x20110000 + random.randrange(0x10000)
    server = subprocess.Popen([vek, f"-server={prog:x}"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              env=dict(os.environ, VEK_STARTUP=""))
    try:
        while subprocess.run([client, "-p", hex(prog), "-t", "1", "null"], capture_output=True).returncode:
            time.sleep(0.1)
        best_cmd = max(rate(client, prog, args.calls, "x=1") for _ in range(3))
        best_null = max(rate(client, prog, args.calls, "") for _ in range(3))
        print(f"RUN_COMMAND 'x=1': {best_cmd:10.0f} calls per second")
        print(f"null procedure:    {best_null:10.0f} calls per second")
        print(f"ratio (command / null): {best_cmd / best_null:.2f}")
        subprocess.run([client, "-p", hex(prog), "exit"], capture_output=True)
        server.wait(10)
    finally:
        if server.poll() is None:
            server.kill()
        if rpcbind:
            rpcbind.terminate()
            rpcbind.wait()


if __name__ == "__main__":
    main()
