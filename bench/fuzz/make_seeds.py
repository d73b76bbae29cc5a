#!/usr/bin/env python3
"""Writes the fuzz seed corpora from the byte strings of the hand-written hex tests.

Each Hex("..." "..." ...) call in a test file, with its comments between the
string pieces, becomes one seed file, so every fuzzer starts from well-formed
packets and frames and the malformed cases the tests already name.
Usage: make_seeds.py OUTDIR  (writes OUTDIR/<target>/seed_NNN)
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
SOURCES = {
    "mqtt_codec_fuzz": ["tests/mqtt/mqtt_protocol_test.cpp", "tests/mqtt/mqtt_client_test.cpp"],
    "ip485_stream_fuzz": ["tests/channels/ip485_frame_test.cpp", "tests/channels/lum_tcp_server_test.cpp"],
    "channel_packet_fuzz": ["tests/channels/channel_packet_test.cpp", "tests/channels/lum_mqtt_server_test.cpp"],
}
CALL = re.compile(r'\bHex\(\s*((?:"[0-9A-Fa-f ]*"\s*(?://[^\n]*\n\s*)*)+)\)')
PIECE = re.compile(r'"([0-9A-Fa-f ]*)"')


def seeds(path):
    text = (ROOT / path).read_text(encoding="utf-8") if (ROOT / path).exists() else ""
    for match in CALL.finditer(text):
        digits = "".join(PIECE.findall(match.group(1))).replace(" ", "")
        if digits and len(digits) % 2 == 0:
            yield bytes.fromhex(digits)


def main():
    out = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "fuzz-seeds")
    for target, files in SOURCES.items():
        folder = out / target
        folder.mkdir(parents=True, exist_ok=True)
        unique = sorted({seed for f in files for seed in seeds(f)})
        for index, seed in enumerate(unique):
            (folder / f"seed_{index:03d}").write_bytes(seed)
        print(f"{target}: {len(unique)} seeds in {folder}")


if __name__ == "__main__":
    main()
