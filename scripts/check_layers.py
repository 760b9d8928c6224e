#!/usr/bin/env python3
"""Fails when a file includes a header of a layer above its own.

    scripts/check_layers.py

The client's layers, each including only those below it: client/ at the bottom, then
language/, then commands/ and upload/ (never each other), then shell/. server/ (Orvix Local)
stands apart and includes only itself. Tests and benchmarks may include anything.
"""
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

ALLOWED = {
    "client": {"client"},
    "language": {"client", "language"},
    "commands": {"client", "language", "commands"},
    "upload": {"client", "language", "upload"},
    "shell": {"client", "language", "commands", "upload", "shell"},
    "server": {"server"},
}
# Headers the build generates for the grammar and the scanner belong to language/.
GENERATED = {"parser.tab.h": "language", "lexer.yy.h": "language"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def layer_of(header):
    if header in GENERATED:
        return GENERATED[header]
    return header.split("/", 1)[0] if "/" in header else None


def main():
    wrong = []
    for layer, allowed in ALLOWED.items():
        for path in sorted((ROOT / layer).iterdir()):
            if path.suffix not in {".h", ".cpp", ".l", ".y"}:
                continue
            for header in INCLUDE.findall(path.read_text(encoding="utf-8")):
                above = layer_of(header)
                if above is not None and above not in allowed:
                    wrong.append(f"{path.relative_to(ROOT)} includes {header} ({above}/ is not "
                                 f"below {layer}/)")
    for line in wrong:
        print(line)
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
