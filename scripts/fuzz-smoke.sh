#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each briefly over its
# seed corpus: a smoke check that the readers survive mutated files.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}

HALVORN_WITH_FUZZ=1 bash scripts/setup.sh
CXX=clang++-19 cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DHALVORN_BUILD_FUZZERS=ON -DHALVORN_BUILD_EXTENSION=OFF >/dev/null
targets=()
for source in fuzz/*_fuzzer.cpp; do targets+=("$(basename "$source" .cpp)"); done
cmake --build build/fuzz -j "$(nproc 2>/dev/null || echo 2)" --target "${targets[@]}"

for target in "${targets[@]}"; do
  fuzzer=build/fuzz/fuzz/$target
  name=${target%_fuzzer}
  work=build/fuzz/corpus-$name
  mkdir -p "$work"
  echo "fuzz: $name for ${seconds}s"
  "$fuzzer" -max_total_time="$seconds" -max_len=65536 -print_final_stats=1 \
    "$work" "fuzz/seeds/$name" 2>&1 | tail -n 12
done
