#!/usr/bin/env python3
"""CPU and system calls of the headless program's data path, side by side with socat
bridging a pty to the same TCP peer, in one run (rounds of both interleaved).

  spaced round trip - 16 bytes out through the port to an echo peer and back, 20 ms apart;
                      CPU of the bridging process per round trip, and with strace -c (when
                      installed) its system calls per round trip;
  polled transaction - 8 bytes out, 25 bytes back (a peer that answers each poll);
  MiB received      - the peer sends a stream, the application reads it all: CPU per MiB;
  MiB sent          - the application writes a stream, the peer reads it all: CPU per MiB;
  100 ports polled  - 100 ports (100 socats), each polled 10 times a second: share of a core;
  MQTT round trip   - 16 bytes from one port to another through a mosquitto broker and back
                      (an application on each), beside two bare MQTT clients on the same broker;
  idle ports        - N ports connected to a silent peer, none held, then every link held
                      open by this script: CPU share of one core.

Usage: bench/lean_cost.py PROGRAM [rounds=300] [idle ports=1000] [idle seconds=10]
PROGRAM is the built program (build/release/src/app/orvane or build/headless/src/app/orvane).
"""
import os
import resource
import select
import shutil
import struct
import socket
import statistics
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "soak"))
from common import Broker  # noqa: E402  (a mosquitto on a loopback port of its own)

def cpu_seconds(pid):
    """CPU time of every thread of pid, to the nanosecond (schedstat), so that a few hundred
    round trips are enough; threads that have ended count no more."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total / 1e9


class Peer:
    """A TCP peer on loopback: 'echo' sends back what comes, 'poll' answers 8 bytes with 25,
    'stream' sends STREAM_BYTES once `go` is set, 'sink' counts what comes, 'silent' holds
    connections and says nothing."""

    STREAM_BYTES = 8 << 20

    def __init__(self, mode):
        self.mode = mode
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(2048)
        self.port = self.sock.getsockname()[1]
        self.held = []
        self.go = threading.Event()
        self.received = 0
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
                self.go.wait()
                conn.sendall(b"s" * self.STREAM_BYTES)
            pending = b""
            while True:
                data = conn.recv(65536)
                if not data:
                    return
                self.received += len(data)
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


def read_count(fd, count, quiet=3.0):
    """Reads until count bytes came or none came for quiet seconds; the bytes read."""
    got = 0
    while got < count:
        if not select.select([fd], [], [], quiet)[0]:
            break
        data = os.read(fd, 65536)
        if not data:  # the port was closed under the reader
            break
        got += len(data)
    return got


def read_exactly(fd, count, timeout=5.0):
    got = b""
    end = time.time() + timeout
    while len(got) < count:
        left = end - time.time()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            raise RuntimeError(f"read {len(got)} of {count}")
        got += os.read(fd, count - len(got))
    return got


class Program:
    def __init__(self, exe, workdir, ports, lines=None):
        self.dir = workdir
        os.makedirs(workdir, exist_ok=True)
        if lines is None:
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
                total = int(parts[3]) if len(parts) >= 5 else None
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


def one_bridge(exe, base, name, peer):
    """The program with one port, or socat, to peer; and the application's end of it."""
    if name == "program":
        bridge = Program(exe, os.path.join(base, f"p-{peer.mode}"), [("COM1", peer.port)])
        return bridge, open_raw(bridge.link("COM1"))
    bridge = Socat(os.path.join(base, f"s-{peer.mode}"), peer.port)
    return bridge, open_raw(bridge.link())


def wait_until_held(peer, timeout=20.0):
    """Until the bridge has connected to peer (at most timeout s), then a moment to settle."""
    end = time.time() + timeout
    while not peer.held and time.time() < end:
        time.sleep(0.05)
    time.sleep(0.5)


def received_per_mib(exe, base):
    results = {}
    for name in ("program", "socat"):
        peer = Peer("stream")
        bridge, fd = one_bridge(exe, base, name, peer)
        try:
            # The stream starts once the application holds the port and the bridge is
            # connected: bytes that come before have nowhere to go and are dropped.
            wait_until_held(peer)
            before = cpu_seconds(bridge.pid)
            start = time.monotonic()
            peer.go.set()
            got = read_count(fd, Peer.STREAM_BYTES)
            seconds = time.monotonic() - start
            if got < Peer.STREAM_BYTES:
                seconds -= 3.0  # the quiet wait at the end
            mib = got / (1 << 20)
            results[name] = ((cpu_seconds(bridge.pid) - before) / mib, got / seconds / 1e6, got)
        finally:
            os.close(fd)
            bridge.stop()
    return results


