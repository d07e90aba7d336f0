#!/usr/bin/python3
"""The pipe server driven by a parent process: commands, variables sent through System V
shared memory, the output routines, the terminal hand-over, bad input and exit.

Usage: pipe_server_test.py VEK"""
import ctypes
import os
import struct
import subprocess
import sys
import time

VEK = sys.argv[1]
failures = []
libc = ctypes.CDLL(None, use_errno=True)
libc.shmat.restype = ctypes.c_void_p
libc.shmat.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
libc.shmdt.argtypes = [ctypes.c_void_p]
IPC_PRIVATE, IPC_CREAT, IPC_RMID = 0, 0o1000, 0
TYPES = {"byte": (1, "B"), "int": (2, "h"), "long": (3, "i"), "float": (4, "f"), "double": (5, "d"), "string": (7, None)}


def check(what, got, want):
    if got != want:
        failures.append(f"{what}: got {got!r}, want {want!r}")


class Server:
    def __init__(self, stdin_text=b""):
        self.cmd_r, self.cmd_w = os.pipe()
        self.rep_r, self.rep_w = os.pipe()
        self.proc = subprocess.Popen([VEK, "-pipe", str(self.cmd_r), str(self.rep_w)], pass_fds=(self.cmd_r, self.rep_w),
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     env=dict(os.environ, VEK_STARTUP=""))
        os.close(self.cmd_r)
        os.close(self.rep_w)
        self.proc.stdin.write(stdin_text)
        self.proc.stdin.close()
        self.outputs = []

    def words(self, n):
        data = b""
        while len(data) < 4 * n:
            chunk = os.read(self.rep_r, 4 * n - len(data))
            if not chunk:
                raise EOFError
            data += chunk
        return list(struct.unpack(f"={n}i", data))

    def send(self, data):
        os.write(self.cmd_w, data)

    def reply(self):
        """The status of the next reply; output messages before it are collected."""
        while True:
            word = self.words(1)[0]
            if word == 7:
                return self.words(1)[0]
            if word != 8:
                raise ValueError(f"unexpected word {word}")
            kind, index, rank, key = self.words(4)
            desc = self.words(26)
            self.outputs.append((kind, index, rank, key, read_segment(desc)))

    def run(self, line):
        self.send(struct.pack("=i", 1) + line.encode() + b"\0")
        return self.reply()

    def set(self, name, type_name, values, dims=None, inline=False):
        code, fmt = TYPES[type_name]
        desc = [0] * 26
        desc[0] = code
        n = len(values)
        if dims:
            desc[1], desc[2] = 4, len(dims)
            desc[3:3 + len(dims)] = dims
        desc[11] = n
        data = b"".join(v.encode() + b"\0" for v in values) if fmt is None else struct.pack(f"={n}{fmt}", *values)
        desc[12] = len(data)
        seg = -1
        if inline:
            desc[13] = -1
            desc[14:16] = struct.unpack("=2i", data.ljust(8, b"\0"))
        else:
            seg = libc.shmget(IPC_PRIVATE, max(len(data), 1), IPC_CREAT | 0o600)
            at = libc.shmat(seg, None, 0)
            ctypes.memmove(at, data, len(data))
            libc.shmdt(ctypes.c_void_p(at))
            desc[13] = seg
        self.send(struct.pack("=i", 3) + name.encode() + b"\0" + struct.pack("=26i", *desc))
        status = self.reply()
        if seg >= 0:
            libc.shmctl(seg, IPC_RMID, None)
        return status

    def output(self, line):
        """Runs a command that calls one output routine; returns what it sent."""
        self.outputs = []
        status = self.run(line)
        return status, self.outputs[0] if len(self.outputs) == 1 else self.outputs

    def finish(self):
        os.close(self.cmd_w)
        out = self.proc.stdout.read().decode()
        self.proc.wait(20)
        os.close(self.rep_r)
        return self.proc.returncode, out


def read_segment(desc):
    """(type, dims, values) of the data the server put in a segment; removes it."""
    type_code, flags, n_dim = desc[0:3]
    n, length, seg = desc[11], desc[12], desc[13]
    at = libc.shmat(seg, None, 0o10000)  # SHM_RDONLY
    data = ctypes.string_at(at, length)
    libc.shmdt(ctypes.c_void_p(at))
    libc.shmctl(seg, IPC_RMID, None)
    dims = desc[3:3 + n_dim] if flags & 4 else []
    if type_code == 7:
        values = [s.decode() for s in data.split(b"\0")[:n]]
    else:
        fmt = {v[0]: v[1] for v in TYPES.values()}[type_code]
        values = list(struct.unpack(f"={n}{fmt}", data))
    return type_code, dims, values


