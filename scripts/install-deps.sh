#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when some are missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  flex bison
  libcurl4-openssl-dev libssl-dev zlib1g-dev libedit-dev
  nlohmann-json3-dev libcpp-httplib-dev libsimdjson-dev
  libgtest-dev libgmock-dev
  libsqlite3-dev libhnswlib-dev libisal-dev libinih-dev
  python3 pigz jq openssl
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}" >&2
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
