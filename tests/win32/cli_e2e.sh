#!/usr/bin/env bash
# The two console programs end to end under Wine, on a COM port served by the
# Linux simulated dongle (a pty linked as $WINEPREFIX/dosdevices/comN and
# listed in SERIALCOMM, as a serial driver lists its ports):
#   quillmark-capture.exe -c N -w FILE: exit 0, the file holds the first N
#     frames the dongle sent, the dongle got set-channel and stop; a missing
#     port: exit 1 and a message; the same capture to standard output
#     holds the frames byte for byte; a port refused as one held by
#     another program is said to be in use;
#   quillmark-extcap.exe: lists the port, its link type and channels, and
#     captures into a named pipe that qm_pipe_server creates, as Wireshark
#     does; the reader leaves after N frames, the capture then ends with
#     exit 0 and the dongle got stop; the same when the dongle sends no
#     more frames after those N (no write finds the pipe closed).
#   cli_e2e.sh <wine> <qm-dongle-sim> <dir of the .exe files> <pcap_same_frames.py>
set -euo pipefail
WINE=$1 SIM=$2 BIN=$3 SAME_FRAMES=$4
: "${WINEPREFIX:?the Wine prefix (WINEPREFIX) must be set up first}"
PORT=211
MISSING_PORT=212
HELD_PORT=213
CHANNEL=15
FRAMES=200
FRAME_RATE=1000
RUN_LIMIT_S=30
PIPE='\\.\pipe\qm-cli-e2e'
SERIALCOMM='HKLM\HARDWARE\DEVICEMAP\SERIALCOMM'
SERIALCOMM_VALUE='\Device\QmCliE2e'

SCRATCH=$(mktemp -d /tmp/qm-cli-e2e.XXXXXX)
HELD_FILE=$SCRATCH/held-port
SIM_PID=
cleanup() {
    if [ -n "$SIM_PID" ]; then kill "$SIM_PID" 2>/dev/null || true; fi
    "$WINE" reg delete "$SERIALCOMM" /v "$SERIALCOMM_VALUE" /f </dev/null >/dev/null 2>&1 || true
    rm -f "$WINEPREFIX/dosdevices/com$PORT" "$WINEPREFIX/dosdevices/com$HELD_PORT"
    chattr -i "$HELD_FILE" 2>/dev/null || true
    rm -rf "$SCRATCH"
}
trap cleanup EXIT
APP=$SCRATCH/app
mkdir -p "$APP"
cp "$BIN/quillmark-capture.exe" "$BIN/quillmark-extcap.exe" "$BIN/qm_pipe_server.exe" "$APP/"

FAILED=0
check() {   # check <what> <command...>
    local what=$1; shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; FAILED=$((FAILED + 1)); fi
}
winpath() { echo "Z:${1//\//\\}"; }
# run <name> <exe> <args...>: its stdout and stderr in $SCRATCH/<name>.out/.err (no CRs), its exit in RC.
run() {
    local name=$1 exe=$2; shift 2
    RC=0
    (cd "$APP" && timeout "$RUN_LIMIT_S" "$WINE" "$APP/$exe" "$@" </dev/null \
        >"$SCRATCH/$name.raw" 2>"$SCRATCH/$name.err") || RC=$?
    tr -d '\r' <"$SCRATCH/$name.raw" >"$SCRATCH/$name.out"
}
# The simulator ($1 names its files, the rest are its further options),
# streaming without end until it is stopped.
start_sim() {
    local name=$1; shift
    mkdir -p "$SCRATCH/ports-$name"
    "$SIM" --own-terminal --port "$PORT" --ports-dir "$SCRATCH/ports-$name" --rate "$FRAME_RATE" "$@" \
        --sent-pcap "$SCRATCH/$name-sent.pcap" >"$SCRATCH/$name-sim.out" 2>"$SCRATCH/$name-sim.log" </dev/null &
    SIM_PID=$!
    for _ in $(seq 100); do grep -q '^ready' "$SCRATCH/$name-sim.out" && break; sleep 0.05; done
    local pty
    pty=$(awk '/^ready/ {print $2}' "$SCRATCH/$name-sim.out")
    [ -n "$pty" ] || { echo "FAILED: the simulator did not start"; cat "$SCRATCH/$name-sim.log"; exit 1; }
    ln -sfn "$pty" "$WINEPREFIX/dosdevices/com$PORT"
}
stop_sim() {
    kill "$SIM_PID" 2>/dev/null || true
    wait "$SIM_PID" 2>/dev/null || true
    SIM_PID=
}
# sim_saw <name> <line regex>: the simulator logged it, within 5 s.
sim_saw() {
    for _ in $(seq 100); do grep -q -e "$2" "$SCRATCH/$1-sim.log" && return 0; sleep 0.05; done
    return 1
}
show() { echo "-- $1"; cat "$SCRATCH/$1"; }

echo "== quillmark-capture.exe -c $FRAMES into a file"
start_sim cli
run cli quillmark-capture.exe --port "COM$PORT" --channel "$CHANNEL" -c "$FRAMES" -w "$(winpath "$SCRATCH/cli.pcap")"
show cli.err
check "exit 0 (rc $RC)" test "$RC" = 0
check "the dongle got set-channel $CHANNEL" sim_saw cli "cmd set-channel $CHANNEL "
check "the dongle got stop" sim_saw cli "cmd stop "
stop_sim
check "the file holds the first $FRAMES frames sent" \
    python3 "$SAME_FRAMES" --prefix "$SCRATCH/cli-sent.pcap" "$SCRATCH/cli.pcap" "$FRAMES"

