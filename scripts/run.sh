#!/usr/bin/env bash
# Installs what is missing, builds the client and starts the orvix shell.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh >&2
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target orvix >&2
exec ./build/orvix "$@"
