#!/usr/bin/env python3
"""How long the headless service takes to stop while nobody reads its standard
output (a full pipe), and after the reader went away.

Usage: bench/headless_stdout_stop.py build/release/src/app/orvane [rounds]

Runs the service with one pass-through port against a local echo converter,
sends `rounds` round trips of 100 bytes through the port without reading the
service's standard output (each shows two lines), then SIGTERM, and reports
the time from the signal to the exit, the exit code, and whether log.txt ends
with the stop banner. Then the same with the reader of standard output closed
before the signal.
"""

import os
import select
import signal
import socket
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty


def echo_server():
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen()

    def serve():
        while True:
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            threading.Thread(target=lambda c=conn: pump(c), daemon=True).start()

    def pump(conn):
        while True:
            data = conn.recv(65536)
            if not data:
                return
            conn.sendall(data)

    threading.Thread(target=serve, daemon=True).start()
    return listener


def wait_for(condition, seconds=10.0):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(0.01)
    return condition()


def read_exact(fd, count, seconds=10.0):
    data = b""
    end = time.monotonic() + seconds
    while len(data) < count and time.monotonic() < end:
        ready, _, _ = select.select([fd], [], [], max(0.0, end - time.monotonic()))
        if ready:
            data += os.read(fd, count - len(data))
    return data


def run(program, rounds, close_reader):
    converter = echo_server()
    with tempfile.TemporaryDirectory() as data, tempfile.TemporaryDirectory() as ports:
        with open(os.path.join(data, "config.cfg"), "w", encoding="utf-8") as cfg:
            cfg.write('<Orvane Description="Orvane config file"><Port ComName="COM90" IpAddress="127.0.0.1" '
                      'PortNumber="%d" Protocol="Сквозной режим"/></Orvane>' % converter.getsockname()[1])
        service = subprocess.Popen([program, "--headless", "--data-dir", data, "--port-dir", ports],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        ready = b""
        while b"Ready\n" not in ready:
            ready += os.read(service.stdout.fileno(), 4096)
        app = os.open(os.path.join(ports, "COM90"), os.O_RDWR | os.O_NOCTTY)
        tty.setraw(app)
        chunk = b"a" * 100
        for i in range(rounds):
            os.write(app, chunk)
            if read_exact(app, len(chunk)) != chunk:
                print("round trip %d failed: the port stopped" % i)
                break
        if close_reader:
            service.stdout.close()
        start = time.monotonic()
        service.send_signal(signal.SIGTERM)
        try:
            code = service.wait(timeout=30)
        except subprocess.TimeoutExpired:
            service.kill()
            code = service.wait()
        took = time.monotonic() - start
        os.close(app)
        with open(os.path.join(data, "log.txt"), "rb") as log:
            banner = log.read().endswith(b"****** Stop program ******\r\n")
    converter.close()
    return took, code, banner


def main():
    program = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    for close_reader in (False, True):
        took, code, banner = run(program, rounds, close_reader)
        print("%s: stop took %.3f s, exit code %d, stop banner %s" %
              ("reader gone" if close_reader else "pipe full", took, code, "yes" if banner else "no"))


if __name__ == "__main__":
    main()
