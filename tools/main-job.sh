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
for dpi in 300 203; do
  lib=build/libkestarm-$dpi.so
  echo "$lib: $(strings "$lib" | grep 'KESTARM driver library')"
  nm -D --defined-only "$lib" | awk '{print "  export " $3}'
done