echo "== quillmark-capture.exe -c $FRAMES to standard output (no text-mode line ends in the pcap)"
start_sim stdout
run stdout quillmark-capture.exe --port "COM$PORT" --channel "$CHANNEL" -c "$FRAMES"
check "exit 0 (rc $RC)" test "$RC" = 0
stop_sim
check "standard output holds the first $FRAMES frames sent" \
    python3 "$SAME_FRAMES" --prefix "$SCRATCH/stdout-sent.pcap" "$SCRATCH/stdout.raw" "$FRAMES"

echo "== quillmark-capture.exe on a missing port"
run missing quillmark-capture.exe --port "COM$MISSING_PORT" -c 1 -w "$(winpath "$SCRATCH/missing.pcap")"
show missing.err
check "exit 1 (rc $RC)" test "$RC" = 1
check "the message names COM$MISSING_PORT" grep -q "COM$MISSING_PORT" "$SCRATCH/missing.err"

echo "== quillmark-capture.exe on a port it is refused"
# Windows refuses a port another program holds with "access denied"; Wine
# opens a held port twice, so a link to a file that cannot be written (not
# even by root: immutable) gets the same refusal here.
: >"$HELD_FILE"
if chattr +i "$HELD_FILE" 2>/dev/null; then
    ln -sfn "$HELD_FILE" "$WINEPREFIX/dosdevices/com$HELD_PORT"
    run held quillmark-capture.exe --port "COM$HELD_PORT" -c 1 -w "$(winpath "$SCRATCH/held.pcap")"
    show held.err
    check "exit 1 (rc $RC)" test "$RC" = 1
    check "the message says the port is in use" grep -qF "(COM$HELD_PORT) is in use by another program" \
        "$SCRATCH/held.err"
    check "and gives no Linux advice" bash -c "! grep -q dialout '$SCRATCH/held.err'"
else
    echo "skipped: chattr +i is not available here"
fi

echo "== quillmark-extcap.exe: what Wireshark asks first"
start_sim extcap
"$WINE" reg add "$SERIALCOMM" /v "$SERIALCOMM_VALUE" /d "COM$PORT" /f </dev/null >/dev/null 2>&1
run interfaces quillmark-extcap.exe --extcap-interfaces
show interfaces.out
check "the port is an interface" grep -q "^interface {value=quillmark-COM$PORT}{display=.*COM$PORT}$" \
    "$SCRATCH/interfaces.out"
run dlts quillmark-extcap.exe --extcap-dlts --extcap-interface "quillmark-COM$PORT"
check "link type 195" grep -q '^dlt {number=195}' "$SCRATCH/dlts.out"
run config quillmark-extcap.exe --extcap-config --extcap-interface "quillmark-COM$PORT"
check "channels 11..26" bash -c "[ \"\$(grep -o '^value {arg=0}{value=[0-9]*}' '$SCRATCH/config.out' | \
    grep -o '[0-9]*}\$' | tr -d '}' | tr '\n' ' ')\" = '$(seq -s ' ' 11 26) ' ]"

# extcap_capture <name>: Wireshark's pipe made by qm_pipe_server, which
# leaves after $FRAMES frames; quillmark-extcap.exe captures into it.
extcap_capture() {
    (cd "$APP" && timeout "$RUN_LIMIT_S" "$WINE" "$APP/qm_pipe_server.exe" "$PIPE" "$(winpath "$SCRATCH/$1.pcap")" \
        "$FRAMES" </dev/null >"$SCRATCH/$1-server.out" 2>"$SCRATCH/$1-server.err"; \
        echo "exit $?" >>"$SCRATCH/$1-server.out") &
    local server_pid=$!
    for _ in $(seq 200); do grep -q '^ready' "$SCRATCH/$1-server.out" && break; sleep 0.05; done
    check "the reader made the pipe" grep -q '^ready' "$SCRATCH/$1-server.out"
    run "$1" quillmark-extcap.exe --capture --extcap-interface "quillmark-COM$PORT" --fifo "$PIPE" \
        --channel "$CHANNEL"
    wait "$server_pid" || true
    show "$1.err"
    check "the reader had $FRAMES frames and left" grep -q '^exit 0' "$SCRATCH/$1-server.out"
    check "the pipe closed: exit 0 (rc $RC)" test "$RC" = 0
    check "the dongle got set-channel $CHANNEL" sim_saw extcap "cmd set-channel $CHANNEL "
    check "the dongle got stop" sim_saw extcap "cmd stop "
}

echo "== quillmark-extcap.exe --capture into Wireshark's pipe"
extcap_capture capture
stop_sim
check "the reader's frames are the first $FRAMES sent" \
    python3 "$SAME_FRAMES" --prefix "$SCRATCH/extcap-sent.pcap" "$SCRATCH/capture.pcap" "$FRAMES"

echo "== quillmark-extcap.exe --capture: Wireshark leaves while the channel is quiet"
start_sim extcap --frames "$FRAMES"
extcap_capture quiet
stop_sim

if [ "$FAILED" != 0 ]; then
    show cli-sim.log
    show extcap-sim.log
    show capture-server.err
fi
echo "$FAILED failed"
[ "$FAILED" = 0 ]
