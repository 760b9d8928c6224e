#!/usr/bin/env bash
# Builds a Debian package of orvix and orvix-local (with their man pages) into build-package/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh >&2
cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DORVIX_BUILD_TESTS=OFF >/dev/null
cmake --build build-package -j "$(nproc)" --target orvix orvix-local
(cd build-package && cpack -G DEB)
ls build-package/*.deb
