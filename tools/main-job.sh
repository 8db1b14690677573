#!/usr/bin/env bash
# Installs what the build needs, builds, and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
if command -v apt-get >/dev/null && [ "$(id -u)" = 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq cmake ninja-build g++ clang libgtest-dev libgmock-dev \
    libbenchmark-dev libpng-dev binutils >/dev/null
fi
cmake -G Ninja -S . -B build >/dev/null
cmake --build build
# The main job: the sample label, through the whole driver, to the built-in
# virtual printer; what it printed is in label-preview.png.
build/tools/kestprint tools/samples/label.png --capture label.prn --preview label-preview.png
echo "printed tools/samples/label.png: label.prn (the bytes the printer received), label-preview.png (what it printed)"
