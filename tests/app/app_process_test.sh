#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The whole program as a process, on a real X server (Xvfb, one of its own): closing its window ends
# it with exit code 0 and nothing on the console about threads or socket notifiers. Its options:
# --help and --version without a display, a replay recorded again, a port connected and recorded or
# published from the command line; bad options end it with exit code 2 before a window opens, as
# they end the tools; a recording that cannot start is said in a box as well as on standard error,
# an endpoint that cannot be bound on standard error.
#
# The checks come in groups that CTest runs side by side, each with its own X server:
#   window     the window closed, --help, --version, no display, replay and record, bad options,
#              a request that cannot be met, a recording that cannot start, SIGTERM under a box
#   record     a port from the command line recorded into files, FIFOs and pipes, SIGTERM, a file
#              size limit, --publish
#   quit-line  quitting in every way while a board streams at the line's pace
#   quit-max   the same as fast as the line goes
# Every wait is for something to happen (a window, a file, a line on standard error, a process
# ending), looked at every 0.1 s and given up only after VAZOREZ_TEST_PATIENCE seconds (default
# 120): a loaded machine makes them slower, never wrong.
# Usage: app_process_test.sh GROUP PATH_TO_VAZOREZ_GUI
set -uo pipefail
group="$1"
gui="$(realpath "$2")"
patience="${VAZOREZ_TEST_PATIENCE:-120}"
# Under AddressSanitizer the X platform plugin's libraries are unloaded before the leak report, so
# what they keep shows up as an unknown module; the window's own leaks are checked offscreen by
# tst_mainwindow and tst_lifecycle.
[ -n "${ASAN_OPTIONS:-}" ] && export ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0"
here="$(cd "$(dirname "$0")" && pwd)"
bin="$(dirname "$gui")"
work="$(mktemp -d)"
log="$work/gui.log"
xvfb=
trap '[ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null; rm -rf "$work"' EXIT

# await COMMAND...: waits until COMMAND succeeds; false if it has not after $patience seconds.
await() {
  local deadline=$((SECONDS + patience))
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.1
  done
}
ended() { ! kill -0 "$1" 2>/dev/null; }
xclose() { /usr/bin/python3 "$here/xclose.py" "$1" "$patience"; }
# start_sim OUT [options...]: starts the simulator into OUT, sets sim and port once it has its port.
# OUT goes first: the child empties it only when it runs, and a loaded machine may let this shell
# read the port of the simulator before first.
start_sim() {
  local out="$1"
  shift
  rm -f "$out"
  "$bin/vazorez-sim" "$@" >"$out" &
  sim=$!
  await grep -q "^port: " "$out"
  port="$(sed -n 's/^port: //p' "$out")"
}

# An X server of its own: the groups run side by side, and xvfb-run -a can give two of them the
# same display. -displayfd lets the server pick a free one and say which once it accepts clients.
mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
read -r -t "$patience" display <"$work/display" || { echo "FAIL: Xvfb did not start"; cat "$work/xvfb.log"; exit 1; }
export DISPLAY=":$display"

failures=0 passes=0
check() { # NAME CONDITION...
  local name="$1"
  shift
  if "$@"; then echo "PASS: $name"; passes=$((passes + 1)); else echo "FAIL: $name"; failures=$((failures + 1)); return 1; fi
}

# run ARGUMENTS...: the viewer started, its window closed; it must end with 0 and no complaint.
run() {
  "$gui" "$@" 2>"$log" &
  local pid=$! status
  if ! xclose "KVX VazoRez GUI"; then
    kill "$pid" 2>/dev/null; wait "$pid"; cat "$log"; return 1
  fi
  if ! await ended "$pid"; then
    echo "FAIL: the program did not end within $patience s of its window closing"; kill -9 "$pid"; return 1
  fi
  wait "$pid"
  status=$?
  if [ $status -ne 0 ]; then echo "FAIL: exit code $status with arguments: $*"; cat "$log"; return 1; fi
  if grep -iE "thread|notifier" "$log"; then echo "FAIL: Qt complained on the console"; return 1; fi
  echo "PASS: exit code 0 after closing the window, arguments: ${*:-(none)}"
}

