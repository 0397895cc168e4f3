#!/usr/bin/env bash
# Prepares a fresh machine: system packages, a virtual environment in .venv,
# and the halvorn package built and installed into it with its test extras.
set -euo pipefail
cd "$(dirname "$0")/.."

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

need_apt=()
command -v g++ >/dev/null || need_apt+=(g++)
command -v cmake >/dev/null || need_apt+=(cmake)
command -v ninja >/dev/null || need_apt+=(ninja-build)
[ -f /usr/include/openssl/evp.h ] || need_apt+=(libssl-dev)
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(googletest libgtest-dev)
if [ "${HALVORN_WITH_FUZZ:-0}" = 1 ]; then
  command -v clang++-19 >/dev/null || need_apt+=(clang-19 libclang-rt-19-dev)
fi
python3 -c 'import venv, ensurepip' 2>/dev/null || need_apt+=(python3-venv)
if [ ${#need_apt[@]} -gt 0 ]; then
  echo "setup: installing ${need_apt[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

[ -x .venv/bin/python ] || python3 -m venv .venv
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q ".[test]"