def main():
    s = Server(stdin_text=b"handed = 77\nexit\n")
    check("ready word", s.words(1), [1])
    check("command status", s.run("x = 5"), 1)
    check("empty command", s.run(""), 1)
    check("error status", s.run("print, nosuchvariable"), -124)
    # Variables from the parent, checked by the server's arithmetic and sent back.
    check("set long array", s.set("A", "long", [1, 2, 3, 4, 5, 6], dims=[3, 2]), 1)
    status, (kind, index, rank, key, value) = s.output("AVSSETPORT, 2, a(1,1) * 10 + a(2,0)")
    check("AVS port output", (status, kind, index, rank, value), (1, 1, 2, 0, (3, [], [53])))
    check("segment key", key & ~0xFF, ((1 << 24) | (s.proc.pid << 8)) & 0xFFFFFF00)
    check("set inline double", s.set("D", "double", [0.1], inline=True), 1)
    check("set byte array", s.set("B", "byte", [1, 200, 255], dims=[3]), 1)
    check("set float in segment", s.set("F", "float", [-2.5]), 1)
    status, (kind, index, rank, key, value) = s.output("DXSETOUTPUT, 19, [d eq 0.1d, total(b) eq 456, f eq -2.5], RANK=2")
    check("DX output", (status, kind, index, rank, value), (1, 3, 19, 2, (1, [3], [1, 1, 1])))
    check("set string array", s.set("S", "string", ["ab", "", "hello world"], dims=[3]), 1)
    status, (kind, index, rank, key, value) = s.output("AVSSETPORT, 1, strupcase(s)")
    check("string array back", value, (7, [3], ["AB", "", "HELLO WORLD"]))
    status, (kind, index, rank, key, value) = s.output("AVSSETTITLE, 'T' + string(n_elements(s), format='(I0)')")
    check("title", (kind, value), (2, (7, [], ["T3"])))
    check("port out of range is an error", s.run("AVSSETPORT, 5, 1") < 0, True)
    # Bad input is refused and the server goes on.
    check("bad type", send_raw(s, b"Q", [12] + [0] * 25), 0)
    check("count not matching dims", send_raw(s, b"Q", [3, 4, 1, 5] + [0] * 7 + [4, 20, -1] + [0] * 12), 0)
    check("missing segment", send_raw(s, b"Q", [3, 4, 1, 2] + [0] * 7 + [2, 8, 0x7FFFFFF0] + [0] * 12), 0)
    check("bad name", s.set("2x", "long", [1], inline=True), 0)
    s.send(struct.pack("=i", 99))
    check("after an unknown command", s.run("x = 6"), 1)
    s.send(b"\1\0")
    time.sleep(0.3)
    check("after a short read", s.run("x = 7"), 1)
    # 511 characters are kept: the "*2" beyond them is dropped.
    long_line = "z = strlen('" + "y" * 497 + "')*2"
    check("long line", s.run(long_line), 1)
    check("long line cut at 511", s.output("AVSSETPORT, 4, z")[1][4], (3, [], [497]))
    # The terminal handed over and back.
    s.send(struct.pack("=i", 2))
    check("interactive", s.reply(), 1)
    status, (kind, index, rank, key, value) = s.output("AVSSETPORT, 3, handed")
    check("typed at the terminal", value, (2, [], [77]))
    s.send(struct.pack("=i", 4))
    check("exit reply", s.reply(), 1)
    code, out = s.finish()
    check("exit status", code, 0)
    for text in ("% Unknown command in command pipe.", "% Error in read pipe. Flushing current input.",
                 "% Entering Interactive Mode", "% Returning to Server Mode"):
        check(f"printed {text!r}", text in out, True)

    # A description cut short by the end of the pipe, then the end of the pipe.
    s = Server()
    s.words(1)
    s.send(struct.pack("=i", 3) + b"V\0" + b"\0" * 50)
    os.close(s.cmd_w)
    check("short description", s.reply(), 0)
    s.proc.wait(20)
    check("end of pipe status", s.proc.returncode, 1)

    # One descriptor argument: the usage text, then status 1 after five seconds.
    t0 = time.time()
    r = subprocess.run([VEK, "-pipe", "3"], capture_output=True, text=True, timeout=30)
    check("usage status", r.returncode, 1)
    check("usage text", "Usage: vek -pipe readfd writefd" in r.stdout + r.stderr, True)
    check("usage pause", time.time() - t0 >= 4.5, True)
    for f in failures:
        print("FAIL", f)
    return 1 if failures else 0


def send_raw(s, name, desc):
    s.send(struct.pack("=i", 3) + name + b"\0" + struct.pack("=26i", *desc))
    return s.reply()


if __name__ == "__main__":
    sys.exit(main())
