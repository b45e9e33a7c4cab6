#!/usr/bin/env bash
# Takes screenshots of Quillmark during a capture from the simulated dongle,
# on a virtual X server, the way a person would: start the program, press
# Start (Return hits the default button), wait for frames, grab the screen.
#
#   scripts/screenshot.sh [--bin DIR] [--out DIR] [--stand-in]
#     --bin DIR    where quillmark and qm-dongle-sim are (default: build/release/bin,
#                  built first when missing)
#     --out DIR    where the PNG files go (default: docs/)
#     --stand-in   feed a tshark stand-in instead of Wireshark (no Wireshark window)
#
# Writes quillmark-capture.png (the dialog) and, with Wireshark,
# quillmark-with-wireshark.png (the whole screen).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bin=$root/build/release/bin
out=$root/docs
stand_in=0
while [ $# -gt 0 ]; do
    case "$1" in
        --bin) bin=$(cd "$2" && pwd); shift ;;
        --out) out=$2; shift ;;
        --stand-in) stand_in=1 ;;
        *) echo "usage: $0 [--bin DIR] [--out DIR] [--stand-in]" >&2; exit 2 ;;
    esac
    shift
done
for tool in Xvfb xdotool import; do
    command -v "$tool" >/dev/null || { echo "$0: $tool is missing (packages xvfb xdotool imagemagick)" >&2; exit 1; }
done
if [ ! -x "$bin/quillmark" ] || [ ! -x "$bin/qm-dongle-sim" ]; then
    cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
    cmake --build build/release --target quillmark qm-dongle-sim
fi
mkdir -p "$out"

# A private copy of the program, so that its settings and ports directory
# (kept beside the executable) are this script's own.
work=$(mktemp -d /tmp/qm-shot.XXXXXX)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    # Wireshark is started detached by Quillmark: find it by its pipe.
    pkill -f "$work/run/quillmark/wireshark0" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
cp "$bin/quillmark" "$work/"
mkdir -p "$work/ports" "$work/run"
chmod 700 "$work/run"

wireshark=wireshark
if [ "$stand_in" = 1 ]; then
    wireshark=$work/ws-stand-in.sh
    cat > "$wireshark" <<EOF
#!/bin/sh
# Stand-in for Wireshark: capture from the FIFO given after -i with tshark.
while [ \$# -gt 0 ]; do [ "\$1" = "-i" ] && { shift; fifo=\$1; }; shift; done
exec tshark -l -i "\$fifo" -w "$work/capture.pcapng" >"$work/tshark.log" 2>&1
EOF
    chmod +x "$wireshark"
fi
printf '[Config]\nComPort=200\nChannel=15\nWireshark=%s\n' "$wireshark" > "$work/Quillmark.ini"

Xvfb -displayfd 3 -screen 0 1400x760x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$work/display")
export XDG_RUNTIME_DIR=$work/run
unset WAYLAND_DISPLAY

"$bin/qm-dongle-sim" --ports-dir "$work/ports" --port 200 --rate 20 --seed 7 \
    >"$work/sim.out" 2>"$work/sim.err" &
pids+=($!)
for _ in $(seq 50); do grep -q '^ready' "$work/sim.out" 2>/dev/null && break; sleep 0.1; done

QT_QPA_PLATFORM=xcb "$work/quillmark" >"$work/quillmark.out" 2>&1 &
pids+=($!)
wid=
for _ in $(seq 100); do
    wid=$(xdotool search --name '^Quillmark \(' 2>/dev/null | head -1) && [ -n "$wid" ] && break
    sleep 0.1
done
[ -n "$wid" ] || { echo "$0: the Quillmark window did not appear" >&2; cat "$work/quillmark.out" >&2; exit 1; }
sleep 0.5
xdotool windowfocus --sync "$wid"
xdotool key --window "$wid" Return

if [ "$stand_in" = 1 ]; then
    sleep 4
else
    # Give Wireshark time to start and fill its list, then put the two
    # windows side by side (there is no window manager to do it).
    sleep 10
    ws=$(xdotool search --name 'wireshark0' 2>/dev/null | head -1 || true)
    [ -n "$ws" ] && xdotool windowmove "$ws" 0 0 windowsize "$ws" 800 600
    xdotool windowmove "$wid" 820 120
    sleep 2
    import -window root "$out/quillmark-with-wireshark.png"
fi
import -window "$wid" "$out/quillmark-capture.png"
echo "screenshots in $out"
