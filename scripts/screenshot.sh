#!/usr/bin/env bash
# Takes screenshots of Quillmark during a capture from the simulated dongle,
# on a virtual X server, the way a person would: start the program, press
# Start (Return hits the default button), wait for frames, grab the screen.
#
#   scripts/screenshot.sh [--bin DIR] [--out DIR] [--stand-in | --extcap | --scan]
#     --bin DIR    where quillmark, quillmark-extcap and qm-dongle-sim are
#                  (default: build/release/bin, built first when missing)
#     --out DIR    where the PNG files go (default: docs/)
#     --stand-in   feed a tshark stand-in instead of Wireshark (no Wireshark window)
#     --extcap     start only Wireshark, with quillmark-extcap in its extcap
#                  folder, and take its welcome page listing the dongle
#     --scan       a dongle that hears two networks (channels 15 and 20): press
#                  Scan, wait for the sweep over the 16 channels, take the
#                  scan window
#
# Writes quillmark-capture.png (the dialog) and, with Wireshark,
# quillmark-with-wireshark.png (the whole screen); with --extcap only
# quillmark-in-wireshark-interfaces.png (the Wireshark window); with --scan
# only quillmark-scan.png.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# Starts a virtual X server writing its display number to $1/display; sets
# DISPLAY. The server's pid joins pids.
start_xvfb() {
    Xvfb -displayfd 3 -screen 0 "$2" -nolisten tcp 3>"$1/display" 2>/dev/null &
    pids+=($!)
    for _ in $(seq 50); do [ -s "$1/display" ] && break; sleep 0.1; done
    export DISPLAY=:$(cat "$1/display")
}

# Starts the simulated dongle as COM200 in the ports directory $1, its output
# in $2.out and $2.err, and waits until it is ready; more options after those.
start_sim() {
    local ports=$1 log=$2
    shift 2
    "$bin/qm-dongle-sim" --ports-dir "$ports" --port 200 --rate 20 --seed 7 "$@" >"$log.out" 2>"$log.err" &
    pids+=($!)
    for _ in $(seq 50); do grep -q '^ready' "$log.out" 2>/dev/null && break; sleep 0.1; done
}

# Scan's sweep: 16 channels, 2 s on each, and the retunes between them;
# where the Scan button is in the dialog (from its right edge, from its top).
scan_sweep_s=36
scan_from_right=52
scan_y=136

# The window size the extcap shot is taken at, and where in that window the
# first row of the welcome page's interface list is.
ws_size=(750 550)
ws_first_interface=(280 237)

# The --extcap shot proper, run by the script itself inside the work
# directory $QM_SHOT_EXTCAP_WORK (as "nobody" when started by root, since
# Wireshark ignores WIRESHARK_EXTCAP_DIR for root). Leaves shot.png there.
extcap_shot() {
    local work=$QM_SHOT_EXTCAP_WORK
    bin=$work/prog
    pids=()
    trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true' EXIT
    cd "$work"
    start_xvfb "$work" 1280x800x24
    start_sim "$bin/ports" sim
    "$bin/quillmark-extcap" --install "$work/extcap" >install.out
    HOME=$work/home XDG_CONFIG_HOME=$work/home XDG_RUNTIME_DIR=$work/run \
        WIRESHARK_EXTCAP_DIR=$work/extcap QT_QPA_PLATFORM=xcb wireshark >wireshark.out 2>&1 &
    pids+=($!)
    local ws=
    for _ in $(seq 200); do
        ws=$(xdotool search --onlyvisible --name '^The Wireshark Network Analyzer$' 2>/dev/null | head -1) \
            && [ -n "$ws" ] && break
        sleep 0.1
    done
    [ -n "$ws" ] || { echo "$0: the Wireshark window did not appear" >&2; cat wireshark.out >&2; exit 1; }
    xdotool windowsize --sync "$ws" "${ws_size[@]}"
    sleep 3
    # Extcap interfaces come last in the list: select the last row, which
    # scrolls it into view, then take the pointer away from the list.
    xdotool mousemove --window "$ws" "${ws_first_interface[@]}" click 1
    xdotool key --window "$ws" End
    xdotool mousemove 0 0
    sleep 1
    import -window "$ws" shot.png
}

