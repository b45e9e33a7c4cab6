#!/usr/bin/env bash
# The built program during a capture from the simulated dongle, on a virtual
# X server, ended by SIGTERM, SIGINT and SIGHUP in turn: each time it must
# leave as Exit leaves, the dongle getting its stop command, and end by itself.
#   exit_signal_test.sh <bin dir> <stand-in reader script>
set -euo pipefail
bin=$1
reader=$2
work=$(mktemp -d /tmp/qm-signal-test.XXXXXX)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    [ -s "$work/reader.pid" ] && kill "$(cat "$work/reader.pid")" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# A private copy of the program: its settings and ports directory live beside it.
cp "$bin/quillmark" "$work/"
mkdir -p "$work/ports" "$work/run"
chmod 700 "$work/run"
printf '[Config]\nComPort=200\nChannel=15\nWireshark=%s\n' "$reader" > "$work/Quillmark.ini"
export QM_TEST_CAPTURE_OUT=$work/capture.pcap QM_TEST_READER_PID=$work/reader.pid QM_TEST_READER_MODE=copy
export XDG_RUNTIME_DIR=$work/run
unset WAYLAND_DISPLAY

# -noreset: the server otherwise resets when its last client leaves, and a
# program started in the next round can find it gone for a moment.
Xvfb -displayfd 3 -noreset -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$work/display")

# Waits up to $2 tenths of a second for the file $1 to contain $3.
wait_for() {
    for _ in $(seq "$2"); do grep -qF -- "$3" "$1" 2>/dev/null && return 0; sleep 0.1; done
    return 1
}

fail=0
for sig in TERM INT HUP; do
    : > "$work/sim.out"; : > "$work/sim.err"; rm -f "$work/reader.pid"
    "$bin/qm-dongle-sim" --ports-dir "$work/ports" --port 200 --rate 50 >"$work/sim.out" 2>"$work/sim.err" &
    sim=$!
    pids+=($sim)
    wait_for "$work/sim.out" 50 ready || { echo "FAIL: the simulator did not start"; exit 1; }

    QT_QPA_PLATFORM=xcb "$work/quillmark" >"$work/quillmark.out" 2>&1 &
    app=$!
    pids+=($app)
    wid=
    for _ in $(seq 100); do
        wid=$(xdotool search --pid "$app" --name '^Quillmark \(' 2>/dev/null | head -1) && [ -n "$wid" ] && break
        sleep 0.1
    done
    [ -n "$wid" ] || { echo "FAIL: the window did not appear"; cat "$work/quillmark.out"; exit 1; }
    xdotool windowfocus --sync "$wid"
    xdotool key --window "$wid" Return   # Start is the default button
    if ! wait_for "$work/sim.err" 100 "cmd start"; then
        echo "FAIL ($sig): the capture did not start"; cat "$work/sim.err"; fail=1
    fi

    kill -s "$sig" "$app"
    for _ in $(seq 50); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$app" 2>/dev/null; then
        echo "FAIL ($sig): the program did not end"; fail=1; kill -KILL "$app"
    fi
    wait "$app" 2>/dev/null || true
    if wait_for "$work/sim.err" 20 "cmd stop"; then
        echo "ok ($sig): stop command sent"
    else
        echo "FAIL ($sig): no stop command reached the dongle"; cat "$work/sim.err"; fail=1
    fi
    kill "$sim" 2>/dev/null || true
    wait "$sim" 2>/dev/null || true
done
exit $fail