group_window() {
  run && passes=$((passes + 1)) || failures=$((failures + 1))

  # --help and --version answer on standard output without a display.
  local help message status pid
  help="$(env -u DISPLAY QT_QPA_PLATFORM= "$gui" --help)"
  check "--help without a display" grep -q -- "--replay <FILE>" <<<"$help"
  check "--version without a display" [ "$(env -u DISPLAY "$gui" --version)" = "vazorez-gui $(sed -n 's/^project(VazoRezViewer VERSION \([0-9.]*\).*/\1/p' "$here/../../CMakeLists.txt")" ]

  # Without a display: a plain message and exit 1, not Qt's abort.
  message="$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$gui" 2>&1)"
  status=$?
  check "no display: exit 1" [ $status -eq 1 ]
  check "no display: says so" grep -q "no display to show the window on" <<<"$message"

  # A capture played in the window and recorded again gives the same bytes: the recording takes its
  # name when the replay has ended.
  /usr/bin/python3 - "$work/capture.raw" <<'PY'
import struct, sys
out = bytearray()
for k in range(25):
    n = 16 if k % 2 else 1
    body = bytes([k % 2, k, n]) + b"".join(struct.pack(">h", 100 * k + j) for j in range(2 * n)) \
        + b"".join(struct.pack(">i", j - k) for j in range(n))
    out += b"\xa2\xe0" + body + bytes([(0xE0 + sum(body)) % 256, 0x16])
open(sys.argv[1], "wb").write(out)
PY
  "$gui" --replay "$work/capture.raw" --rate max --record "$work/again.raw" 2>"$log" &
  pid=$!
  await test -e "$work/again.raw"
  xclose "KVX VazoRez GUI" && wait "$pid"
  check "--replay FILE --record FILE gives the same bytes" cmp -s "$work/capture.raw" "$work/again.raw"

  # Even while the box of a port that would not open waits for an answer: the box is the second
  # window shown.
  "$gui" --port /dev/vazorez-no-such-port --connect 2>"$log" &
  pid=$!
  check "the failure box of a port that would not open is shown" \
    /usr/bin/python3 "$here/xclose.py" --shown 2 "$patience"
  kill -TERM "$pid"
  await ended "$pid" || kill -9 "$pid"
  wait "$pid"
  status=$?
  check "SIGTERM while the failure box is open ends the viewer with exit 0" [ $status -eq 0 ]

  # Bad options end the viewer with exit code 2 and say why, before any window opens (offscreen, a
  # window would keep it running until the timeout).
  says() { grep -F -- "$1" "$log" | grep -q "^vazorez-gui: .* (see --help)$"; }
  touch "$work/empty.raw"
  local options
  while IFS='|' read -r options message; do
    # shellcheck disable=SC2086 # the options are words
    (cd "$work" && QT_QPA_PLATFORM=offscreen timeout "$patience" "$gui" $options) >/dev/null 2>"$log"
    status=$?
    check "'$options': exit code 2 (got $status)" [ $status -eq 2 ]
    check "'$options': says '$message'" says "$message"
  done <<'TABLE'
