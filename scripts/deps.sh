#!/bin/sh
# Installs what Tessal needs on Debian 12 (run as root, or with sudo available).
#   scripts/deps.sh          build and run: compiler, CMake, Crypto++
#   scripts/deps.sh --test   also the test tools: GoogleTest, Google Benchmark,
#                            clang (fuzzers), clang-format, and the interop
#                            peers GStreamer, FFmpeg and tshark
set -eu

packages="g++ cmake ninja-build pkg-config libcrypto++-dev"
if [ "${1:-}" = "--test" ]; then
    packages="$packages googletest libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev clang-format-14"
    packages="$packages ffmpeg gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good"
    packages="$packages gstreamer1.0-plugins-bad gstreamer1.0-libav tshark"
fi

missing=""
for p in $packages; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
echo "Installing:$missing"
$SUDO apt-get update
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends $missing
