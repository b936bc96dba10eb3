#!/usr/bin/env bash
# Set-up, build and run for a Debian 12 machine (as root, or with sudo for apt-get).
#   tools/dev.sh demo     installs what is missing, builds and starts the window with a
#                         stand-in synthesizer in the same process (no hardware needed)
#   tools/dev.sh test     installs what is missing, builds and runs every test through CTest
#   tools/dev.sh run      installs what is missing, builds and starts the window, for a real
#                         synthesizer on a USB port
#   tools/dev.sh build    installs what is missing and builds
#   tools/dev.sh package  installs what is missing, builds the Debian package and checks it,
#                         installing and removing it on this machine (tools/package_check.sh)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VORTAN_BUILD_DIR:-$here/build}
fuzz_build=${VORTAN_FUZZ_BUILD_DIR:-$here/build-fuzz}
jobs=$(nproc)

packages=(
    build-essential cmake ninja-build pkg-config dpkg-dev
    qtbase5-dev qtbase5-dev-tools libqt5serialport5-dev
    protobuf-compiler libprotobuf-dev
    libbenchmark-dev
    clang libclang-rt-14-dev
    util-linux
    xvfb xdotool
    lintian desktop-file-utils appstream
)

install_missing() {
    local missing=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -q
    "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}

configure_main() {
    cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
}

build_main() {
    configure_main
    cmake --build "$build" -j "$jobs"
}

build_fuzz() {
    cmake -S "$here" -B "$fuzz_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_COMPILER=clang++ -DVORTAN_FUZZ=ON
    cmake --build "$fuzz_build" -j "$jobs"
}

case "${1:-}" in
demo)
    install_missing
    configure_main
    # Only the demo and what it needs, the generated firmware image among them.
    cmake --build "$build" -j "$jobs" --target vortan-demo
    exec "$build/bin/vortan-demo"
    ;;
run)
    install_missing
    build_main
    exec "$build/bin/vortan"
    ;;
build)
    install_missing
    build_main
    ;;
test)
    install_missing
    build_main
    status=0
    (cd "$build" && ctest --output-on-failure -j "$jobs" --timeout 600) || status=1
    build_fuzz
    (cd "$fuzz_build" && ctest --output-on-failure --timeout 600) || status=1
    exit $status
    ;;
package)
    install_missing
    exec "$here/tools/package_check.sh"
    ;;
*)
    echo "usage: $0 demo|test|run|build|package" >&2
    exit 2
    ;;
esac
