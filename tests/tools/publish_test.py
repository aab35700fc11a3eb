#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""vazorez-capture --publish with real ZeroMQ subscribers, and a published board read back.

Usage: publish_test.py BIN_DIR README.md

1. A simulated alternating board of 100-sample frames, 6000 frames at 1000 a second, recorded and
   published by one capture; three subscribers (two that keep up, one that sleeps between reads)
   and a second capture reading zmq+tcp:// at once. Every frame a subscriber gets equals the
   recording's frame of that seq, from its first on without gaps for those that keep up; the
   sleeper gets whole frames only, and its gaps add up with what the publisher says it published.
2. The publisher restarts on the same endpoint while a subscriber waits: its frames, counted from 0
   again, reach the subscriber.
3. A publisher that vanishes (killed): its reader loses the line after the stated silence.
4. Bad input: a malformed endpoint, an endpoint in use, a publisher that is not there.
5. The README's Python example, as it stands there, reads a live board: its speed, from I and Q;
   the publisher's own targets (--radar) say the same.
"""
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np
import zmq

BIN, README = sys.argv[1], sys.argv[2]
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_sim(*args):
    sim = subprocess.Popen([os.path.join(BIN, "vazorez-sim"), *args], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True)
    line = sim.stdout.readline()
    assert line.startswith("port: "), line
    return sim, line[6:].strip()


def capture(*args):
    return subprocess.Popen([os.path.join(BIN, "vazorez-capture"), *args],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)


def frames_of(raw):
    """A raw recording's frames, whole, in order."""
    out, k = [], 0
    while k < len(raw):
        length = 8 * raw[k + 4] + 7
        out.append(raw[k:k + length])
        k += length
    return out


def big_endian_parts(frame):
    n = frame[4]
    i = np.frombuffer(frame, ">i2", n, 5)
    q = np.frombuffer(frame, ">i2", n, 5 + 2 * n)
    s = np.frombuffer(frame, ">i4", n, 5 + 4 * n)
    return i, q, s


class Subscriber(threading.Thread):
    """Takes every message of its topics until told to stop and 0.5 s pass without one. With a
    pause, it sleeps that long after each of its first 200 messages (5 s at 25 ms), then catches
    up while the publisher still runs, so that it reaches what came after its losses."""

    def __init__(self, endpoint, topics, pause=0.0):
        super().__init__(daemon=True)
        self.sock = zmq.Context.instance().socket(zmq.SUB)
        if pause:
            # A reader that stops reading: small buffers, so that it falls behind soon.
            self.sock.setsockopt(zmq.RCVHWM, 100)
            self.sock.setsockopt(zmq.RCVBUF, 64 * 1024)
        for topic in topics:
            self.sock.setsockopt(zmq.SUBSCRIBE, topic)
        self.sock.connect(endpoint)
        self.pause = pause
        self.messages = []  # (topic, parts)
        self.stop = threading.Event()
        self.start()

    def run(self):
        poller = zmq.Poller()
        poller.register(self.sock, zmq.POLLIN)
        quiet = 0
        while quiet < 5 or not self.stop.is_set():
            if not poller.poll(100):
                quiet += 1
                continue
            quiet = 0
            parts = self.sock.recv_multipart()
            self.messages.append((parts[0], parts))
            if self.pause and len(self.messages) <= 200:
                time.sleep(self.pause)
        self.sock.close(0)

    def of(self, topic):
        return [parts for t, parts in self.messages if t == topic]

    def statuses(self):
        return [json.loads(parts[1]) for parts in self.of(b"status")]


def check_frames(name, frames, recording, contiguous):
    """Each frame message equals the recording's frame of its seq; returns the seqs."""
    seqs = []
    for parts in frames:
        header = json.loads(parts[1])
        seq = header["seq"]
        seqs.append(seq)
        if len(parts) != 5 or seq >= len(recording):
            check(False, f"{name}: frame {seq} has {len(parts)} parts")
            continue
        wire = recording[seq]
        n = wire[4]
        i, q, s = big_endian_parts(wire)
        whole = (header["n"] == n and header["mode"] == ("FMCW" if wire[2] else "CW")
                 and header["byte3"] == wire[3]
                 and np.array_equal(np.frombuffer(parts[2], "<i2"), i)
                 and np.array_equal(np.frombuffer(parts[3], "<i2"), q)
                 and np.array_equal(np.frombuffer(parts[4], "<i4"), s))
        check(whole, f"{name}: frame {seq} differs from the recording's")
    check(seqs == sorted(set(seqs)), f"{name}: seq not rising")
    if contiguous and seqs:
        check(seqs == list(range(seqs[0], len(recording))),
              f"{name}: gaps, {len(seqs)} frames from seq {seqs[0]} of {len(recording)}")
    return seqs


