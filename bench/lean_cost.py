#!/usr/bin/env python3
"""CPU and system calls of the headless program's data path, side by side with socat
bridging a pty to the same TCP peer, in one run (rounds of both interleaved).

  spaced round trip - 16 bytes out through the port to an echo peer and back, 20 ms apart;
                      CPU of the bridging process per round trip, and with strace -c (when
                      installed) its system calls per round trip;
  polled transaction - 8 bytes out, 25 bytes back (a peer that answers each poll);
  MiB received      - the peer sends a stream, the application reads it all: CPU per MiB;
  idle ports        - N ports connected to a silent peer, none held, then every link held
                      open by this script: CPU share of one core.

Usage: bench/lean_cost.py PROGRAM [rounds=300] [idle ports=1000] [idle seconds=10]
PROGRAM is the built program (build/release/src/app/orvane or build/headless/src/app/orvane).
"""
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty

TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


class Peer:
    """A TCP peer on loopback: 'echo' sends back what comes, 'poll' answers 8 bytes with 25,
    'stream' sends STREAM_BYTES at once, 'silent' holds connections and says nothing."""

    STREAM_BYTES = 8 << 20

    def __init__(self, mode):
        self.mode = mode
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(2048)
        self.port = self.sock.getsockname()[1]
        self.held = []
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            conn, _ = self.sock.accept()
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self.held.append(conn)
            threading.Thread(target=self.serve, args=(conn,), daemon=True).start()

    def serve(self, conn):
        try:
            if self.mode == "stream":
                conn.sendall(b"s" * self.STREAM_BYTES)
            pending = b""
            while True:
                data = conn.recv(65536)
                if not data:
                    return
                if self.mode == "echo":
                    conn.sendall(data)
                elif self.mode == "poll":
                    pending += data
                    while len(pending) >= 8:
                        pending = pending[8:]
                        conn.sendall(b"r" * 25)
        except OSError:
            pass


def open_raw(path, timeout=20.0):
    end = time.time() + timeout
    while not os.path.exists(path):
        if time.time() > end:
            raise RuntimeError(f"{path} did not appear")
        time.sleep(0.05)
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    attrs = termios.tcgetattr(fd)
    attrs[3] &= ~termios.ECHO
    termios.tcsetattr(fd, termios.TCSANOW, attrs)
    return fd


def read_exactly(fd, count, timeout=5.0):
    got = b""
    end = time.time() + timeout
    import select
    while len(got) < count:
        left = end - time.time()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            raise RuntimeError(f"read {len(got)} of {count}")
        got += os.read(fd, count - len(got))
    return got


class Program:
    def __init__(self, exe, workdir, ports):
        self.dir = workdir
        os.makedirs(workdir, exist_ok=True)
        lines = [f'  <Port ComName="{name}" IpAddress="127.0.0.1" PortNumber="{port}" Protocol="passthrough"/>'
                 for name, port in ports]
        with open(os.path.join(workdir, "config.cfg"), "w") as f:
            f.write("<Orvane>\n" + "\n".join(lines) + "\n</Orvane>\n")
        self.proc = subprocess.Popen([exe, "--headless", "--data-dir", workdir, "--port-dir", workdir],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.pid = self.proc.pid

    def link(self, name):
        return os.path.join(self.dir, name)

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=30)


class Socat:
    def __init__(self, link, port):
        self.path = link
        self.proc = subprocess.Popen(["socat", f"PTY,link={link},raw,echo=0",
                                      f"TCP:127.0.0.1:{port},nodelay"], stderr=subprocess.DEVNULL)
        self.pid = self.proc.pid

    def link(self, _name=None):
        return self.path

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=30)


def strace_count(pid, work):
    """System calls of pid (all its threads) while work runs; None without strace."""
    if not shutil.which("strace"):
        return None
    out = tempfile.NamedTemporaryFile(delete=False, suffix=".strace")
    tracer = subprocess.Popen(["strace", "-c", "-f", "-q", "-p", str(pid), "-o", out.name],
                              stderr=subprocess.DEVNULL)
    time.sleep(1.0)  # attaching to every thread takes a moment
    work()
    tracer.terminate()
    tracer.wait(timeout=30)
    total = None
    with open(out.name) as f:
        for line in f:
            parts = line.split()
            if parts and parts[-1] == "total":
                total = int(parts[2]) if len(parts) >= 4 else None
    os.unlink(out.name)
    return total


def exchanges(fd, rounds, out, back, gap=0.02):
    for _ in range(rounds):
        start = time.monotonic()
        os.write(fd, out)
        read_exactly(fd, back)
        left = gap - (time.monotonic() - start)
        if left > 0:
            time.sleep(left)


