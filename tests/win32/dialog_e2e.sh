#!/usr/bin/env bash
# End to end on the Win32 dialog: builds Quillmark.exe (x86_64 runs under
# wine64 here; the i686 build is only linked, 32-bit code cannot run on our
# machines), serves COM201 from the simulated dongle on a pty registered in
# Wine's Ports key (so discovery finds it through SERIALCOMM), puts the pipe
# reader stand-in in as "Wireshark", and drives the dialog from a helper
# process: start-up state, the About box from the system menu, Start, the
# capture checked frame for frame against the simulator's --sent-pcap, Stop
# and Exit each sending the stop command, one instance only. Leaves a
# screenshot of the dialog capturing.
#
# Usage: tests/win32/dialog_e2e.sh [build-dir] [screenshot.png]
#   (defaults build/d-win32-e2e and build/d-win32-e2e/quillmark-win32.png)
# QM_DONGLE_SIM names the simulator (default build/release/bin/qm-dongle-sim).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
OUT=${1:-$ROOT/build/d-win32-e2e}
SHOT=${2:-$OUT/quillmark-win32.png}
SIM=${QM_DONGLE_SIM:-$ROOT/build/release/bin/qm-dongle-sim}
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
COM_PORT=201
PLUG_PORT=202
FRAMES=300
FRAME_RATE=100
CHANNEL=15
CXXFLAGS=(-std=c++20 -Wall -Wextra -Werror -O2 -I"$ROOT")
LIBS=(-lsetupapi -lcomctl32 -lcomdlg32 -lgdi32 -luser32 -ladvapi32 -lshell32)
SOURCES=(base/os_error_win32.cpp base/settings_os_win32.cpp base/settings.cpp base/ini_text.cpp
    serial/comm_win32.cpp serial/comm_io_win32.cpp serial/comm_event_win32.cpp serial/port_names_win32.cpp
    serial/uart_port.cpp serial/uart_threads.cpp serial/ring_buffer.cpp serial/port_names.cpp
    pcap/pipe_win32.cpp pcap/pipe_io_win32.cpp pcap/launch_win32.cpp pcap/pcap_pipe.cpp
    pcap/pcap_pipe_writer.cpp pcap/pcap_stream.cpp pcap/pcap_file.cpp pcap/file_win32.cpp
    link/frame_forwarder.cpp link/frame_protocol.cpp link/frame_reader.cpp link/rf_ctrl.cpp link/rx_cutter.cpp
    link/msg_wnd_win32.cpp link/msg_hwnd_win32.cpp
    engine/capture_engine.cpp engine/capture_output.cpp engine/capture_settings.cpp engine/capture_texts.cpp
    engine/channels.cpp engine/record_switch.cpp
    shell/model/capture_model.cpp shell/model/capture_model_capture.cpp shell/model/capture_model_devices.cpp
    shell/model/capture_model_file.cpp shell/model/activity_log.cpp
    devices/device_discovery.cpp devices/device_source_win32.cpp devices/device_watch_win32.cpp
    shell/win32/capture_dlg.cpp shell/win32/capture_app.cpp shell/win32/main.cpp)

# Quillmark.exe for one architecture ($1: x86_64 or i686) into $OUT/$1.
build_exe() {
    local arch=$1 cxx=$1-w64-mingw32-g++-posix objs=() o
    mkdir -p "$OUT/$arch"
    for f in "${SOURCES[@]}"; do
        o="$OUT/$arch/$(echo "$f" | tr / _).o"
        if [ ! -f "$o" ] || [ "$ROOT/$f" -nt "$o" ]; then "$cxx" "${CXXFLAGS[@]}" -c "$ROOT/$f" -o "$o"; fi
        objs+=("$o")
    done
    "$1-w64-mingw32-windres" -I"$ROOT/res" "$ROOT/res/quillmark.rc" -O coff -o "$OUT/$arch/quillmark_rc.o"
    "$cxx" -static -mwindows "${objs[@]}" "$OUT/$arch/quillmark_rc.o" "${LIBS[@]}" -o "$OUT/$arch/Quillmark.exe"
    echo "$arch: $(stat -c %s "$OUT/$arch/Quillmark.exe") bytes, imports:" \
        "$("$1-w64-mingw32-objdump" -p "$OUT/$arch/Quillmark.exe" | awk '/DLL Name/ {print $3}' | tr '\n' ' ')"
}

