#!/usr/bin/env bash
# The Debian package as a user gets it, on this machine (as root):
#   - cpack -G DEB makes quillmark_<version>_amd64.deb in the build; lintian
#     finds no error in it;
#   - apt-get install ./quillmark_<version>_amd64.deb installs it; the desktop
#     file and the AppStream metainfo it installed validate, and the man pages
#     are found by man;
#   - as an ordinary user: a simulated dongle published in that user's
#     ~/.config/Quillmark/ports is listed by tshark -D through the extcap in
#     Wireshark's folder, whose channel option defaults to the one in that
#     user's Quillmark.ini; tshark captures 10 frames through it;
#     quillmark-capture from PATH captures 10 frames from the same port; the
#     dialog starts (offscreen) from PATH;
#   - as root, the installed programs use /root/.config/Quillmark too;
#   - nothing was written under /usr besides the package's own files;
#   - apt-get remove --purge leaves none of them behind.
#   scripts/test_package.sh [<build dir>]   (default build/release, built)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build/release}" && pwd)
[ "$(id -u)" = 0 ] || { echo "test_package.sh installs a package: run it as root"; exit 1; }

user=qm-pkg-test
sim_bin=$build/bin/qm-dongle-sim
extcap_dir=$(sed -n 's/^QM_WIRESHARK_EXTCAP_DIR:PATH=//p' "$build/CMakeCache.txt")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb=$build/quillmark_${version}_$(dpkg --print-architecture).deb

work=$(mktemp -d /tmp/qm-pkg-test.XXXXXX)
chmod 755 "$work"
pids=()
made_user=0
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    # runuser passes no signal on: what the test user still runs (the
    # simulator) is ended here, or it would outlive the test and keep the
    # user from being removed.
    pkill -TERM -u "$user" 2>/dev/null && sleep 0.3
    pkill -KILL -u "$user" 2>/dev/null || true
    wait 2>/dev/null || true
    if dpkg-query -W -f='${Status}' quillmark 2>/dev/null | grep -q "ok installed"; then
        DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y -q quillmark >/dev/null 2>&1 || true
    fi
    [ "$made_user" = 1 ] && userdel -r "$user" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

fail=0
check() {   # [show=<file>] check <what> <command...>: <file> is shown on failure
    local what=$1; shift
    if "$@"; then
        echo "ok: $what"
    else
        echo "FAIL: $what"
        fail=1
        [ -n "${show:-}" ] && [ -f "$show" ] && sed 's/^/    /' "$show"
    fi
    return 0
}
wait_for() {   # wait_for <file> <tenths of a second> <text>
    for _ in $(seq "$2"); do grep -qF -- "$3" "$1" 2>/dev/null && return 0; sleep 0.1; done
    return 1
}
frames_in() {   # frames_in <capture file>: the number of frames tshark reads
    tshark -r "$1" -T fields -e frame.number 2>/dev/null | wc -l
}

# A package from an earlier, failed run would hide what this one installs.
if dpkg-query -W -f='${Status}' quillmark 2>/dev/null | grep -q "ok installed"; then
    DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y -q quillmark >/dev/null
fi

