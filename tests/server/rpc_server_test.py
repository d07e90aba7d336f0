#!/usr/bin/python3
"""The RPC server driven by vekclient (and by hand-made requests) through a real rpcbind.

Usage: rpc_server_test.py VEK VEKCLIENT. Uses a running rpcbind, or starts one (root
only) and stops it afterwards; exits 77 when neither is possible."""
import os
import random
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

VEK, CLIENT = sys.argv[1], sys.argv[2]
DEFAULT_PROGRAM = 0x2010CAFE
failures = []
usr1 = [0]


def check(what, got, want):
    if got != want:
        failures.append(f"{what}: got {got!r}, want {want!r}")


def portmapper_up():
    return subprocess.run(["rpcinfo", "-p", "127.0.0.1"], capture_output=True).returncode == 0


# ---- Hand-made requests --------------------------------------------------------------

def record(payload):
    return struct.pack(">I", 0x80000000 | len(payload)) + payload


def call_message(prog, proc, args=b"", vers=1):
    return struct.pack(">IIIIIIIIII", random.getrandbits(32), 0, 2, prog, vers, proc, 0, 0, 0, 0) + args


def read_record(sock):
    data = b""
    while True:
        head = recv_exact(sock, 4)
        n = struct.unpack(">I", head)[0]
        data += recv_exact(sock, n & 0x7FFFFFFF)
        if n & 0x80000000:
            return data


def recv_exact(sock, n):
    out = b""
    while len(out) < n:
        chunk = sock.recv(n - len(out))
        if not chunk:
            raise EOFError
        out += chunk
    return out