if [ -n "${QM_WIN32_BIN:-}" ]; then
    # Built by CMake (tests/win32/CMakeLists.txt runs this script from ctest):
    # the programs from that build's bin directory, laid out as below.
    echo "== programs from $QM_WIN32_BIN"
    mkdir -p "$OUT/x86_64"
    cp "$QM_WIN32_BIN/Quillmark.exe" "$OUT/x86_64/"
    for exe in qm_pipe_reader qm_dlg_driver win32_msg_wnd_test win32_dialog_test; do
        cp "$QM_WIN32_BIN/$exe.exe" "$OUT/"
    done
else
echo "== build"
build_exe i686
build_exe x86_64
CXX64=x86_64-w64-mingw32-g++-posix
"$CXX64" "${CXXFLAGS[@]}" -static "$ROOT/tests/win32/pipe_reader.cpp" -o "$OUT/qm_pipe_reader.exe"
"$CXX64" "${CXXFLAGS[@]}" -static "$ROOT/tests/win32/dlg_driver.cpp" -o "$OUT/qm_dlg_driver.exe"
GTEST_SRC=/usr/src/googletest/googletest
mkdir -p "$OUT/gtest"
if [ ! -f "$OUT/gtest/libgtest.a" ]; then
    "$CXX64" -std=c++20 -O1 -I"$GTEST_SRC/include" -I"$GTEST_SRC" -c "$GTEST_SRC/src/gtest-all.cc" -o "$OUT/gtest/gtest-all.o"
    "$CXX64" -std=c++20 -O1 -I"$GTEST_SRC/include" -c "$GTEST_SRC/src/gtest_main.cc" -o "$OUT/gtest/gtest_main.o"
    x86_64-w64-mingw32-ar rcs "$OUT/gtest/libgtest.a" "$OUT/gtest/gtest-all.o" "$OUT/gtest/gtest_main.o"
fi
O64="$OUT/x86_64"
"$CXX64" "${CXXFLAGS[@]}" -I"$GTEST_SRC/include" -static "$ROOT/tests/win32/win32_msg_wnd_test.cpp" \
    "$ROOT/tests/win32/msg_pump_win32.cpp" "$O64/link_msg_wnd_win32.cpp.o" "$O64/link_msg_hwnd_win32.cpp.o" \
    "$OUT/gtest/libgtest.a" -o "$OUT/win32_msg_wnd_test.exe"
"$CXX64" "${CXXFLAGS[@]}" -I"$GTEST_SRC/include" -static "$ROOT/tests/win32/win32_dialog_test.cpp" \
    "$ROOT/tests/win32/win32_dialog_ids_test.cpp" "$O64/shell_capture_dlg_win32.cpp.o" \
    "$O64/shell_device_source_win32.cpp.o" "$O64/shell_device_discovery.cpp.o" \
    "$O64/shell_device_watch_win32.cpp.o" "$O64/quillmark_rc.o" \
    "$OUT/gtest/libgtest.a" "${LIBS[@]}" -o "$OUT/win32_dialog_test.exe"
fi
[ -x "$SIM" ] || { echo "FAILED: no simulator at $SIM (build qm-dongle-sim or set QM_DONGLE_SIM)"; exit 1; }

echo "== Wine: fresh prefix on Xvfb"
SCRATCH=$(mktemp -d /tmp/qm-dlg-e2e.XXXXXX)
DISPLAY_NUM=$(( 200 + RANDOM % 100 ))
PIDS=()
cleanup() {
    WINEPREFIX="$SCRATCH/prefix" "$WINESERVER" -k 2>/dev/null || true
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
    rm -rf "$SCRATCH"
}
trap cleanup EXIT
Xvfb ":$DISPLAY_NUM" -screen 0 1024x768x24 -nolisten tcp >"$SCRATCH/xvfb.log" 2>&1 &
PIDS+=($!)
export DISPLAY=":$DISPLAY_NUM" WINEPREFIX="$SCRATCH/prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
sleep 1
"$WINE" wineboot -i </dev/null >"$SCRATCH/boot.log" 2>&1
"$WINESERVER" -w
"$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
# A 64-bit prefix booted without wine32 lacks Wine's own fonts (fonts-wine),
# the template's "MS Sans Serif" among them: the dialog would fall back to
# the wider DejaVu Sans and show labels cut that Windows shows whole.
cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true