echo "--- package"
rm -f "$build"/quillmark_*.deb
(cd "$build" && cpack -G DEB) >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
[ -f "$deb" ] || { echo "FAIL: cpack made no $deb"; ls "$build"/*.deb; exit 1; }
echo "$(basename "$deb"): $(stat -c %s "$deb") bytes"
dpkg-deb -f "$deb" Package Version Architecture Depends Recommends Installed-Size
dpkg-deb -c "$deb" >"$work/contents.txt"
for f in /usr/bin/quillmark /usr/bin/quillmark-capture /usr/bin/quillmark-extcap "$extcap_dir/quillmark-extcap ->"; do
    show=$work/contents.txt check "the package holds $f" grep -qE " \.$f( |\$)" "$work/contents.txt"
done

echo "--- lintian"
lintian_rc=0
lintian --fail-on error "$deb" >"$work/lintian.out" 2>&1 || lintian_rc=$?
grep -v '^running with root privileges' "$work/lintian.out" >"$work/lintian.txt" || true
cat "$work/lintian.txt"
check "lintian: no errors (exit $lintian_rc)" test "$lintian_rc" = 0
echo "lintian: $(grep -c '^E:' "$work/lintian.txt" || true) errors, $(grep -c '^W:' "$work/lintian.txt" || true) warnings"

echo "--- install"
touch "$work/stamp"
sleep 1   # ctime has a second's resolution on some file systems
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$deb" >"$work/apt.log" 2>&1 \
    || { cat "$work/apt.log"; exit 1; }
dpkg -L quillmark >"$work/files.txt"
check "the programs are on PATH" test "$(command -v quillmark-capture)" = /usr/bin/quillmark-capture
check "the extcap is in Wireshark's folder" test -x "$extcap_dir/quillmark-extcap"
check "desktop-file-validate" desktop-file-validate /usr/share/applications/*quillmark*.desktop
check "appstreamcli validate" appstreamcli validate --no-net /usr/share/metainfo/*.Quillmark.metainfo.xml
for page in quillmark quillmark-capture quillmark-extcap; do
    check "man $page" bash -c "MANPAGER=cat MANWIDTH=80 man $page 2>/dev/null | grep -q '^NAME'"
done

echo "--- as an ordinary user ($user)"
if ! id "$user" >/dev/null 2>&1; then
    useradd -m -s /bin/bash "$user"
    made_user=1
fi
home=$(getent passwd "$user" | cut -d: -f6)
rm -rf "$home/.config/Quillmark" "$home"/*.pcap*
cp "$sim_bin" "$work/qm-dongle-sim"
as_user() {   # as_user <command...>: a clean login-like environment
    runuser -u "$user" -- env -i HOME="$home" USER="$user" LOGNAME="$user" PATH=/usr/local/bin:/usr/bin:/bin \
        LANG=C.UTF-8 "$@"
}
as_user mkdir -p "$home/.config/Quillmark/ports"
# The stored port and channel: what quillmark-capture takes without options,
# and the channel the extcap offers Wireshark as the default.
as_user sh -c "printf '[Config]\nComPort=200\nChannel=21\n' > '$home/.config/Quillmark/Quillmark.ini'"
as_user "$work/qm-dongle-sim" --ports-dir "$home/.config/Quillmark/ports" --port 200 --rate 200 \
    >"$work/sim.out" 2>"$work/sim.err" &
pids+=($!)
wait_for "$work/sim.out" 100 ready || { echo "FAIL: the simulator did not start"; cat "$work/sim.err"; exit 1; }
cd "$home"
as_user tshark -D >"$work/tshark-D.txt" 2>&1 || true
show=$work/tshark-D.txt check "tshark -D lists the dongle through the installed extcap" \
    grep -q 'quillmark-COM200' "$work/tshark-D.txt"
as_user "$extcap_dir/quillmark-extcap" --extcap-config --extcap-interface quillmark-COM200 >"$work/config.txt" 2>&1 || true
show=$work/config.txt check "the extcap offers the channel stored in ~/.config/Quillmark" \
    grep -q '{value=21}.*{default=true}' "$work/config.txt"
as_user timeout 60 tshark -i quillmark-COM200 -c 10 -w "$home/ten.pcapng" >"$work/tshark.log" 2>&1 || true
show=$work/tshark.log check "tshark captured 10 frames through the installed extcap" test "$(frames_in "$home/ten.pcapng")" = 10
as_user timeout 60 quillmark-capture --port COM200 --channel 15 -c 10 -w "$home/ten.pcap" >"$work/capture.log" 2>&1 || true
show=$work/capture.log check "quillmark-capture from PATH captured 10 frames" test "$(frames_in "$home/ten.pcap")" = 10
sim_lines=$(wc -l <"$work/sim.err")
as_user timeout 60 quillmark-capture -c 3 -w "$home/stored.pcap" >"$work/capture2.log" 2>&1 || true
tail -n +"$((sim_lines + 1))" "$work/sim.err" >"$work/sim-stored.err"
show=$work/sim-stored.err check "quillmark-capture took the port and channel stored in ~/.config/Quillmark (COM200, 21)" \
    grep -q 'cmd set-channel 21 ' "$work/sim-stored.err"
as_user env QT_QPA_PLATFORM=offscreen timeout 3 quillmark >"$work/dialog.log" 2>&1 && dialog_rc=0 || dialog_rc=$?
show=$work/dialog.log check "the dialog starts from PATH (running until the time-out)" test "$dialog_rc" = 124
check "the user's settings stayed in ~/.config/Quillmark" \
    test "$(as_user sh -c "sed -n 's/^Channel=//p' '$home/.config/Quillmark/Quillmark.ini'")" = 21

echo "--- as root (its configuration home in a temporary folder)"
root_cfg=$(mktemp -d /tmp/qm-pkg-root.XXXXXX)
mkdir -p "$root_cfg/Quillmark/ports"
ln -s "$(sed -n 's/^ready //p' "$work/sim.out")" "$root_cfg/Quillmark/ports/com201"
env -i HOME=/root XDG_CONFIG_HOME="$root_cfg" PATH=/usr/bin:/bin timeout 60 \
    quillmark-capture --port COM201 --channel 12 -c 3 -w "$work/root.pcap" >"$work/root.log" 2>&1 || true
show=$work/root.log check "root's quillmark-capture found the port in its own configuration home's Quillmark/ports" \
    test "$(frames_in "$work/root.pcap")" = 3
env -i HOME=/root XDG_CONFIG_HOME="$root_cfg" PATH=/usr/bin:/bin \
    "$extcap_dir/quillmark-extcap" --extcap-interfaces >"$work/root-ifaces.txt" 2>&1 || true
show=$work/root-ifaces.txt check "root's extcap in Wireshark's folder lists COM201 from the same folder" \
    grep -q 'quillmark-COM201' "$work/root-ifaces.txt"
rm -rf "$root_cfg"

echo "--- nothing written under /usr"
# Everything under /usr changed since the install, less the package's own
# files and folders and the caches dpkg's triggers refresh for them.
find /usr -cnewer "$work/stamp" 2>/dev/null | sort >"$work/changed.txt"
sort -u "$work/files.txt" >"$work/files-sorted.txt"
comm -23 "$work/changed.txt" "$work/files-sorted.txt" \
    | grep -Ev '^/usr/share/(icons/hicolor/icon-theme\.cache|applications/mimeinfo\.cache)$' >"$work/stray.txt" || true
show=$work/stray.txt check "nothing under /usr but the package's own files changed" test ! -s "$work/stray.txt"
check "no settings beside the programs" bash -c "! ls /usr/bin/Quillmark.ini /usr/bin/ports '$extcap_dir/Quillmark.ini' '$extcap_dir/ports' 2>/dev/null"

echo "--- remove"
DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y -q quillmark >"$work/remove.log" 2>&1 \
    || { cat "$work/remove.log"; exit 1; }
left=0
while read -r f; do
    [ -d "$f" ] && [ ! -L "$f" ] && continue   # shared folders stay (checked below for ours)
    if [ -e "$f" ] || [ -L "$f" ]; then echo "left behind: $f"; left=1; fi
done <"$work/files.txt"
check "no file of the package is left" test "$left" = 0
check "its own folders are gone" bash -c "! ls -d /usr/share/doc/quillmark 2>/dev/null"

cd /
if [ "$fail" != 0 ]; then
    echo "package test FAILED"
    exit 1
fi
echo "package test passed"