--no-such-option|Unknown option 'no-such-option'
extra words|unexpected argument 'extra'
--replay empty.raw --rate abc|--rate wants line, max or 0.01 to 100000 frames per second, not 'abc'
--replay empty.raw --rate 0|not '0'
--replay empty.raw --rate -3|not '-3'
--replay empty.raw --rate 1e-7|not '1e-7'
--replay empty.raw --rate 1e9|not '1e9'
--format csv|--format needs --record
--record x.csv --format xml|--format wants csv, jsonl, raw or h5, not 'xml'
--rate 5|--rate needs --replay
--loop|--loop needs --replay
--replay empty.raw --port /dev/null|give --replay or --port, not both
--port socket://127.0.0.1:99999|--port socket://127.0.0.1:99999: not a network port: 99999 is not a TCP port number (1 to 65535)
--port rfc2217://:4000|--port rfc2217://:4000: not a network port
--port zmq+tcp://127.0.0.1|--port zmq+tcp://127.0.0.1: not a publisher: expected zmq+tcp://HOST:PORT
--publish tcp://127.0.0.1|--publish tcp://127.0.0.1: expected tcp://HOST:PORT
--publish tcp://127.0.0.1:70000|--publish tcp://127.0.0.1:70000: 70000 is not a TCP port number, 1 to 65535
--publish udp://127.0.0.1:5556|--publish udp://127.0.0.1:5556: expected tcp://HOST:PORT
TABLE

  # A request that cannot be met is said, and the viewer starts all the same.
  "$gui" --replay "$work/missing.raw" 2>"$log" &
  pid=$!
  xclose "KVX VazoRez GUI" && wait "$pid"
  status=$?
  check "a missing replay file starts the viewer" [ $status -eq 0 ]
  check "a missing replay file is said" grep -q "cannot read $work/missing.raw" "$log"

  # A recording that cannot start is said in a box before the link opens, not only on standard
  # error (nobody reads it when the viewer is started from the desktop); the viewer then runs.
  # A FIFO nobody reads and an h5 file into a FIFO are refused at once: they used to block the
  # viewer before its window showed, deaf to SIGTERM.
  mkfifo "$work/nobody-reads.fifo"
  local target format
  for target in /nonexistent/x.csv /dev/full /proc/version.csv "$work/nobody-reads.fifo" "h5 $work/nobody-reads.fifo"; do
    format=csv
    case $target in "h5 "*) format=h5; target="${target#h5 }" ;; esac
    "$gui" --replay "$work/capture.raw" --rate max --record "$target" --format $format 2>"$log" &
    pid=$!
    check "--record $target: a box says so" xclose "Recording not started"
    xclose "KVX VazoRez GUI" && wait "$pid"
    status=$?
    check "--record $target: the viewer runs and ends with exit 0" [ $status -eq 0 ]
    check "--record $target: standard error says so" grep -q "cannot record to $target: " "$log"
  done
}