def main():
    work = tempfile.mkdtemp(prefix="publish-test-")
    port = free_port()
    endpoint = f"tcp://127.0.0.1:{port}"

    # 1. One capture publishes, four readers.
    fast = Subscriber(endpoint, [b""])
    frames_only = Subscriber(endpoint, [b"frame", b"status"])
    sleeper = Subscriber(endpoint, [b"frame", b"status"], pause=0.025)
    reader = capture(f"zmq+tcp://127.0.0.1:{port}", "-o", os.path.join(work, "read.raw"))
    sim, pty = start_sim("--mode", "alternate", "--samples", "100", "--rate", "1000",
                         "--count", "6000")
    publisher = capture(pty, "--publish", endpoint, "-o", os.path.join(work, "a.raw"),
                        "--frames", "6000")
    _, said = publisher.communicate(timeout=120)
    sim_said = sim.communicate(timeout=30)[0]
    # The recording is the truth: a paced simulator drops whole frames while its reader is held up
    # (a loaded machine), and then the line ends before the capture's 6000.
    recording = frames_of(open(os.path.join(work, "a.raw"), "rb").read())
    sent = int(re.search(r"sent: (\d+) frames", sim_said).group(1))
    total = len(recording)
    check(total == sent and total > 3000, f"recording has {total} frames, the simulator sent {sent}")
    check(publisher.returncode == (0 if total == 6000 else 3),
          f"publishing capture exit {publisher.returncode}: {said}")
    check(f"published {total} frames on {endpoint}\n" in said, said)
    _, reader_said = reader.communicate(timeout=30)
    check(reader.returncode == 3 and "the publisher stopped" in reader_said,
          f"zmq reader: exit {reader.returncode}: {reader_said}")
    frames_only.stop.set()
    sleeper.stop.set()
    frames_only.join()
    sleeper.join()

    fast_seqs = check_frames("fast", fast.of(b"frame"), recording, True)
    check(len(fast_seqs) > total - 1000, f"fast subscriber got {len(fast_seqs)} frames")
    check_frames("frames only", frames_only.of(b"frame"), recording, True)
    raws = fast.of(b"raw")
    check(all(parts[2] == recording[json.loads(parts[1])["seq"]] for parts in raws) and raws,
          "raw messages are the recording's bytes")
    check(not fast.of(b"targets"), "targets without a radar profile")
    figures = [s for s in fast.statuses() if s["event"] == "figures"]
    events = [s["event"] for s in fast.statuses() if s["event"] != "figures"]
    check(figures and all(f["link"] == 1 and f["unsent"] == 0 for f in figures), f"figures {figures}")
    check(events[-2:] == ["closed", "stopped"] if total == 6000 else events[-3:] == ["closed", "lost", "stopped"],
          f"events {events}")
    closed = [s for s in fast.statuses() if s["event"] == "closed"]
    check(closed and closed[-1]["frames"] == total, f"closed {closed}")

    slow = check_frames("sleeper", sleeper.of(b"frame"), recording, False)
    gaps = sum(b - a - 1 for a, b in zip(slow, slow[1:]))
    check(slow and gaps > 0 and len(slow) + gaps == slow[-1] - slow[0] + 1,
          f"sleeper: {len(slow)} frames, {gaps} lost")
    print(f"sleeper: {len(slow)} frames received, {gaps} lost in gaps; "
          f"the others: {len(fast_seqs)} from seq {fast_seqs[0] if fast_seqs else '-'}", flush=True)

    read = frames_of(open(os.path.join(work, "read.raw"), "rb").read())
    check(read and read == recording[len(recording) - len(read):],
          f"the zmq reader's {len(read)} frames are not the recording's last ones")

    # 2. The publisher restarts on the same endpoint while `fast` waits: seq from 0 again.
    sim, pty = start_sim("--mode", "cw", "--samples", "24", "--rate", "300", "--count", "300")
    publisher = capture(pty, "--publish", endpoint, "-o", os.path.join(work, "b.raw"),
                        "--frames", "300")
    publisher.communicate(timeout=60)
    sim.communicate(timeout=30)
    fast.stop.set()
    fast.join()
    second = frames_of(open(os.path.join(work, "b.raw"), "rb").read())
    after = fast.of(b"frame")[len(fast_seqs):]
    check_frames("after the restart", after, second, True)
    check(after and len(after) > 250, f"after the restart {len(after)} frames")

    # 3. A publisher killed mid-stream: its reader loses the line after the silence it states.
    # Beside it, a reader where nobody publishes (both wait 5 s).
    nobody = subprocess.Popen([os.path.join(BIN, "vazorez-capture"), f"zmq+tcp://127.0.0.1:{free_port()}",
                               "-o", os.devnull], stderr=subprocess.PIPE, text=True)
    sim, pty = start_sim("--mode", "fmcw", "--samples", "100", "--rate", "line")
    publisher = capture(pty, "--publish", endpoint, "-o", os.devnull)
    reader = capture(f"zmq+tcp://127.0.0.1:{port}", "-o", os.path.join(work, "c.raw"))
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and not any(
            name.startswith("c.raw.part") and os.path.getsize(os.path.join(work, name)) > 0
            for name in os.listdir(work)):
        time.sleep(0.1)
    publisher.send_signal(signal.SIGKILL)
    publisher.wait()
    _, reader_said = reader.communicate(timeout=30)
    check(reader.returncode == 3 and "the publisher sent nothing for 5 s" in reader_said,
          f"reader of a killed publisher: exit {reader.returncode}: {reader_said}")
    sim.terminate()
    sim.communicate(timeout=30)

    # 4. Bad input.
    tool = os.path.join(BIN, "vazorez-capture")
    bad = subprocess.run([tool, "/dev/null", "--publish", "udp://x"], capture_output=True, text=True)
    check(bad.returncode == 2 and "expected tcp://HOST:PORT" in bad.stderr, f"malformed: {bad.stderr}")
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        busy = f"tcp://127.0.0.1:{taken.getsockname()[1]}"
        used = subprocess.run([tool, "/dev/null", "--publish", busy], capture_output=True, text=True)
        check(used.returncode == 1 and f"cannot publish on {busy}: address already in use"
              in used.stderr, f"in use: {used.returncode} {used.stderr}")
    nobody_said = nobody.communicate(timeout=30)[1]
    check(nobody.returncode == 1 and "no publisher answered" in nobody_said, nobody_said)

    # 5. The README's example, as printed there, against a live board.
    text = open(README).read()
    example = re.search(r"<!-- live example -->\s*```python\n(.*?)```", text, re.S)
    check(example is not None, "the README has no live example")
    if example:
        script = os.path.join(work, "live.py")
        open(script, "w").write(example.group(1))
        sim, pty = start_sim("--mode", "cw", "--samples", "128", "--rate", "line", "--radar",
                             os.path.join(os.path.dirname(README), "profiles", "example-k-band.json"),
                             "--target", "6,-4")
        publisher = capture(pty, "--publish", endpoint, "-o", os.devnull, "--radar",
                            os.path.join(os.path.dirname(README), "profiles", "example-k-band.json"))
        targets = Subscriber(endpoint, [b"targets"])
        run = subprocess.run(["/usr/bin/python3", script, endpoint, "20"], capture_output=True,
                             text=True, timeout=60)
        publisher.terminate()
        publisher.communicate(timeout=30)
        sim.terminate()
        sim.communicate(timeout=30)
        targets.stop.set()
        targets.join()
        found = [json.loads(parts[1]) for parts in targets.of(b"targets")]
        near = [t for t in found if t["targets"] and abs(t["targets"][0]["speed_mps"] + 4) < 0.6
                and t["targets"][0]["direction"] == "approaching" and t["mode"] == "CW"]
        check(len(found) >= 15 and len(near) >= 0.9 * len(found),
              f"targets: {len(near)} of {len(found)} at -4 m/s: {found[:2]}")
        lines = run.stdout.splitlines()
        check(run.returncode == 0 and len(lines) == 20, f"example: {run.returncode} {run.stderr}")
        check(all(re.search(r"\bCW n=128\b", line) for line in lines), f"example said {lines[:3]}")
        speeds = [float(re.search(r"([-+][0-9.]+) m/s", line).group(1)) for line in lines]
        check(all(abs(v + 4) <= 0.6 for v in speeds), f"example saw no target at -4 m/s: {lines[:3]}")
        print("\n".join(lines[:3]), flush=True)

    if failures:
        print(f"{len(failures)} checks failed", flush=True)
        return 1
    print("publish test passed", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
