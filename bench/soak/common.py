"""Pieces the soak scripts share: the service under test, its peers and its applications.

Everything runs on loopback in a temporary folder; nothing needs root.
"""

import os
import select
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import tty

PASS_THROUGH = "Сквозной режим"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def tcp_port(name, port):
    return (f'<Port ComName="{name}" IpAddress="127.0.0.1" PortNumber="{port}" '
            f'Protocol="{PASS_THROUGH}"/>')


def mqtt_port(name, broker_port, topic, key=4242):
    return (f'<Port ComName="{name}" IpAddress="127.0.0.1" PortNumber="4001" Protocol="MQTT" '
            f'MqttHost="127.0.0.1:{broker_port}" MqttTopic="{topic}" MqttSecurityKey="{key}"/>')


class Service:
    """orvane --headless on a config of its own; its standard output is drained on a thread."""

    def __init__(self, program, ports):
        self.dir = tempfile.mkdtemp(prefix="orvane_soak_")
        self.data = os.path.join(self.dir, "data")
        self.links = os.path.join(self.dir, "ports")
        os.makedirs(self.data)
        os.makedirs(self.links)
        with open(os.path.join(self.data, "config.cfg"), "w", encoding="utf-8") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n<Orvane Description="Orvane config file">\n')
            for port in ports:
                f.write("  " + port + "\n")
            f.write("</Orvane>\n")
        self.lines = []
        self.proc = subprocess.Popen(
            [program, "--headless", "--data-dir", self.data, "--port-dir", self.links],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.reader = threading.Thread(target=self._drain, daemon=True)
        self.reader.start()
        deadline = time.monotonic() + 30
        while "Ready" not in self.lines and time.monotonic() < deadline:
            time.sleep(0.05)
        if "Ready" not in self.lines:
            raise RuntimeError("the service did not say Ready")

    def _drain(self):
        for raw in self.proc.stdout:
            self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))

    def link(self, name):
        return os.path.join(self.links, name)

    def rss_kib(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


class App:
    """An application on a virtual port, raw mode, non-blocking."""

    def __init__(self, path):
        deadline = time.monotonic() + 10
        while not os.path.exists(path) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(self.fd)

    def write(self, data):
        try:
            return os.write(self.fd, data)
        except BlockingIOError:
            return 0

    def read(self, timeout):
        ready, _, _ = select.select([self.fd], [], [], timeout)
        if not ready:
            return b""
        try:
            return os.read(self.fd, 65536)
        except BlockingIOError:
            return b""

    def close(self):
        os.close(self.fd)


class Converter:
    """A pass-through converter that echoes every byte; stop() switches it off (listener and
    connection closed), start() on again on the same port. With reads=False it accepts and
    never reads (a converter that hangs)."""

    def __init__(self, port=None, reads=True):
        self.port = port or free_port()
        self.reads = reads
        self.listener = None
        self.thread = None
        self.running = False
        self.start()

    def start(self):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", self.port))
        self.listener.listen(4)
        self.running = True
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        listener = self.listener
        clients = []
        while self.running:
            ready, _, _ = select.select([listener] + clients, [], [], 0.05)
            for s in ready:
                if s is listener:
                    try:
                        conn, _ = listener.accept()
                        clients.append(conn)
                    except OSError:
                        pass
                elif self.reads:
                    try:
                        data = s.recv(65536)
                    except OSError:
                        data = b""
                    if not data:
                        clients.remove(s)
                        s.close()
                    else:
                        try:
                            s.sendall(data)
                        except OSError:
                            pass
        for c in clients:
            c.close()

    def stop(self):
        self.running = False
        self.listener.close()
        self.thread.join()


class Broker:
    """A real mosquitto on a loopback port of its own."""

    def __init__(self, tcp_nodelay=False):
        self.port = free_port()
        self.dir = tempfile.mkdtemp(prefix="orvane_broker_")
        self.conf = os.path.join(self.dir, "mosquitto.conf")
        with open(self.conf, "w") as f:
            # Nagle off on the broker's sockets, for latency figures that are not its ACK delay.
            if tcp_nodelay:
                f.write("set_tcp_nodelay true\n")
            f.write(f"listener {self.port} 127.0.0.1\nallow_anonymous true\n")
        self.proc = None
        self.start()

    def start(self):
        self.proc = subprocess.Popen(["mosquitto", "-c", self.conf], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                return
            except OSError:
                time.sleep(0.02)
        raise RuntimeError("mosquitto did not start")

    def stop(self):
        self.proc.terminate()
        self.proc.wait()

    def close(self):
        if self.proc.poll() is None:
            self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)