def rpc(port, prog, proc, args=b"", timeout=10):
    """Returns (accept_stat, result bytes) of one call, or None when no reply came."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(record(call_message(prog, proc, args)))
        try:
            reply = read_record(s)
        except (socket.timeout, EOFError):
            return None
    _, mtype, rstat, _, vlen = struct.unpack(">IIIII", reply[:20])
    body = reply[20 + vlen:]
    return struct.unpack(">I", body[:4])[0], body[4:]


def getport(prog):
    with socket.create_connection(("127.0.0.1", 111), timeout=5) as s:
        s.sendall(record(call_message(100000, 3, struct.pack(">IIII", prog, 1, 6, 0), vers=2)))
        reply = read_record(s)
    return struct.unpack(">I", reply[-4:])[0]


def xdr_opaque(b):
    return struct.pack(">I", len(b)) + b + b"\0" * (-len(b) % 4)


# ---- vekclient ------------------------------------------------------------------------

def client(prog, *args, timeout=30):
    r = subprocess.run([CLIENT, "-p", hex(prog), "-t", "20", *args], capture_output=True, text=True, timeout=timeout)
    return r.stdout.strip() if r.returncode == 0 else f"FAILED {r.returncode}: {r.stderr.strip()}"


def start_server(prog_arg, log):
    srv = subprocess.Popen([VEK, prog_arg, str(os.getpid())], stdin=subprocess.PIPE, stdout=log,
                           stderr=subprocess.STDOUT, env=dict(os.environ, VEK_STARTUP=""))
    return srv


def wait_registered(prog, srv):
    for _ in range(100):
        if srv.poll() is not None:
            return False
        if subprocess.run([CLIENT, "-p", hex(prog), "-t", "1", "null"], capture_output=True).returncode == 0:
            return True
        time.sleep(0.1)
    return False


def main():
    rpcbind = None
    if not portmapper_up():
        if os.geteuid() != 0:
            print("rpcbind is not running and needs root to start: skipped")
            return 77
        rpcbind = subprocess.Popen(["rpcbind", "-f"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(50):
            if portmapper_up():
                break
            time.sleep(0.1)
        else:
            print("rpcbind did not start: skipped")
            rpcbind.kill()
            return 77
    signal.signal(signal.SIGUSR1, lambda *_: usr1.__setitem__(0, usr1[0] + 1))
    try:
        with tempfile.TemporaryFile(mode="w+") as log:
            run_checks(log)
            log.seek(0)
            text = log.read()
            check("greeting", "Entering Server Mode" in text, True)
            check("interactive messages", "% Entering Interactive Mode" in text and "% Returning to Server Mode" in text, True)
        with tempfile.TemporaryFile(mode="w+") as log:
            default_program(log)
    finally:
        if rpcbind:
            rpcbind.terminate()
            rpcbind.wait(10)
    for f in failures:
        print("FAIL", f)
    return 1 if failures else 0


def run_checks(log):
    prog = 0x20100000 + random.randrange(0x10000)
    if prog == DEFAULT_PROGRAM:
        prog += 1
    srv = start_server(f"-server={prog:x}", log)
    try:
        if not wait_registered(prog, srv):
            failures.append("server did not register")
            return
        # Commands and their status; SIGUSR1 after each RUN_COMMAND.
        before = usr1[0]
        check("run x=1", client(prog, "run", "x=1"), "1")
        check("empty command", client(prog, "run", ""), "1")
        check("undefined variable status", client(prog, "run", "print, nosuchvariable"), "-124")
        check("syntax error status", client(prog, "run", "y = = 2") != "1", True)
        time.sleep(0.2)
        check("SIGUSR1 per command", usr1[0] - before, 4)
        check("get computed", client(prog, "run", "y = x + 41") + "|" + client(prog, "get", "y"), "1|y INT\n42")
        # Values set by the client, checked by the server's own arithmetic.
        client(prog, "set", "A", "long[3,2]", "1", "2", "3", "4", "5", "6")
        client(prog, "run", "t = a(1,1) * 10 + a(2,0)")
        client(prog, "run", "d = size(a)")
        check("long array row", client(prog, "get", "t"), "t LONG\n53")
        check("long array dims", client(prog, "get", "d"), "d LONG [5]\n2 3 2 3 6")
        client(prog, "set", "D", "double", "0.1")
        client(prog, "set", "F", "float", "-2.5")
        client(prog, "set", "B", "byte[3]", "1", "200", "255")
        client(prog, "set", "I", "int", "-300")
        client(prog, "set", "C", "complex", "1.5,-2")
        client(prog, "run", "ok = [d eq 0.1d, f eq -2.5, total(b) eq 456, i eq -300, c eq complex(1.5, -2)]")
        check("scalars and types stored", client(prog, "get", "ok"), "ok BYTE [5]\n1 1 1 1 1")
        check("double round trip", client(prog, "get", "d"), "d DOUBLE\n0.10000000000000001")
        client(prog, "set", "S", "string", "hello world")
        client(prog, "set", "SA", "string[3]", "ab", "", "xyz")
        client(prog, "run", "n = [strlen(s), strlen(sa)]")
        client(prog, "run", "u = strupcase(sa)")
        check("strings stored", client(prog, "get", "n"), "n LONG [4]\n11 2 0 3")
        check("string array read", client(prog, "get", "u"), "u STRING [3]\nAB\n\nXYZ")
        check("old record", client(prog, "oldget", "a"), "a LONG [6]\n1 2 3 4 5 6")
        client(prog, "oldset", "O", "int[2]", "7", "8")
        check("old set", client(prog, "get", "o"), "o INT [2]\n7 8")
        check("undefined get", client(prog, "get", "never"), "never UNDEFINED")

        port = getport(prog)
        # The reply's exact bytes: name, type, flags, then the double as high and low words.
        status, body = rpc(port, prog, 8, xdr_opaque(b"D") + struct.pack(">i", 0))
        check("GET_VARIABLE reply bytes", (status, body),
              (0, xdr_opaque(b"D") + struct.pack(">III", 5, 0, 0x3FB99999) + struct.pack(">I", 0x9999999A)))
        status, body = rpc(port, prog, 8, xdr_opaque(b"S") + struct.pack(">i", 0))
        check("string reply bytes", body, xdr_opaque(b"S") + struct.pack(">III", 7, 0, 11) + xdr_opaque(b"hello world"))
        # Malformed requests are refused, the server goes on.
        check("truncated command", rpc(port, prog, 3, struct.pack(">I", 100) + b"abcd"), (4, b""))
        check("name too long", rpc(port, prog, 8, xdr_opaque(b"N" * 200) + struct.pack(">i", 0)), (4, b""))
        check("array claiming 2^31 elements",
              rpc(port, prog, 9, xdr_opaque(b"Q") + struct.pack(">IIIII", 3, 4, 2, 65536, 32768) + b"\0" * 8), (4, b""))
        check("bad type", rpc(port, prog, 9, xdr_opaque(b"Q") + struct.pack(">III", 12, 0, 1)), (4, b""))
        check("unused procedure has no reply", rpc(port, prog, 6, timeout=0.5), None)
        with socket.create_connection(("127.0.0.1", port)) as s:
            s.sendall(b"\x80\x00\x00\x10garbage-garbage!")
            s.settimeout(5)
            try:
                check("garbage record closes", s.recv(100), b"")
            except ConnectionResetError:
                pass
        # A client that stops inside a request holds up no one; one that leaves mid-call
        # costs nothing.
        stalled = socket.create_connection(("127.0.0.1", port))
        stalled.sendall(record(call_message(prog, 3, xdr_opaque(b"x=3")))[:12])
        t0 = time.time()
        check("served beside a stalled client", client(prog, "run", "x=4"), "1")
        check("not held up", time.time() - t0 < 5, True)
        stalled.close()
        with socket.create_connection(("127.0.0.1", port)) as s:
            s.sendall(record(call_message(prog, 3, xdr_opaque(b"for i = 0L, 2000000 do left = i"))))
        time.sleep(1.0)
        check("command of a departed client ran", client(prog, "get", "left"), "left LONG\n2000000")
        check("alive after disconnects", client(prog, "run", "x = 6"), "1")

        # The terminal handed to the user and back.
        srv.stdin.write(b"handed = 77\nexit\n")
        srv.stdin.flush()
        before = usr1[0]
        check("interactive", client(prog, "interactive"), "")
        check("value typed at the terminal", client(prog, "get", "handed"), "handed INT\n77")
        check("SIGUSR1 after the session", usr1[0] - before >= 1, True)

        check("exit", client(prog, "exit"), "")
        srv.wait(10)
        check("exit status", srv.returncode, 0)
        check("unregistered", subprocess.run([CLIENT, "-p", hex(prog), "-t", "1", "null"], capture_output=True).returncode, 1)
    finally:
        if srv.poll() is None:
            srv.kill()
            srv.wait()


def default_program(log):
    srv = start_server("-server", log)
    try:
        check("default program registered", wait_registered(DEFAULT_PROGRAM, srv), True)
        listing = subprocess.run(["rpcinfo", "-p", "127.0.0.1"], capture_output=True, text=True).stdout
        check("program 0x2010CAFE version 1 tcp",
              any(l.split()[:3] == [str(DEFAULT_PROGRAM), "1", "tcp"] for l in listing.splitlines()), True)
        client(DEFAULT_PROGRAM, "exit")
        srv.wait(10)
    finally:
        if srv.poll() is None:
            srv.kill()
            srv.wait()


if __name__ == "__main__":
    sys.exit(main())
