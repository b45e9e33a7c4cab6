#!/usr/bin/env bash
# Builds Quillmark and starts it.
#
# When no real sniffer dongle is plugged in (no /dev/ttyACM* or /dev/ttyUSB*),
# the simulated dongle is started first and published as COM200, so that the
# device box offers it and Start feeds Wireshark with live ZigBee traffic.
# Without a display (no DISPLAY / WAYLAND_DISPLAY) the window runs on a virtual
# X server (Xvfb).
#
# QM_DEMO_NETWORKS="15:0x1a62 20:0x7c01" makes the simulated dongle hold those
# networks (CHANNEL:PAN-ID each, an optional :EXTENDED-PAN-ID after it) and
# only them: every other channel is silent, so pick one of theirs in the
# dialog. Unset, one network is heard on whatever channel is picked.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
qm_install_deps run

# Only what runs (the dialog, the simulated dongle, the headless command and
# the extcap program): no tests, so GoogleTest is not needed.
build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_SANITIZE= \
    -DQM_BUILD_GUI=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target quillmark qm-dongle-sim quillmark-capture quillmark-extcap

bin=$PWD/$build/bin
# Quillmark keeps its settings beside the executable, or in the per-user
# directory when that is not writable.
if [ -w "$bin" ]; then
    settings_dir=$bin
else
    settings_dir=${XDG_CONFIG_HOME:-$HOME/.config}/Quillmark
fi
mkdir -p "$settings_dir/ports"

sim_pid=
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; wait 2>/dev/null || true; }
trap cleanup EXIT INT TERM

if ! compgen -G "/dev/ttyACM*" >/dev/null && ! compgen -G "/dev/ttyUSB*" >/dev/null; then
    echo "No sniffer dongle found: starting the simulated dongle as COM200."
    sim_networks=()
    read -r -a demo_networks <<< "${QM_DEMO_NETWORKS:-}"
    for network in "${demo_networks[@]}"; do
        sim_networks+=(--network "$network")
    done
    "$bin/qm-dongle-sim" --port 200 --ports-dir "$settings_dir/ports" --rate 20 "${sim_networks[@]}" \
        > "$settings_dir/dongle-sim.log" 2>&1 &
    sim_pid=$!
    for _ in $(seq 50); do
        [ -e "$settings_dir/ports/com200" ] && break
        sleep 0.1
    done
    # A first run has no settings yet: point it at the simulated port.
    if [ ! -e "$settings_dir/Quillmark.ini" ]; then
        printf '[Config]\nComPort=200\n' > "$settings_dir/Quillmark.ini"
    fi
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: running on a virtual X server (Xvfb)."
    xvfb-run -a -s "-screen 0 1280x800x24" "$bin/quillmark"
else
    "$bin/quillmark"
fi
