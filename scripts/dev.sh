#!/usr/bin/env bash
# Sets up a Debian machine for Tidewell, builds it, then starts the desktop program ("run") or
# runs every test ("test"), then the tests again in a sanitizer build. Installs only what is
# missing; a no-op when everything is present.
#   BUILD_DIR          build folder (default: build)
#   SANITIZE_BUILD_DIR sanitizer build folder (default: the build folder with "-sanitize")
#   CMAKE_EXTRA_ARGS   extra arguments for the CMake configure steps
set -euo pipefail

mode=${1:-}
case "$mode" in
    run|test) ;;
    *) echo "usage: $0 run|test" >&2; exit 2 ;;
esac

cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}

packages=(cmake ninja-build g++ qt6-base-dev qt6-svg-dev qt6-webengine-dev libgl-dev libgtest-dev libssl-dev libsqlite3-dev zlib1g-dev libbrotli-dev libnghttp2-dev pkg-config fonts-arkpandora xvfb openbox)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
        || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

# Configures and builds the folder $1 with the CMake arguments after it.
build() {
    local dir=$1
    shift
    # shellcheck disable=SC2086
    cmake -S . -B "$dir" -G Ninja "$@" ${CMAKE_EXTRA_ARGS:-}
    cmake --build "$dir" --parallel "$(nproc)"
}

run_tests() {
    ctest --test-dir "$1" --output-on-failure --parallel "$(nproc)" --timeout 300
}

build "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [ "$mode" = run ]; then
    exec "$build_dir/src/app/tidewell"
fi
run_tests "$build_dir"

# The same tests again under the address and undefined-behaviour sanitizers.
sanitize_dir=${SANITIZE_BUILD_DIR:-$build_dir-sanitize}
build "$sanitize_dir" -DCMAKE_BUILD_TYPE=Debug -DTIDEWELL_SANITIZE=ON
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 run_tests "$sanitize_dir"
