#!/usr/bin/env bash
# Installs the build into a temporary root and runs the installed client from there; then
# builds the Debian package and checks its file list.
set -euo pipefail
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
cmake --install "$build" --prefix "$root/usr" >/dev/null
test "$("$root/usr/bin/orvix" --version)" = "orvix 1.0.0"
usage=$("$root/usr/bin/orvix-local" --help 2>&1)
grep -q -- '--in-memory' <<<"$usage"
grep -q "orvix 1.0.0" "$root/usr/share/man/man1/orvix.1"
test -s "$root/usr/share/man/man1/orvix-local.1"
grep -q "complete -F _orvix orvix" "$root/usr/share/bash-completion/completions/orvix"
grep -q "#compdef orvix" "$root/usr/share/zsh/vendor-completions/_orvix"
(cd "$build" && cpack -G DEB -B "$root/package" >/dev/null)
deb=$(ls "$root"/package/*.deb)
files=$(dpkg-deb -c "$deb" | awk '{print $6}')
for path in ./usr/bin/orvix ./usr/bin/orvix-local ./usr/share/man/man1/orvix.1 \
            ./usr/share/man/man1/orvix-local.1 ./usr/share/bash-completion/completions/orvix \
            ./usr/share/zsh/vendor-completions/_orvix; do
  grep -qx "$path" <<<"$files" || { echo "missing from the package: $path"; exit 1; }
done
echo "package ok: $(basename "$deb")"
