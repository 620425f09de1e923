#!/usr/bin/env bash
# Configures and builds Brevora into build/: the given targets (for example "brevora"), or
# everything, tests included, when none is given.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build build -j "$(nproc)" "${targets[@]}"