group_record() {
  local pid status reader pipeline
  # A port given on the command line, connected at once, recorded until the window closes. The
  # simulator ends once the viewer has taken its 30 frames; the viewer records what it took.
  start_sim "$work/sim.out" --count 30 --rate 100 --samples 16
  "$gui" --port "$port" --connect --record "$work/live.csv" 2>"$log" &
  pid=$!
  wait "$sim"
  xclose "KVX VazoRez GUI" && wait "$pid"
  check "--port PORT --connect --record FILE holds every frame" [ "$(wc -l <"$work/live.csv")" -eq $((1 + 30 * 16)) ]
  check "a recording that ends says what it saved on standard error" \
    grep -qx "vazorez-gui: $work/live.csv: 30 frames saved" "$log"

  # Ctrl-C or SIGTERM closes the window as its close button does: the recording keeps its name.
  # Frames in the recording first (more than its header line).
  start_sim "$work/sim2.out" --rate 100 --samples 16
  "$gui" --port "$port" --connect --record "$work/term.csv" 2>"$log" &
  pid=$!
  await bash -c '[ "$(cat "$0".part-* 2>/dev/null | wc -l)" -gt 1 ]' "$work/term.csv"
  kill -TERM "$pid"
  wait "$pid"
  status=$?
  kill -INT "$sim"; wait "$sim"
  check "SIGTERM ends the viewer with exit 0" [ $status -eq 0 ]
  check "SIGTERM leaves the recording whole, under its name" bash -c '[ -s "$0" ] && [ -z "$(tail -c 1 "$0")" ] && ! ls "$0".part-* >/dev/null 2>&1' "$work/term.csv"

  # A recording that fails is said on standard error too: the status bar goes with the window.
  # Files may grow to 2 KiB here; a 255-sample frame is 2,047 bytes, the csv's header and first row
  # more.
  start_sim "$work/sim3.out" --rate 20 --samples 255
  : >"$log" # emptied here: the await below must not read the last viewer's words
  bash -c 'trap "" XFSZ; ulimit -f 2; exec "$0" "$@"' "$gui" --port "$port" --connect --record "$work/full.csv" 2>"$log" &
  pid=$!
  await grep -q "stopped after" "$log"
  kill -TERM "$pid"
  wait "$pid"
  status=$?
  kill -INT "$sim"; wait "$sim"
  check "a recording the file size limit stops is said on standard error, and the viewer goes on" \
    bash -c '[ "$0" -eq 0 ] && grep -q "^vazorez-gui: recording to .*full.csv stopped after 0 frames: .*no frame reached the file, no .*full.csv was made" "$1" && ! ls "$2".part-* >/dev/null 2>&1' "$status" "$log" "$work/full.csv"

  # Outputs that are not files: a path to standard output into a pipe and a FIFO with its reader
  # get every frame, written directly and opened once (they used to get a hidden .part file in the
  # working folder, or the header alone); a pipe whose reader left ends the recording, never the
  # viewer (SIGPIPE used to end it with status 141).
  mkfifo "$work/rec.fifo"
  start_sim "$work/sim4.out" --count 30 --rate 100 --samples 16
  cat "$work/rec.fifo" >"$work/from-fifo.csv" &
  reader=$!
  (cd "$work" && exec "$gui" --port "$port" --connect --record "$work/rec.fifo" 2>"$log") &
  pid=$!
  wait "$sim"
  xclose "KVX VazoRez GUI" && wait "$pid"
  wait "$reader"
  check "--record FIFO: its reader gets the header once and every frame" \
    [ "$(grep -c '^frame,' "$work/from-fifo.csv")" -eq 1 -a "$(wc -l <"$work/from-fifo.csv")" -eq $((1 + 30 * 16)) ]
  start_sim "$work/sim5.out" --count 30 --rate 100 --samples 16
  (cd "$work" && "$gui" --port "$port" --connect --record /dev/stdout 2>"$log" | wc -l >"$work/stdout-lines") &
  pid=$!
  wait "$sim"
  xclose "KVX VazoRez GUI" && wait "$pid"
  check "--record /dev/stdout into a pipe: every frame, nothing left in the working folder" \
    bash -c '[ "$(cat "$0/stdout-lines")" -eq $((1 + 30 * 16)) ] && ! ls -A "$0" | grep -q part-' "$work"
  start_sim "$work/sim6.out" --rate 100 --samples 16
  # The viewer's own process id, from the left of the pipe.
  : >"$log" # emptied here: the await below must not read the last viewer's words
  ( "$gui" --port "$port" --connect --record - --format jsonl 2>"$log" &
    echo $! >"$work/gui.pid"
    wait $! ) | head -n 3 >/dev/null &
  pipeline=$!
  await grep -q "stopped after" "$log"
  pid="$(cat "$work/gui.pid")"
  check "--record - into a pipe that closes: the viewer goes on and says why" \
    bash -c 'kill -0 "$0" && grep -Eq "^vazorez-gui: recording to - stopped after [0-9]+ frames: Broken pipe" "$1"' "$pid" "$log"
  kill -TERM "$pid"
  kill -INT "$sim"
  wait "$pipeline" "$sim"

  # --publish: a program subscribed gets the frames of the port connected from the command line; a
  # second viewer asking for the same endpoint says on standard error that it is in use, and runs on
  # without publishing.
  start_sim "$work/sim7.out" --rate line --samples 200
  local free_port endpoint second
  free_port='import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
  endpoint="tcp://127.0.0.1:$(/usr/bin/python3 -c "$free_port")"
  "$gui" --port "$port" --connect --publish "$endpoint" 2>"$log" &
  pid=$!
  check "--publish ENDPOINT: a subscriber gets the port's frames" /usr/bin/python3 - "$endpoint" "$port" "$patience" <<'PY'
import json, sys, zmq
socket = zmq.Context().socket(zmq.SUB)
socket.setsockopt(zmq.SUBSCRIBE, b"frame")
socket.setsockopt(zmq.RCVTIMEO, int(sys.argv[3]) * 1000)
socket.connect(sys.argv[1])
topic, header, i, q, s = socket.recv_multipart()
header = json.loads(header)
sys.exit(0 if header["source"] == sys.argv[2] and header["n"] == 200
         and (len(i), len(q), len(s)) == (400, 400, 800) else 1)
PY
  "$gui" --publish "$endpoint" 2>"$work/second.log" &
  second=$!
  await grep -q "cannot publish" "$work/second.log"
  check "--publish ENDPOINT in use: said on standard error" \
    grep -qx "vazorez-gui: cannot publish on $endpoint: address already in use" "$work/second.log"
  check "--publish ENDPOINT in use: the viewer runs on" kill -0 "$second"
  kill -TERM "$second" "$pid"
  wait "$second"
  status=$?
  wait "$pid"
  check "--publish: both viewers end with exit 0 (got $status, $?)" [ "$status $?" = "0 0" ]
  kill -INT "$sim"; wait "$sim"
}