echo "== the simulated dongle on a pty, registered as COM$COM_PORT"
mkdir -p "$SCRATCH/ports"
"$SIM" --own-terminal --port "$COM_PORT" --ports-dir "$SCRATCH/ports" --rate "$FRAME_RATE" --frames "$FRAMES" \
    --sent-pcap "$SCRATCH/sent.pcap" >"$SCRATCH/sim.out" 2>"$SCRATCH/sim.log" </dev/null &
PIDS+=($!)
SIM_PID=$!
for _ in $(seq 100); do grep -q '^ready' "$SCRATCH/sim.out" && break; sleep 0.05; done
PTY=$(awk '/^ready/ {print $2}' "$SCRATCH/sim.out")
[ -n "$PTY" ] || { echo "FAILED: the simulator did not start"; cat "$SCRATCH/sim.log"; exit 1; }
"$WINE" reg add 'HKLM\Software\Wine\Ports' /v "COM$COM_PORT" /d "$PTY" /f </dev/null >/dev/null 2>&1
"$WINESERVER" -k || true
"$WINESERVER" -w
"$WINESERVER" -p

FAILED=0
PASSED=0
check() {   # check <what> <command...>: one case
    local what=$1; shift
    if "$@"; then echo "ok: $what"; PASSED=$((PASSED + 1)); else echo "FAILED: $what"; FAILED=$((FAILED + 1)); fi
}
winpath() { echo "Z:${1//\//\\}"; }
# Its output, without CRs; a failure shows in what the checks find, not here.
driver_rc() { (cd "$OUT" && "$WINE" "$OUT/qm_dlg_driver.exe" "$@" </dev/null 2>/dev/null | tr -d '\r'); }
driver() { driver_rc "$@" || true; }

# Counts the cases of one GoogleTest program; one that does not finish counts as a failure.
run_gtest() {
    echo "-- $1"
    local log="$SCRATCH/$1.log" rc=0 ok bad
    (cd "$OUT" && timeout 300 "$WINE" "$OUT/$1.exe" </dev/null >"$log" 2>&1) || rc=$?
    tr -d '\r' <"$log" | grep -v '^\[ RUN\|^\[       OK' || true
    ok=$(grep -c '^\[       OK \]' "$log" || true)
    bad=$(grep -c '^\[  FAILED  \] .*(' "$log" || true)
    PASSED=$((PASSED + ok)); FAILED=$((FAILED + bad))
    if [ "$rc" != 0 ] && [ "$bad" = 0 ]; then FAILED=$((FAILED + 1)); fi
}

echo "== the window layer and the face in-process"
run_gtest win32_msg_wnd_test
QM_TEST_COM=$COM_PORT run_gtest win32_dialog_test

APP="$SCRATCH/app"
mkdir -p "$APP"
cp "$OUT/x86_64/Quillmark.exe" "$OUT/qm_pipe_reader.exe" "$APP/"
printf '[Config]\r\nComPort=%d\r\nChannel=%d\r\nWireshark=%s\r\n' "$COM_PORT" "$CHANNEL" \
    "$(winpath "$APP/qm_pipe_reader.exe")" >"$APP/Quillmark.ini"
export QM_READER_OUT
QM_READER_OUT=$(winpath "$SCRATCH/capture.pcap")

echo "== the dialog"
(cd "$APP" && "$WINE" "$APP/Quillmark.exe" </dev/null >"$SCRATCH/app.log" 2>&1; echo "exit $?" >>"$SCRATCH/app.log") &
APP_PID=$!
check "the dialog shows" driver_rc wait 20000
driver state >"$SCRATCH/state.txt"; cat "$SCRATCH/state.txt"
check "Wireshark mode checked, Start enabled, Stop disabled, Rx blank" \
    grep -q -e '^1000 enabled=1 checked=1' "$SCRATCH/state.txt"
