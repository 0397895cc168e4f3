#!/usr/bin/env bash
# Sets up a fresh machine and runs every test: the native GoogleTest suites
# through CTest, then pytest against the installed package.  Any failure
# fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DHALVORN_BUILD_TESTS=ON -DHALVORN_BUILD_EXTENSION=OFF >/dev/null
cmake --build build/native -j "$jobs"
ctest --test-dir build/native --output-on-failure -j "$jobs"

.venv/bin/python -m pytest -q tests/python