# Quitting while a board streams records every frame the viewer read: what the simulator counts as
# taken equals the frames recorded, whether the window is closed or Ctrl-C, SIGTERM or SIGHUP (the
# terminal closing; it used to leave the file under its temporary name) ends it, at
# the line's pace (the last few frames still held below the decode gate) and as fast as it goes.
# A second signal right behind the first (HUP then TERM, as a closing terminal and a script send
# them) ends the viewer by that signal, but only once the recording is whole: it used to end it
# at once, with the file under its temporary name.
group_quit() { # RATE
  local rate="$1" how pid status sent size recorded expected flushed
  all_recorded() { # EXIT_STATUS FRAMES_SENT BYTES_RECORDED "EXPECTED_STATUSES"
    case " $4 " in *" $1 "*) ;; *) return 1 ;; esac
    [ -n "$2" ] && [ "$2" -gt 0 ] && [ $(($3 % 199)) -eq 0 ] && [ "$2" -eq $(($3 / 199)) ]
  }
  part_size() { stat -c %s "$work"/quit.raw.part-* 2>/dev/null || echo 0; }
  for how in close INT TERM HUP HUP+TERM; do
    # --count: the board waits for the viewer before its first frame, so only the end is at stake.
    start_sim "$work/quit-sim.out" --samples 24 --count 100000 --rate "$rate" 2>/dev/null
    "$gui" --port "$port" --connect --record "$work/quit.raw" 2>"$log" &
    pid=$!
    # Frames flowing into the recording first: written out once, and then again (the recorder
    # writes every quarter of a second), so that the viewer quits in the middle of a stream.
    await bash -c '[ "$(stat -c %s "$0".part-* 2>/dev/null || echo 0)" -gt 1024 ]' "$work/quit.raw"
    flushed="$(part_size)"
    await bash -c '[ "$(stat -c %s "$0".part-* 2>/dev/null || echo 0)" -gt "$1" ]' "$work/quit.raw" "$flushed"
    case $how in
      close) xclose "KVX VazoRez GUI" ;;
      HUP+TERM) kill -HUP "$pid"; kill -TERM "$pid" ;;
      *) kill -"$how" "$pid" ;;
    esac
    wait "$pid"
    status=$?
    kill -INT "$sim"
    wait "$sim"
    sent="$(sed -n 's/^sent: \([0-9]*\) frames.*/\1/p' "$work/quit-sim.out")"
    size="$(stat -c %s "$work/quit.raw" 2>/dev/null || echo 0)"
    recorded=$((size / 199)) # a 24-sample frame is 199 bytes
    expected=0
    [ "$how" = HUP+TERM ] && expected="129 143" # 128 + the signal handled second
    check "quit by $how at rate $rate: exit $status, sent $sent frames, recorded $recorded" \
      all_recorded "$status" "$sent" "$size" "$expected" || cat "$work/quit-sim.out" "$log"
    rm -f "$work/quit.raw" "$work"/quit.raw.part-*
  done
}

case $group in
  window) group_window ;;
  record) group_record ;;
  quit-line) group_quit line ;;
  quit-max) group_quit max ;;
  *) echo "usage: $0 window|record|quit-line|quit-max PATH_TO_VAZOREZ_GUI" >&2; exit 2 ;;
esac
echo "$group: $passes passed, $failures failed"
[ $failures -eq 0 ] && [ $passes -gt 0 ]
