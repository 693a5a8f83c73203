#!/usr/bin/env bash
# Prints the path of a Python 3.12 interpreter: $PYTHON when given, else pyenv's newest 3.12, else
# python3.12 on PATH. Each candidate must really run and report 3.12 (a pyenv shim may not).
set -u

is_312() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' >/dev/null 2>&1; }

if [ -n "${PYTHON:-}" ]; then
    if is_312 "$PYTHON"; then echo "$PYTHON"; exit 0; fi
    echo "error: PYTHON=$PYTHON is not a working Python 3.12 interpreter" >&2
    exit 1
fi

candidates=()
root="${PYENV_ROOT:-$HOME/.pyenv}"
if command -v pyenv >/dev/null 2>&1; then
    root="$(pyenv root 2>/dev/null || echo "$root")"
fi
for dir in $(ls -d "$root"/versions/3.12* 2>/dev/null | sort -V -r); do
    candidates+=("$dir/bin/python3.12")
done
for name in python3.12 python3; do
    path="$(command -v "$name" 2>/dev/null)" && candidates+=("$path")
done

for candidate in "${candidates[@]}"; do
    if [ -x "$candidate" ] && is_312 "$candidate"; then echo "$candidate"; exit 0; fi
done
echo "error: no Python 3.12 interpreter found (looked in $root/versions and for python3.12 on PATH);" \
     "install one (for example 'pyenv install 3.12') or pass PYTHON=/path/to/python3.12" >&2
exit 1
