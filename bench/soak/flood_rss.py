#!/usr/bin/env python3
"""Memory under a flood from the application: the service's RSS while an application writes
as fast as it can into a virtual port whose network side takes nothing.

Two floods, each for --seconds (default 120): the converter is switched off ("closed"),
and a converter that accepts the connection and never reads ("stalled"). The script samples
the service's RSS every second and gives the highest value; the goal is to stay within
64 MiB. It also gives how many bytes the service said it dropped.

Usage: bench/soak/flood_rss.py [--program build/release/src/app/orvane] [--seconds 120]
"""

import argparse
import os
import re
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import App, Converter, Service, free_port, tcp_port  # noqa: E402

LIMIT_MIB = 64
DROPPED = re.compile(r"OUT: dropped \[(\d+)\] bytes")


def flood(program, seconds, stalled):
    converter = Converter(reads=False) if stalled else None
    port = converter.port if converter else free_port()
    service = Service(program, [tcp_port("FLOOD", port)])
    app = App(service.link("FLOOD"))
    stop = threading.Event()
    written = [0]

    def writer():
        block = bytes(65536)
        while not stop.is_set():
            n = app.write(block)
            if n:
                written[0] += n
            else:
                app.read(0.001)  # nothing comes back; only a short pause when the pty is full

    thread = threading.Thread(target=writer, daemon=True)
    thread.start()
    highest = 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        highest = max(highest, service.rss_kib())
        time.sleep(1)
    stop.set()
    thread.join()
    time.sleep(2)
    dropped = sum(int(m.group(1)) for line in service.lines for m in DROPPED.finditer(line))
    app.close()
    service.stop()
    if converter:
        converter.stop()
    return highest / 1024, written[0], dropped


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", default="build/release/src/app/orvane")
    parser.add_argument("--seconds", type=float, default=120)
    args = parser.parse_args()
    failed = False
    for name, stalled in (("converter closed", False), ("converter stalled", True)):
        rss, written, dropped = flood(args.program, args.seconds, stalled)
        print(f"{name}: {args.seconds:g} s, written {written / 2**20:.0f} MiB, "
              f"told dropped {dropped / 2**20:.0f} MiB, highest RSS {rss:.1f} MiB (limit {LIMIT_MIB})")
        failed |= rss > LIMIT_MIB
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
