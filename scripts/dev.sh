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

build() {  # build folder, cmake options..., optionally --target NAME last
    local dir=$1 target=()
    shift
    if [ $# -ge 2 ] && [ "${*: -2:1}" = "--target" ]; then
        target=(--target "${*: -1}")
        set -- "${@:1:$#-2}"
    fi
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)" "${target[@]}"
}

case "${1:-}" in
    run)
        install_missing "${RUN_PACKAGES[@]}"
        build build -DCANTOREL_TESTS=OFF -DCANTOREL_BENCH=OFF
        exec ./build/cantorel
        ;;
    test)
        install_missing "${RUN_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
        build build -DCANTOREL_TESTS=ON -DCANTOREL_BENCH=ON
        ctest --test-dir build --output-on-failure --no-tests=error -j 2
        # Memory errors fail the run too: the unit tests again under the sanitizers.
        build build-asan -DCANTOREL_SANITIZE=ON -DCANTOREL_TESTS=ON -DCANTOREL_BENCH=OFF
        ctest --test-dir build-asan --output-on-failure --no-tests=error -j 2 -L unit
        # The real window too; its document outlives the window by design, so leaks are not counted there.
        ASAN_OPTIONS=detect_leaks=0 ctest --test-dir build-asan --output-on-failure --no-tests=error -j 2 -L gui
        # A short bounded fuzzing run over the saved corpus (clang's libFuzzer).
        build build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCANTOREL_FUZZ=ON \
            -DCANTOREL_BENCH=OFF --target fuzz_document
        ctest --test-dir build-fuzz --output-on-failure --no-tests=error -L fuzz
        ;;
    *)
        echo "usage: $0 run|test" >&2
        exit 2
        ;;
esac
