#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# Runs the README's Python loader against a recording the project wrote and checks that it loads
# exactly the frames the simulator sent.
# Usage: h5loader_check.py README.md RECORDING.h5 EXPECTED.jsonl
import json
import os
import re
import sys
import tempfile

import h5py
import matplotlib

matplotlib.use("Agg")  # plt.show() draws nothing and needs no display

readme, recording, expected_path = sys.argv[1:4]
text = open(readme, encoding="utf-8").read()
found = re.search(r"<!-- h5-loader:.*?-->\s*```python\n(.*?)```", text, re.S)
if not found:
    sys.exit("h5loader_check: no loader block marked h5-loader in " + readme)
expected = [json.loads(line) for line in open(expected_path) if line.strip()]

with tempfile.TemporaryDirectory() as folder:
    os.symlink(os.path.abspath(recording), os.path.join(folder, "session.h5"))
    os.chdir(folder)
    names = {}
    exec(compile(found.group(1), "README loader", "exec"), names)

t, n, i, q, s = (names[k] for k in ("t", "n", "i", "q", "s"))
problems = []
if len(n) != len(expected):
    problems.append(f"{len(n)} frames loaded, {len(expected)} sent")
with h5py.File(recording, "r") as f:
    modes = f["mode"][:]
    if f.attrs["format"] != b"vazorez-recording" or f.attrs["format_version"] != 1:
        problems.append("not a version 1 recording: %r" % dict(f.attrs))
session = names["session"]
if session.get("note") != "loader check" or "start_time_utc" not in session:
    problems.append("the session read is %r" % session)
for k, frame in enumerate(expected[: len(n)]):
    m = n[k]
    loaded = (list(i[k, :m]), list(q[k, :m]), list(s[k, :m]), int(modes[k]))
    sent = (frame["i"], frame["q"], frame["s"], frame["mode"])
    if loaded != sent:
        problems.append(f"frame {k}: loaded {loaded[:2]}..., sent {sent[:2]}...")
    if i[k, m:].any() or q[k, m:].any() or s[k, m:].any():
        problems.append(f"frame {k}: values beyond n[{k}] = {m}")
if any(b < a for a, b in zip(t, t[1:])):
    problems.append("time_s goes backwards")
if problems:
    sys.exit("h5loader_check: " + "; ".join(problems[:5]))
print(f"h5loader_check: {len(n)} frames as sent")
