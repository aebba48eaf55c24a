#!/usr/bin/env bash
# Prints the path of a CPython 3.12 or later, looked for in this order: $PYTHON, python3.13,
# python3.12, python3 on PATH, then the interpreters under $(pyenv root)/versions/ (3.12 first,
# the version the test suite is pinned to). A candidate counts only if it actually runs: pyenv
# shims exist for versions that are not selected and fail when called.
set -u

usable() {
    "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' >/dev/null 2>&1
}

resolve() {
    "$1" -c 'import sys; print(sys.executable)' 2>/dev/null
}

if [ -n "${PYTHON:-}" ]; then
    if usable "$PYTHON"; then resolve "$PYTHON"; exit 0; fi
    echo "find-python: \$PYTHON=$PYTHON is not a working CPython 3.12 or later" >&2
    exit 1
fi

for name in python3.13 python3.12 python3; do
    if command -v "$name" >/dev/null 2>&1 && usable "$name"; then resolve "$name"; exit 0; fi
done

if command -v pyenv >/dev/null 2>&1; then
    root=$(pyenv root)
    for dir in $(ls -d "$root"/versions/3.12* "$root"/versions/3.1[3-9]* 2>/dev/null); do
        for exe in "$dir"/bin/python3.1[2-9] "$dir"/bin/python3; do
            if [ -x "$exe" ] && usable "$exe"; then resolve "$exe"; exit 0; fi
        done
    done
fi

echo "find-python: no CPython 3.12 or later found; set PYTHON=/path/to/python3.12" >&2
exit 1
