#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes the fuzzers' seed corpus from the frame examples (run from the repository root)."""
import os
import struct

def frame(mode, n_values, byte3=0, i=None, q=None, s=None):
    n = n_values
    i = i if i is not None else [2048 + k for k in range(n)]
    q = q if q is not None else [2048 - k for k in range(n)]
    s = s if s is not None else [k * 3 - 20 for k in range(n)]
    body = bytes([0xA2, 0xE0, mode, byte3, n])
    body += b"".join(struct.pack(">h", v) for v in i) + b"".join(struct.pack(">h", v) for v in q)
    body += b"".join(struct.pack(">i", v) for v in s)
    return body + bytes([sum(body[1:]) & 0xFF, 0x16])

minimal_cw = bytes.fromhex("A2E000000100100020000000051616")
examples = {
    "minimal_cw": minimal_cw,
    "minimal_fmcw": bytes.fromhex("A2E001000100100020000000051716"),
    "n0_fmcw": bytes.fromhex("A2E0010000E116"),
    "junk_then_frame": bytes.fromhex("0102A2FF16") + minimal_cw,
    "stray_header": bytes.fromhex("A2E00000FF") + minimal_cw,
    "two_frames": minimal_cw + frame(1, 4),
    "bad_mode_then_frame": bytes.fromhex("A2E0020000E216") + minimal_cw,
    "bad_checksum": bytes.fromhex("A2E000000100100020000000051716"),
    "sign_extension": frame(0, 3, i=[-32768, -1, 4095], q=[1, 2, 3], s=[200, 384, -50]),
    "cw_128": frame(0, 128),
    "fmcw_255": frame(1, 255),
}
os.makedirs("fuzz/corpus/decoder", exist_ok=True)
for name, data in examples.items():
    with open(os.path.join("fuzz/corpus/decoder", name), "wb") as out:
        out.write(data)

# The receiver fuzzer reads a program: op % 3 == 0 plants a frame (mode byte, n byte, one value
# byte per sample), otherwise copies garbage; each step ends with a chunk-size byte.
programs = {
    "three_frames": bytes([0, 0, 128] + [1] * 128 + [200, 3, 1, 100, 0, 1, 16] + [2] * 16 + [7, 0, 0, 0, 50]),
    "garbage_between": bytes([0, 1, 8] + [3] * 8 + [2, 1, 5, 0xA2, 0xE0, 0, 0, 0xFF, 9, 0, 0, 4, 1, 2, 3, 4, 255]),
    "small_chunks": bytes([0, 0, 40] + [5] * 40 + [1, 0, 1, 40] + [6] * 40 + [1]),
}
os.makedirs("fuzz/corpus/receiver", exist_ok=True)
for name, data in programs.items():
    with open(os.path.join("fuzz/corpus/receiver", name), "wb") as out:
        out.write(data)

# The rfc2217 fuzzer reads a seed byte for its cut points, then what a server sent. Besides the
# hand-made seeds in fuzz/corpus/rfc2217, the servers the link refuses to trust:
IAC, DONT, DO, WONT, WILL, SB, SE = 255, 254, 253, 252, 251, 250, 240

def cmd(verb, option):
    return bytes([IAC, verb, option])

def answer(command, value):
    value = value.replace(b"\xff", b"\xff\xff")
    return bytes([IAC, SB, 44, 100 + command]) + value + bytes([IAC, SE])

def settings(rate=115200, size=8, parity=1, stop=1, control=3):
    return (cmd(DO, 44) + answer(1, struct.pack(">I", rate)) + answer(2, bytes([size]))
            + answer(3, bytes([parity])) + answer(4, bytes([stop])) + answer(5, bytes([control])))

servers = {
    "wont-binary": cmd(WONT, 0) + settings() + b"\x0d\x00\x0a",
    "dont-binary": cmd(DONT, 0) + settings() + b"\x0d\x00\x0a",
    "binary-switched-off": cmd(DO, 0) + cmd(WILL, 0) + b"\xa2\xe0" + cmd(WONT, 0) + b"\x16",
    "unterminated-subnegotiation": bytes([IAC, SB, 44, 106]) + b"x" * 2000 + bytes([IAC, SE, 0x55]),
    "refused-option-flood": (cmd(DO, 99) + cmd(WILL, 99)) * 1000 + b"\x42",
    "negotiation-loop": (cmd(DONT, 3) + cmd(DO, 3)) * 20,
    "restated-refusals": cmd(WONT, 24) + cmd(DONT, 24) + cmd(WONT, 3) + cmd(DONT, 3) + cmd(DO, 24) * 3,
    "other-line-settings": settings(9600, 7, 3, 2, 2) + answer(1, bytes(4)) + answer(2, bytes(1)),
    "data-before-settings": cmd(DO, 44) + bytes(range(255)) * 16 + settings(),
}
os.makedirs("fuzz/corpus/rfc2217", exist_ok=True)
for name, data in servers.items():
    with open(os.path.join("fuzz/corpus/rfc2217", name), "wb") as out:
        out.write(bytes([len(name)]) + data)
