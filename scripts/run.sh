#!/usr/bin/env bash
# Installs what is missing, builds, starts Orvix Local in the background (data kept under
# ~/.local/share/orvix-local), opens the orvix shell logged in to it, and stops the service when
# the shell exits. Arguments are passed to orvix (one statement, one-shot).
#   scripts/run.sh [--port N] [ORVIX ARGUMENTS...]
# Without --port, Orvix Local listens on the build's port (8787) or, when that one is taken, on
# a free port, which is said.
set -euo pipefail
cd "$(dirname "$0")/.."

port=""
if [ "${1:-}" = "--port" ]; then
  port=${2:?"--port needs a port number"}
  shift 2
fi

bash scripts/install-deps.sh >&2
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target orvix orvix-local >&2

key=${ORVIX_API_KEY:-orvix-local-key}
data=${ORVIX_LOCAL_DATA:-$HOME/.local/share/orvix-local}
taken() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
if [ -z "$port" ]; then
  port=$(sed -n 's/^ORVIX_API_URL:STRING=.*:\([0-9]*\)\/.*/\1/p' build/CMakeCache.txt)
  port=${port:-8787}
  if taken "$port"; then
    built=$port
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    echo "Port $built is taken; Orvix Local listens on port $port" >&2
  fi
fi
# The data and the log are the user's alone; the key goes by the environment, not the command
# line, so that other users cannot read it in the process list.
(umask 077 && mkdir -p "$data")
chmod 700 "$data"
(umask 077 && ORVIX_LOCAL_API_KEYS=$key exec ./build/orvix-local --port "$port" \
  --data-dir "$data" 2>>"$data/orvix-local.log") &
service=$!
trap 'kill $service 2>/dev/null; wait $service 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  if ! kill -0 $service 2>/dev/null; then
    echo "orvix-local did not start; see $data/orvix-local.log" >&2
    exit 1
  fi
  if taken "$port"; then break; fi
  sleep 0.1
done
ORVIX_API_KEY=$key ./build/orvix --api-url "http://127.0.0.1:$port/api" \
  --account-url "http://127.0.0.1:$port" "$@"