check "Start enabled" grep -q '^1009 enabled=1 .*text=\[Start\]' "$SCRATCH/state.txt"
check "Stop disabled" grep -q '^3 enabled=0 .*text=\[Stop\]' "$SCRATCH/state.txt"
check "Rx blank" grep -q '^1011 enabled=1 checked=0 text=\[\]' "$SCRATCH/state.txt"
check "path from the settings" grep -qF "text=[$(winpath "$APP/qm_pipe_reader.exe")]" "$SCRATCH/state.txt"
driver combo 1005 >"$SCRATCH/channels.txt"
check "16 channels, stored one selected" bash -c "[ \$(wc -l <'$SCRATCH/channels.txt') = 16 ] && \
    head -1 '$SCRATCH/channels.txt' | grep -qxF ' 11 (0x0B)  2.405 GHz' && \
    grep -qxF '*15 (0x0F)  2.425 GHz' '$SCRATCH/channels.txt' && tail -1 '$SCRATCH/channels.txt' | grep -qxF ' 26 (0x1A)  2.480 GHz'"
driver combo 1004 >"$SCRATCH/devices.txt"; cat "$SCRATCH/devices.txt"
check "discovery lists the registered port, selected" grep -qxF "*COM$COM_PORT" "$SCRATCH/devices.txt"

echo "== a port plugged in and out while the dialog runs"
# What a serial port driver does when its device comes and goes: the port
# is listed in SERIALCOMM, then no more.
PLUG_VALUE='\Device\QmPlugTest'
# wait_devices has|lacks <line regex>: the device box has, or lacks, such an item within 10 s.
wait_devices() {
    local found
    for _ in $(seq 50); do
        driver combo 1004 >"$SCRATCH/devices.txt"
        found=lacks
        if grep -qx -e "$2" "$SCRATCH/devices.txt"; then found=has; fi
        [ "$found" = "$1" ] && return 0
        sleep 0.2
    done
    cat "$SCRATCH/devices.txt"
    return 1
}
"$WINE" reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v "$PLUG_VALUE" /d "COM$PLUG_PORT" /f </dev/null >/dev/null 2>&1
check "a port that comes is listed without pressing ..." wait_devices has " COM$PLUG_PORT"
check "the selection stays on COM$COM_PORT" grep -qxF "*COM$COM_PORT" "$SCRATCH/devices.txt"
"$WINE" reg delete 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v "$PLUG_VALUE" /f </dev/null >/dev/null 2>&1
check "a port that goes leaves the list" wait_devices lacks ".COM$PLUG_PORT"
check "the selection still on COM$COM_PORT" grep -qxF "*COM$COM_PORT" "$SCRATCH/devices.txt"
# (The system menu's items are checked in-process by win32_dialog_test: Wine
# gives another process no view of a window's system menu.)
driver about 17 >"$SCRATCH/about.txt"; cat "$SCRATCH/about.txt"
check "command 17 opens the About box, OK closes it" \
    bash -c "grep -qxF '[Quillmark Version 1.0]' '$SCRATCH/about.txt' && grep -qxF 'About box closed' '$SCRATCH/about.txt'"

echo "== one instance only"
SECOND_RC=0
(cd "$APP" && timeout 30 "$WINE" "$APP/Quillmark.exe" </dev/null >/dev/null 2>&1) || SECOND_RC=$?
check "a second start ends at once by itself (rc $SECOND_RC)" test "$SECOND_RC" = 0
check "a second start leaves one dialog" bash -c "[ \"\$(cd '$OUT' && '$WINE' '$OUT/qm_dlg_driver.exe' count </dev/null 2>/dev/null | tr -d '\r')\" = 1 ]"