if [ -n "${QM_SHOT_EXTCAP_WORK:-}" ]; then
    extcap_shot
    exit 0
fi

bin=$root/build/release/bin
out=$root/docs
mode=dialog
while [ $# -gt 0 ]; do
    case "$1" in
        --bin) bin=$(cd "$2" && pwd); shift ;;
        --out) out=$2; shift ;;
        --stand-in) mode=stand-in ;;
        --extcap) mode=extcap ;;
        --scan) mode=scan ;;
        *) echo "usage: $0 [--bin DIR] [--out DIR] [--stand-in | --extcap | --scan]" >&2; exit 2 ;;
    esac
    shift
done
for tool in Xvfb xdotool import; do
    command -v "$tool" >/dev/null || { echo "$0: $tool is missing (packages xvfb xdotool imagemagick)" >&2; exit 1; }
done
programs=(quillmark qm-dongle-sim)
[ "$mode" = extcap ] && programs=(quillmark-extcap qm-dongle-sim)
for program in "${programs[@]}"; do
    [ -x "$bin/$program" ] && continue
    cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
    cmake --build build/release --target "${programs[@]}"
    break
done
mkdir -p "$out"

if [ "$mode" = extcap ]; then
    # A private copy of the programs, with its own settings, ports directory
    # and extcap folder: nothing goes into Wireshark's own folders.
    work=$(mktemp -d /tmp/qm-shot.XXXXXX)
    trap 'rm -rf "$work"' EXIT
    mkdir -p "$work/prog/ports" "$work/home" "$work/extcap" "$work/run"
    cp "$bin/quillmark-extcap" "$bin/qm-dongle-sim" "$work/prog/"
    cp "$root/scripts/screenshot.sh" "$work/"
    printf '[Config]\nChannel=15\n' > "$work/prog/Quillmark.ini"
    chmod 755 "$work"
    chmod 700 "$work/run"
    run=(env QM_SHOT_EXTCAP_WORK="$work" bash "$work/screenshot.sh")
    if [ "$(id -u)" = 0 ]; then
        chown -R nobody:nogroup "$work"
        setpriv --reuid=nobody --regid=nogroup --clear-groups "${run[@]}"
    else
        "${run[@]}"
    fi
    cp "$work/shot.png" "$out/quillmark-in-wireshark-interfaces.png"
    echo "screenshot in $out"
    exit 0
fi

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
if [ "$mode" = stand-in ]; then
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

start_xvfb "$work" 1400x760x24
export XDG_RUNTIME_DIR=$work/run
unset WAYLAND_DISPLAY

if [ "$mode" = scan ]; then
    start_sim "$work/ports" "$work/sim" --network 15:0x1a62 --network 20:0x7c01
else
    start_sim "$work/ports" "$work/sim"
fi

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
if [ "$mode" = scan ]; then
    # Without a window manager the dialog is never active, so its Alt+S is
    # not taken: Scan is clicked where it sits, at the channel row's right end.
    width=$(xdotool getwindowgeometry "$wid" | sed -n 's/.*Geometry: \([0-9]*\)x.*/\1/p')
    xdotool mousemove --window "$wid" $((width - scan_from_right)) "$scan_y" click 1
    scan=
    for _ in $(seq 50); do
        scan=$(xdotool search --onlyvisible --name '^Channel scan$' 2>/dev/null | head -1) && [ -n "$scan" ] && break
        sleep 0.1
    done
    [ -n "$scan" ] || { echo "$0: the scan window did not appear" >&2; cat "$work/quillmark.out" >&2; exit 1; }
    xdotool windowmove "$scan" 40 40
    sleep "$scan_sweep_s"
    import -window "$scan" "$out/quillmark-scan.png"
    echo "screenshot in $out"
    exit 0
fi
xdotool key --window "$wid" Return

if [ "$mode" = stand-in ]; then
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
