#!/usr/bin/env bash
# Builds Quillmark and runs every test, build by build:
#   build/release   gcc, -Wall -Wextra -Werror, all tests; then its Debian
#                   package, installed, used and removed (scripts/test_package.sh)
#   build/core      the core without Qt and GoogleTest (configure and build only)
#   build/asan      clang with AddressSanitizer + UBSan, all tests and short fuzz runs
#   build/tsan      clang with ThreadSanitizer, the tests labelled "threaded":
#                   only they and the programs they start are built (qm_threaded_tests)
#   build/win32     Quillmark.exe for Windows, i686, static, and its zip and
#                   installer (built and inspected: 32-bit code cannot run on
#                   our machines)
#   build/win64     the same sources for x86_64 with the portable and the Win32
#                   tests, run by ctest under wine64 in a fresh prefix on Xvfb;
#                   its zip and installer, inspected
# Each step prints its time; the whole run stays under 30 minutes on two cores.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
qm_install_deps test

jobs=$(nproc)
export CTEST_OUTPUT_ON_FAILURE=1
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64

step_name=
step_start=0
timings=()
step() {
    step_end
    step_name=$*
    step_start=$SECONDS
    printf '\n=== %s ===\n' "$step_name"
}
step_end() {
    if [ -n "$step_name" ]; then
        timings+=("$(printf '%4ds  %s' $((SECONDS - step_start)) "$step_name")")
        step_name=
    fi
}

# The Wine prefix of the Windows tests and its X server, ended on any exit.
wine_dir=
xvfb_pid=
cleanup() {
    if [ -n "$wine_dir" ]; then
        WINEPREFIX=$wine_dir/prefix "$WINESERVER" -k 2>/dev/null || true
        [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
        wait 2>/dev/null || true
        rm -rf "$wine_dir"
    fi
}
trap cleanup EXIT

# A fresh 64-bit prefix on its own Xvfb display: the display first (a prefix
# booted without one makes windows fail for a while), then a persistent
# wineserver so that ctest does not wait for Wine's helper processes, whose
# services are started here with their output away from ctest's pipes.
wine_up() {
    wine_dir=$(mktemp -d /tmp/qm-wine.XXXXXX)
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$wine_dir/display" 2>"$wine_dir/xvfb.log" &
    xvfb_pid=$!
    for _ in $(seq 100); do [ -s "$wine_dir/display" ] && break; sleep 0.1; done
    [ -s "$wine_dir/display" ] || { echo "Xvfb did not start"; cat "$wine_dir/xvfb.log"; exit 1; }
    export DISPLAY=:$(cat "$wine_dir/display")
    export WINEPREFIX=$wine_dir/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    "$WINE" wineboot -i </dev/null >"$wine_dir/boot.log" 2>&1
    "$WINESERVER" -w
    "$WINESERVER" -p
    # No window manager on Xvfb: Wine places the windows itself.
    "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
}

# System DLLs a static Quillmark.exe may import; anything else (libstdc++,
# libgcc, winpthread) would have to be shipped beside it.
SYSTEM_DLLS="advapi32 comctl32 comdlg32 gdi32 kernel32 msvcrt ole32 oleaut32 setupapi shell32 user32 ws2_32 uxtheme"
check_imports() {   # check_imports <objdump> <exe>
    local dll bad=0
    echo "$(basename "$2"): $(stat -c %s "$2") bytes; imports:"
    for dll in $("$1" -p "$2" | awk '/DLL Name/ {print $3}'); do
        echo "  $dll"
        case " $SYSTEM_DLLS " in
            *" $(echo "${dll%.*}" | tr 'A-Z' 'a-z') "*) ;;
            *) echo "  ^ not a system DLL"; bad=1 ;;
        esac
    done
    [ "$bad" = 0 ]
}

