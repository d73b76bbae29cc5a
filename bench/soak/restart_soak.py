#!/usr/bin/env python3
"""Restart soak: a converter and a broker restarted again and again under live traffic.

The service bridges one virtual port to an echoing converter (pass-through) and two
virtual ports to each other through a mosquitto broker. An application on each path writes
numbered records every 50 ms and checks what comes back (converter) or across (broker).
Every --every seconds the converter and the broker are switched off for --down seconds and
on again. For each restart the script gives the outage beyond the peer's own downtime: from
the moment the peer listens again to the first record that was written after that moment
and arrived. Records written while a peer is away are dropped by design; any record that
arrives twice, out of order or damaged is counted.

Usage: bench/soak/restart_soak.py [--program build/release/src/app/orvane] [--minutes 10]
       [--every 20] [--down 2]
"""

import argparse
import os
import re
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import App, Broker, Converter, Service, mqtt_port, tcp_port  # noqa: E402

RECORD = re.compile(rb"R(\d{7})\n")
RECORD_LEN = 9


class Path:
    """One application writing records on AWriter and reading them on AReader."""

    def __init__(self, name, writer, reader):
        self.name = name
        self.writer = writer
        self.reader = reader
        self.next = 0
        self.sent_at = {}
        self.last = -1
        self.pending = b""
        self.received = 0
        self.duplicated = 0
        self.reordered = 0
        self.corrupted = 0
        self.arrivals = []  # (seq, arrival time)
        self.lock = threading.Lock()

    def send(self):
        data = b"R%07d\n" % self.next
        if self.writer.write(data) == len(data):
            with self.lock:
                self.sent_at[self.next] = time.monotonic()
        self.next += 1

    def receive(self):
        data = self.reader.read(0.01)
        if not data:
            return
        self.pending += data
        now = time.monotonic()
        while len(self.pending) >= RECORD_LEN:
            m = RECORD.match(self.pending)
            if not m:
                # Damaged: skip to the next record start.
                self.corrupted += 1
                cut = self.pending.find(b"R", 1)
                self.pending = self.pending[cut:] if cut > 0 else b""
                continue
            seq = int(m.group(1))
            self.pending = self.pending[RECORD_LEN:]
            self.received += 1
            if seq == self.last:
                self.duplicated += 1
            elif seq < self.last:
                self.reordered += 1
            self.last = max(self.last, seq)
            with self.lock:
                self.arrivals.append((seq, now))

    def first_after(self, t):
        """Arrival time of the first record written at or after t."""
        with self.lock:
            for seq, at in self.arrivals:
                sent = self.sent_at.get(seq)
                if sent is not None and sent >= t:
                    return at
        return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", default="build/release/src/app/orvane")
    parser.add_argument("--minutes", type=float, default=10)
    parser.add_argument("--every", type=float, default=20)
    parser.add_argument("--down", type=float, default=2)
    args = parser.parse_args()

    converter = Converter()
    broker = Broker()
    service = Service(args.program, [tcp_port("SOAK_T", converter.port),
                                     mqtt_port("SOAK_A", broker.port, "orvane/soak"),
                                     mqtt_port("SOAK_B", broker.port, "orvane/soak")])
    app_t = App(service.link("SOAK_T"))
    app_a = App(service.link("SOAK_A"))
    app_b = App(service.link("SOAK_B"))
    paths = [Path("converter", app_t, app_t), Path("broker", app_a, app_b)]
    stop = threading.Event()

    def traffic():
        while not stop.is_set():
            for p in paths:
                p.send()
            end = time.monotonic() + 0.05
            while time.monotonic() < end:
                for p in paths:
                    p.receive()

    worker = threading.Thread(target=traffic, daemon=True)
    worker.start()
    time.sleep(3)  # both paths carry records before the first restart

    returns = []  # (path, time the peer listened again)
    end = time.monotonic() + args.minutes * 60
    while time.monotonic() + args.every <= end:
        time.sleep(args.every - args.down)
        converter.stop()
        broker.stop()
        time.sleep(args.down)
        converter.start()
        returns.append(("converter", time.monotonic()))
        broker.start()
        returns.append(("broker", time.monotonic()))
    time.sleep(min(args.every, 70))  # the last restart's outage, the slowest schedule included
    stop.set()
    worker.join()

    by_name = {p.name: p for p in paths}
    print(f"restarts: {len(returns) // 2} of the converter and of the broker, "
          f"{args.down:g} s down every {args.every:g} s, {args.minutes:g} min")
    failed = False
    for name in ("converter", "broker"):
        p = by_name[name]
        outages = []
        for which, t in returns:
            if which != name:
                continue
            at = p.first_after(t)
            outages.append(None if at is None else at - t)
        known = [o for o in outages if o is not None]
        print(f"{name}: records written {p.next}, arrived {p.received}, duplicated {p.duplicated}, "
              f"reordered {p.reordered}, corrupted {p.corrupted}")
        if known:
            print(f"{name}: outage beyond the peer's downtime: longest {max(known):.2f} s, "
                  f"median {sorted(known)[len(known) // 2]:.2f} s, never back {len(outages) - len(known)}")
        print(f"{name}: per restart: " + " ".join("-" if o is None else f"{o:.2f}" for o in outages))
        failed |= p.duplicated + p.reordered + p.corrupted > 0 or len(known) < len(outages)
    print(f"service RSS at the end: {service.rss_kib() / 1024:.1f} MiB")
    for a in (app_t, app_a, app_b):
        a.close()
    service.stop()
    converter.stop()
    broker.close()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