def sent_per_mib(exe, base):
    """CPU per MiB the application writes and the peer reads."""
    results = {}
    block = b"w" * 4096
    total = 8 << 20
    for name in ("program", "socat"):
        peer = Peer("sink")
        bridge, fd = one_bridge(exe, base, name, peer)
        try:
            wait_until_held(peer)
            before = cpu_seconds(bridge.pid)
            start = time.monotonic()
            written = 0
            while written < total:
                select.select([], [fd], [], 5)
                written += os.write(fd, block)
            # Until everything came, or nothing more for 3 s (the port drops what waits
            # for the network beyond its limit).
            last, last_at = -1, time.monotonic()
            while peer.received < written and time.monotonic() - last_at < 3.0:
                if peer.received != last:
                    last, last_at = peer.received, time.monotonic()
                time.sleep(0.01)
            if peer.received >= written:
                last_at = time.monotonic()
            seconds = last_at - start
            mib = peer.received / (1 << 20)
            results[name] = ((cpu_seconds(bridge.pid) - before) / mib, peer.received / seconds / 1e6,
                             peer.received)
        finally:
            os.close(fd)
            bridge.stop()
    return results


def many_polled(exe, base, count, seconds, rate=10.0):
    """count ports, each polled rate times a second (8 bytes out, 25 back): the program's share
    of a core beside the sum of count socats', measured one after the other."""
    results = {}
    for name in ("program", "socat"):
        peer = Peer("poll")
        if name == "program":
            prog = Program(exe, os.path.join(base, "p-many"), [(f"COM{i + 1}", peer.port) for i in range(count)])
            pids = [prog.pid]
            paths = [prog.link(f"COM{i + 1}") for i in range(count)]
            bridges = [prog]
        else:
            bridges = [Socat(os.path.join(base, f"s-many{i}"), peer.port) for i in range(count)]
            pids = [b.pid for b in bridges]
            paths = [b.link() for b in bridges]
        fds = []
        try:
            fds = [open_raw(path) for path in paths]
            time.sleep(2.0)
            before = sum(cpu_seconds(pid) for pid in pids)
            start = time.monotonic()
            answered = 0
            pending = {}
            step = 1.0 / rate
            next_round = start
            while time.monotonic() - start < seconds:
                now = time.monotonic()
                if now >= next_round:
                    for fd in fds:
                        os.write(fd, b"01234567")
                        pending[fd] = pending.get(fd, 0) + 25
                    next_round += step
                ready = select.select([fd for fd in fds if pending.get(fd)], [], [],
                                      max(0.0, next_round - time.monotonic()))[0]
                for fd in ready:
                    got = len(os.read(fd, 4096))
                    pending[fd] -= got
                    answered += got
            elapsed = time.monotonic() - start
            results[name] = ((sum(cpu_seconds(pid) for pid in pids) - before) / elapsed, answered / 25 / elapsed)
        finally:
            for fd in fds:
                os.close(fd)
            for bridge in bridges:
                bridge.stop()
    return results


def mqtt_packet(kind, body):
    length = len(body)
    header = bytes([kind])
    while True:
        byte = length % 128
        length //= 128
        header += bytes([byte | (0x80 if length else 0)])
        if not length:
            return header + body


def mqtt_text(text):
    data = text.encode()
    return struct.pack("!H", len(data)) + data


class BareClient:
    """An MQTT 3.1 client of its own, QoS 0, as small as a client gets."""

    def __init__(self, port, client_id, topic):
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.topic = topic
        self.buffer = b""
        connect = mqtt_text("MQIsdp") + bytes([3, 0x02]) + struct.pack("!H", 60) + mqtt_text(client_id)
        self.sock.sendall(mqtt_packet(0x10, connect))
        self.read_packet()
        self.sock.sendall(mqtt_packet(0x82, struct.pack("!H", 1) + mqtt_text(topic) + b"\x00"))
        self.read_packet()

    def publish(self, payload):
        self.sock.sendall(mqtt_packet(0x30, mqtt_text(self.topic) + payload))

    def read_packet(self):
        while True:
            if len(self.buffer) >= 2:
                length, shift, at = 0, 0, 1
                while at < len(self.buffer):
                    byte = self.buffer[at]
                    length |= (byte & 0x7F) << shift
                    shift += 7
                    at += 1
                    if not byte & 0x80:
                        if len(self.buffer) >= at + length:
                            kind, body = self.buffer[0], self.buffer[at:at + length]
                            self.buffer = self.buffer[at + length:]
                            return kind, body
                        break
            data = self.sock.recv(65536)
            if not data:
                raise RuntimeError("broker closed")
            self.buffer += data

    def read_publish(self):
        while True:
            kind, body = self.read_packet()
            if kind >> 4 == 3:
                topic_length = struct.unpack("!H", body[:2])[0]
                return body[2 + topic_length:]


