# Sourced by run.sh and test.sh: makes sure the Debian 12 packages that
# Quillmark needs are installed. As root it installs what is missing with
# apt-get; otherwise it names the packages and stops.

# The Linux program (the core, the simulated dongle, the Qt dialog).
QM_BUILD_PACKAGES="g++ cmake ninja-build pkg-config libudev-dev libpcap-dev qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev"
# Running it: Wireshark, and a virtual X server when there is no display.
QM_RUN_PACKAGES="wireshark-qt qt6-wayland xvfb xauth"
# The tests: GoogleTest, the sanitizer and fuzzer runtime, the real
# counterparts (tshark, socat, X server, OCR of screenshots), the Debian
# package's making (dpkg-shlibdeps, file) and checks (lintian, the desktop
# file and AppStream validators, man) ...
QM_TEST_PACKAGES="clang libclang-rt-14-dev libgtest-dev libgmock-dev tshark socat xvfb xauth x11-apps imagemagick xdotool tesseract-ocr tesseract-ocr-eng python3 dpkg-dev file lintian desktop-file-utils appstream man-db"
# ... and the Windows program: the mingw-w64 posix-thread cross compilers
# (i686 is shipped, x86_64 runs the tests), GoogleTest's sources for them, and
# 64-bit Wine. No wine32: 32-bit code cannot run on our build machines. NSIS
# makes the installer.
QM_WINDOWS_TEST_PACKAGES="g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix googletest wine64 fonts-wine nsis"

qm_missing_packages() {
    local p missing=""
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
    done
    echo "$missing"
}

# qm_install_deps build|test|run
qm_install_deps() {
    local wanted="$QM_BUILD_PACKAGES"
    case "$1" in
        test) wanted="$wanted $QM_TEST_PACKAGES $QM_WINDOWS_TEST_PACKAGES" ;;
        run)  wanted="$wanted $QM_RUN_PACKAGES" ;;
    esac
    local missing
    missing=$(qm_missing_packages $wanted)
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Quillmark needs these Debian packages:$missing" >&2
        echo "Install them with:  sudo apt-get install --no-install-recommends$missing" >&2
        exit 1
    fi
    echo "Installing:$missing"
    # Wireshark asks whether non-root users may capture; the pipe needs no privileges.
    echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
}
