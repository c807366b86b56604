#!/usr/bin/env bash
# One entry point for a fresh Debian 12 machine:
#   scripts/dev.sh run    install what is missing, build, start Cantorel
#   scripts/dev.sh test   install what is missing, build, run every test
set -euo pipefail
cd "$(dirname "$0")/.."

RUN_PACKAGES=(build-essential cmake pkg-config libfltk1.3-dev fluid libsndfile1-dev libx11-dev libasound2-dev)
TEST_PACKAGES=(libxfixes-dev libgtest-dev xvfb xauth xdotool x11-utils iproute2 imagemagick fluidsynth
               timgm6mb-soundfont clang libclang-rt-14-dev desktop-file-utils appstream
               dpkg-dev man-db groff-base)

install_missing() {
    local missing=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
}

build() {  # build folder, target, cmake options...
    local dir=$1 target=$2
    shift 2
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)" --target "$target"
}

case "${1:-}" in
    run)
        install_missing "${RUN_PACKAGES[@]}"
        build build cantorel -DCANTOREL_TESTS=OFF -DCANTOREL_BENCH=OFF
        exec ./build/cantorel
        ;;
    test)
        install_missing "${RUN_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
        # One clang build with AddressSanitizer and UndefinedBehaviorSanitizer runs every test but the
        # package's, the real window included, and fuzzes the file path for 20 seconds.
        build build-sanitize sanitizer_checks -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
            -DCANTOREL_SANITIZE=ON -DCANTOREL_FUZZ=ON -DCANTOREL_TESTS=ON -DCANTOREL_BENCH=OFF
        ctest --test-dir build-sanitize --output-on-failure --no-tests=error -j 2 -LE package
        # The plain build checks what the sanitizers cannot: the package, the limits on address space,
        # and that the benchmarks still compile. The package then takes what is built, not everything.
        build build plain_checks -DCANTOREL_TESTS=ON -DCANTOREL_BENCH=ON -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON
        ctest --test-dir build --output-on-failure --no-tests=error -j 2 -L "package|address_space"
        ;;
    *)
        echo "usage: $0 run|test" >&2
        exit 2
        ;;
esac