def mqtt_round_trips(exe, base, rounds):
    """Median wall time of a 16-byte round trip between two ports through the broker, and the
    program's CPU per round trip; the same between two bare clients."""
    broker = Broker(tcp_nodelay=True)
    message = b"0123456789ABCDEF"
    results = {}
    try:
        # Two bare clients on one topic, as the ports are; each skips what it sent itself.
        a = BareClient(broker.port, "bare-a", "lean/bare")
        b = BareClient(broker.port, "bare-b", "lean/bare")

        def bare_echo():
            while True:
                try:
                    payload = b.read_publish()
                except (OSError, RuntimeError):
                    return
                if payload.startswith(b"A"):
                    b.publish(b"B" + payload[1:])

        threading.Thread(target=bare_echo, daemon=True).start()
        times = []
        for i in range(rounds + 20):
            start = time.monotonic()
            a.publish(b"A" + message)
            while not a.read_publish().startswith(b"B"):
                pass
            if i >= 20:
                times.append(time.monotonic() - start)
            time.sleep(0.02)
        results["bare"] = (statistics.median(times), None)
        a.sock.close()
        b.sock.close()

        lines = [f'  <Port ComName="{name}" IpAddress="127.0.0.1" PortNumber="1" Protocol="MQTT" MqttHost="127.0.0.1:{broker.port}" '
                 f'MqttTopic="lean/ports" MqttSecurityKey="77" MqttUserName=""/>' for name in ("MQA", "MQB")]
        prog = Program(exe, os.path.join(base, "p-mqtt"), [], lines)
        fa, fb = open_raw(prog.link("MQA")), open_raw(prog.link("MQB"))
        stop = threading.Event()

        def port_echo():
            try:
                while not stop.is_set():
                    if select.select([fb], [], [], 0.2)[0]:
                        os.write(fb, os.read(fb, 4096))
            except OSError:
                pass  # the port was closed at the end

        threading.Thread(target=port_echo, daemon=True).start()
        try:
            time.sleep(1.0)
            for _ in range(100):  # until both ports have their subscriptions
                os.write(fa, message)
                try:
                    read_exactly(fa, len(message), timeout=0.5)
                    break
                except RuntimeError:
                    time.sleep(0.2)
                    termios.tcflush(fa, termios.TCIFLUSH)
            times = []
            before = cpu_seconds(prog.pid)
            for _ in range(rounds):
                start = time.monotonic()
                os.write(fa, message)
                read_exactly(fa, len(message))
                times.append(time.monotonic() - start)
                time.sleep(0.02)
            results["program"] = (statistics.median(times), (cpu_seconds(prog.pid) - before) / rounds)
        finally:
            stop.set()
            os.close(fa)
            os.close(fb)
            prog.stop()
    finally:
        broker.close()
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
    # A thousand ports take about five descriptors each in the program, one each here.
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
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
        print(f"received, CPU s per MiB (MB/s, bytes of {Peer.STREAM_BYTES}): "
              f"program {got['program'][0]:.4f} ({got['program'][1]:.1f}, {got['program'][2]}), "
              f"socat {got['socat'][0]:.4f} ({got['socat'][1]:.1f}, {got['socat'][2]})")
        got = sent_per_mib(exe, base)
        print(f"sent, CPU s per MiB (MB/s, bytes of {8 << 20} that arrived): "
              f"program {got['program'][0]:.4f} ({got['program'][1]:.1f}, {got['program'][2]}), "
              f"socat {got['socat'][0]:.4f} ({got['socat'][1]:.1f}, {got['socat'][2]})")
        many = many_polled(exe, base, 100, idle_seconds)
        print(f"100 ports x 10 polls/s, share of a core (answers/s): program {many['program'][0] * 100:.1f} % "
              f"({many['program'][1]:.0f}), 100 socats {many['socat'][0] * 100:.1f} % ({many['socat'][1]:.0f})")
        mq = mqtt_round_trips(exe, base, rounds)
        print(f"MQTT round trip (16 B), median ms: two ports {mq['program'][0] * 1e3:.3f} "
              f"(CPU µs {mq['program'][1] * 1e6:.0f}), two bare clients {mq['bare'][0] * 1e3:.3f}")
        not_held, held, connected = idle(exe, base, ports, idle_seconds)
        print(f"{ports} idle ports ({connected} connected), share of a core: not held {not_held * 100:.1f} %, "
              f"held {held * 100:.1f} %")
    finally:
        shutil.rmtree(base, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