echo "== Start: capture $FRAMES frames"
driver click 1009
check "the start is logged" driver_rc wait-text 1007 "Start ZigBee sniffing OK" 20000
for _ in $(seq 200); do grep -q "frame limit" "$SCRATCH/sim.log" && break; sleep 0.1; done
check "Stop enabled while capturing" bash -c "cd '$OUT' && '$WINE' '$OUT/qm_dlg_driver.exe' state </dev/null 2>/dev/null | tr -d '\r' | grep -q '^3 enabled=1'"
sleep 1   # the Rx label refreshes every 250 ms
DIALOG_XID=$(xdotool search --name "^Quillmark \(" | head -1 || true)
mkdir -p "$(dirname "$SHOT")"
if [ -n "$DIALOG_XID" ]; then import -window "$DIALOG_XID" "$SHOT"; else import -window root "$SHOT"; fi
echo "screenshot: $SHOT"
driver click 3
check "the stop is logged" driver_rc wait-text 1007 "Stop" 10000
for _ in $(seq 100); do [ -f "$SCRATCH/capture.pcap.done" ] && break; sleep 0.1; done
check "the reader got the end of the stream" test -f "$SCRATCH/capture.pcap.done"
check "Stop sent the stop command" bash -c "[ \$(grep -c 'cmd stop' '$SCRATCH/sim.log') -ge 1 ]"
check "the capture equals --sent-pcap, frame for frame" \
    python3 "$ROOT/tests/win32/pcap_same_frames.py" "$SCRATCH/sent.pcap" "$SCRATCH/capture.pcap.done" "$FRAMES"
check "tshark reads the $FRAMES records" \
    bash -c "[ \"\$(tshark -r '$SCRATCH/capture.pcap.done' 2>/dev/null | wc -l)\" = $FRAMES ]"

echo "== Save to .pcap file (the simulator has sent all its frames: the file gets none)"
mv "$SCRATCH/capture.pcap.done" "$SCRATCH/first.pcap"
SAVED_WIN=$(winpath "$SCRATCH/saved")
driver click 1001
driver settext 1002 "$SAVED_WIN"
driver state >"$SCRATCH/state-file.txt"
check "the mode button and the path label follow" bash -c "grep -q '^1001 enabled=1 checked=1' '$SCRATCH/state-file.txt' && \
    grep -qF '1013 enabled=1 checked=0 text=[Specify path to .pcap file]' '$SCRATCH/state-file.txt'"
driver click 1009
check "the file capture starts, .pcap added" driver_rc wait-text 1007 "Saving the capture to $SAVED_WIN.pcap" 20000
check "the dongle answers" driver_rc wait-text 1007 "Start ZigBee sniffing OK" 20000 2
driver click 3
check "Stop says where and how many" driver_rc wait-text 1007 "Saved 0 frames to $SAVED_WIN.pcap" 10000
check "the file is a pcap tshark reads" bash -c "tshark -r '$SCRATCH/saved.pcap' >/dev/null 2>&1 && \
    [ \"\$(head -c 4 '$SCRATCH/saved.pcap' | od -An -tx1 | tr -d ' ')\" = d4c3b2a1 ]"
check "no reader was launched" bash -c "[ ! -e '$SCRATCH/capture.pcap' ] && [ ! -e '$SCRATCH/capture.pcap.done' ]"
check "the mode and the file are in the settings" bash -c "tr -d '\r' <'$APP/Quillmark.ini' | grep -qx 'Mode=1' && \
    tr -d '\r' <'$APP/Quillmark.ini' | grep -qxF 'PcapFile=$SAVED_WIN.pcap'"
driver click 1000
driver state >"$SCRATCH/state-back.txt"
check "back in Wireshark mode: its path and label" bash -c "grep -qF 'text=[$(winpath "$APP/qm_pipe_reader.exe")]' '$SCRATCH/state-back.txt' && \
    grep -qF '1013 enabled=1 checked=0 text=[Specify path to Wireshark]' '$SCRATCH/state-back.txt'"

echo "== Exit during a third capture"
driver click 1009
check "the third start is logged" driver_rc wait-text 1007 "Start ZigBee sniffing OK" 20000 3
STOPS_BEFORE_EXIT=$(grep -c 'cmd stop' "$SCRATCH/sim.log" || true)
driver click 1010
for _ in $(seq 100); do kill -0 "$APP_PID" 2>/dev/null || break; sleep 0.1; done
check "Exit ends the program" bash -c "! kill -0 $APP_PID 2>/dev/null && grep -q 'exit 0' '$SCRATCH/app.log'"
sleep 0.3
check "Exit sent the stop command" bash -c "[ \$(grep -c 'cmd stop' '$SCRATCH/sim.log') -gt $STOPS_BEFORE_EXIT ]"
kill "$SIM_PID" 2>/dev/null || true
echo "-- simulator log"; cat "$SCRATCH/sim.log"

echo "$PASSED passed, $FAILED failed"
[ "$FAILED" = 0 ]