# What ships for one architecture, made by `--target package`: a zip and an
# NSIS installer, each with the three programs and the README for Windows
# users. The installer is a 32-bit program (for both builds) and cannot run
# here: check what makensis was given and that it made one.
#   check_windows_packages <build dir> <win32|win64> <Program Files variable>
check_windows_packages() {
    local dir=$1 suffix=$2 root=$3 f line
    local zip nsis_dir=$1/_CPack_Packages/$2/NSIS
    zip=$(ls "$dir"/Quillmark-*-"$suffix".zip)
    python3 -m zipfile -l "$zip" | tee "$dir/zip-list.txt"
    for f in Quillmark.exe quillmark-capture.exe quillmark-extcap.exe README.txt; do
        grep -q "/$f " "$dir/zip-list.txt" || { echo "the zip lacks $f"; exit 1; }
        [ -f "$nsis_dir/Quillmark-"*"-$suffix/$f" ] || { echo "the installer lacks $f"; exit 1; }
    done
    ls -l "$nsis_dir"/Quillmark-*-"$suffix"/
    grep -q NullsoftInst "$dir"/Quillmark-*-"$suffix".exe
    for line in "InstallDir \"$root\\Quillmark\"" 'Quillmark.lnk' 'Quillmark README.lnk' 'WriteUninstaller'; do
        grep -qF "$line" "$nsis_dir/project.nsi" || { echo "installer script lacks: $line"; exit 1; }
    done
    echo "zip: $zip ($(stat -c %s "$zip") bytes)"
    echo "installer: $(ls "$dir"/Quillmark-*-"$suffix".exe) ($(stat -c %s "$dir"/Quillmark-*-"$suffix".exe) bytes)"
}

step "release build (gcc, all tests)"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_SANITIZE= \
    -DQM_BUILD_GUI=ON -DBUILD_TESTING=ON >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release -j "$jobs"

step "Debian package (lintian, installed, used as a user, removed)"
bash scripts/test_package.sh build/release

step "core without Qt and GoogleTest (configure + build)"
# The find calls are switched off, so any that still asked would fail.
cmake -S . -B build/core -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_SANITIZE= \
    -DQM_BUILD_GUI=OFF -DBUILD_TESTING=OFF \
    -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
    --no-warn-unused-cli >/dev/null
if grep -Eiq 'libqt6|/qt6|gtest' build/core/build.ninja \
    || grep -Eq '^(Qt6|Qt6Core|GTest)_DIR:' build/core/CMakeCache.txt; then
    echo "the core build refers to Qt or GoogleTest"; exit 1
fi
cmake --build build/core -j "$jobs"

step "AddressSanitizer + UBSan build (clang, all tests, fuzz runs)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp
CC=clang CXX=clang++ cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DQM_SANITIZE=address -DQM_FUZZ=ON >/dev/null
cmake --build build/asan -j "$jobs"
ctest --test-dir build/asan -j "$jobs"

step "ThreadSanitizer build (clang, threaded tests)"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp"
CC=clang CXX=clang++ cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DQM_SANITIZE=thread >/dev/null
# Only what `ctest -L threaded` runs: the threaded tests' executables and the
# programs they start (tests/CMakeLists.txt).
cmake --build build/tsan -j "$jobs" --target qm_threaded_tests
ctest --test-dir build/tsan -j "$jobs" -L threaded

step "Windows i686 build (Quillmark.exe, static, not run; zip and installer)"
cmake -S . -B build/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/win32 -j "$jobs"
for exe in Quillmark quillmark-capture quillmark-extcap; do
    check_imports i686-w64-mingw32-objdump build/win32/bin/$exe.exe
done
cmake --build build/win32 --target package >/dev/null
check_windows_packages build/win32 win32 '$PROGRAMFILES'

step "Windows x86_64 build, zip and installer, tests under wine64"
cmake -S . -B build/win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON \
    -DQM_HOST_DONGLE_SIM="$PWD/build/release/bin/qm-dongle-sim" >/dev/null
cmake --build build/win64 -j "$jobs"
for exe in Quillmark quillmark-capture quillmark-extcap; do
    check_imports x86_64-w64-mingw32-objdump build/win64/bin/$exe.exe
done
# The x64 packages: the build the tests run is the one to recommend.
cmake --build build/win64 --target package >/dev/null
check_windows_packages build/win64 win64 '$PROGRAMFILES64'
wine_up
# What the x64 zip holds runs: unpacked, its console programs answer.
python3 -m zipfile -e build/win64/Quillmark-*-win64.zip "$wine_dir/unzipped"
unzipped=$(ls -d "$wine_dir"/unzipped/Quillmark-*-win64)
"$WINE" "$unzipped/quillmark-capture.exe" --version </dev/null 2>&1 | tee "$wine_dir/version.txt"
grep -q "^quillmark-capture $(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/win64/CMakeCache.txt)" "$wine_dir/version.txt"
"$WINE" "$unzipped/quillmark-extcap.exe" --help </dev/null 2>&1 | grep -q -- '--install' \
    || { echo "quillmark-extcap.exe from the x64 zip did not answer --help"; exit 1; }
ctest --test-dir build/win64 -j "$jobs"

step_end
printf '\n=== times ===\n'
printf '%s\n' "${timings[@]}"
echo "total: ${SECONDS}s"
