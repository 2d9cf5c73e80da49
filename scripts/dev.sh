#!/usr/bin/env bash
# Sets up a Debian machine for Tidewell, builds it, then starts the desktop program ("run") or
# runs every test ("test"). Installs only what is missing; a no-op when everything is present.
#   BUILD_DIR        build folder (default: build)
#   CMAKE_EXTRA_ARGS extra arguments for the CMake configure step
set -euo pipefail

mode=${1:-}
case "$mode" in
    run|test) ;;
    *) echo "usage: $0 run|test" >&2; exit 2 ;;
esac

cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}

packages=(cmake ninja-build g++ qt6-base-dev qt6-svg-dev libgl-dev libgtest-dev libssl-dev fonts-arkpandora xvfb openbox)
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

# shellcheck disable=SC2086
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo ${CMAKE_EXTRA_ARGS:-}
cmake --build "$build_dir" --parallel "$(nproc)"

if [ "$mode" = run ]; then
    exec "$build_dir/src/app/tidewell"
fi
ctest --test-dir "$build_dir" --output-on-failure --parallel "$(nproc)" --timeout 300