def measure_exchange(bridge, fd, rounds, out, back):
    exchanges(fd, 20, out, back)  # warm up
    before = cpu_seconds(bridge.pid)
    exchanges(fd, rounds, out, back)
    return (cpu_seconds(bridge.pid) - before) / rounds


def side_by_side(exe, base, mode, rounds, out, back, syscalls):
    peer = Peer(mode)
    prog = Program(exe, os.path.join(base, f"p-{mode}"), [("COM1", peer.port)])
    soc = Socat(os.path.join(base, f"s-{mode}"), peer.port)
    pfd, sfd = open_raw(prog.link("COM1")), open_raw(soc.link())
    time.sleep(1.0)
    results = {"program": [], "socat": []}
    calls = {}
    try:
        for _ in range(5):  # interleaved, so both meet the same load
            results["program"].append(measure_exchange(prog, pfd, rounds // 5, out, back))
            results["socat"].append(measure_exchange(soc, sfd, rounds // 5, out, back))
        if syscalls:
            for name, bridge, fd in (("program", prog, pfd), ("socat", soc, sfd)):
                total = strace_count(bridge.pid, lambda fd=fd: exchanges(fd, 100, out, back))
                calls[name] = None if total is None else total / 100
    finally:
        os.close(pfd)
        os.close(sfd)
        prog.stop()
        soc.stop()
    return {k: statistics.median(v) for k, v in results.items()}, calls


def received_per_mib(exe, base):
    results = {}
    for name in ("program", "socat"):
        peer = Peer("stream")
        if name == "program":
            bridge = Program(exe, os.path.join(base, "p-stream"), [("COM1", peer.port)])
            path = bridge.link("COM1")
        else:
            bridge = Socat(os.path.join(base, "s-stream"), peer.port)
            path = bridge.link()
        fd = open_raw(path)
        try:
            before = cpu_seconds(bridge.pid)
            start = time.monotonic()
            read_exactly(fd, Peer.STREAM_BYTES, timeout=120)
            seconds = time.monotonic() - start
            mib = Peer.STREAM_BYTES / (1 << 20)
            results[name] = ((cpu_seconds(bridge.pid) - before) / mib, Peer.STREAM_BYTES / seconds / 1e6)
        finally:
            os.close(fd)
            bridge.stop()
    return results


def idle(exe, base, count, seconds):
    peer = Peer("silent")
    names = [(f"COM{i + 1}", peer.port) for i in range(count)]
    prog = Program(exe, os.path.join(base, "p-idle"), names)
    end = time.time() + 120
    while len(peer.held) < count and time.time() < end:
        time.sleep(0.2)
    time.sleep(2.0)

    def share():
        before = cpu_seconds(prog.pid)
        time.sleep(seconds)
        return (cpu_seconds(prog.pid) - before) / seconds

    fds = []
    try:
        not_held = share()
        for name, _ in names:
            fds.append(open_raw(prog.link(name)))
        time.sleep(2.0)
        held = share()
    finally:
        for fd in fds:
            os.close(fd)
        prog.stop()
    return not_held, held, len(peer.held)


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    exe = os.path.abspath(sys.argv[1])
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 300
    ports = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
    idle_seconds = float(sys.argv[4]) if len(sys.argv) > 4 else 10
    base = tempfile.mkdtemp(prefix="lean-cost-")
    try:
        cpu, calls = side_by_side(exe, base, "echo", rounds, b"0123456789ABCDEF", 16, True)
        print(f"spaced round trip (16 B), CPU µs: program {cpu['program'] * 1e6:.0f}, "
              f"socat {cpu['socat'] * 1e6:.0f}")
        if calls:
            print(f"system calls per round trip: program {calls.get('program')}, socat {calls.get('socat')}")
        cpu, _ = side_by_side(exe, base, "poll", rounds, b"01234567", 25, False)
        print(f"polled transaction (8 B out, 25 back), CPU µs: program {cpu['program'] * 1e6:.0f}, "
              f"socat {cpu['socat'] * 1e6:.0f}")
        got = received_per_mib(exe, base)
        print(f"received, CPU s per MiB (MB/s): program {got['program'][0]:.4f} ({got['program'][1]:.1f}), "
              f"socat {got['socat'][0]:.4f} ({got['socat'][1]:.1f})")
        not_held, held, connected = idle(exe, base, ports, idle_seconds)
        print(f"{ports} idle ports ({connected} connected), share of a core: not held {not_held * 100:.1f} %, "
              f"held {held * 100:.1f} %")
    finally:
        shutil.rmtree(base, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
