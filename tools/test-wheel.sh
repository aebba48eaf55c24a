#!/usr/bin/env bash
# Installs a built wheel into a fresh virtual environment in which no C or C++ compiler can be
# found, as on a user's machine without build tools, and plays a game with it from outside the
# source tree (tests/wheel/play_installed.py), then once more through the installed command.
# numpy comes from the package index. Usage: tools/test-wheel.sh PYTHON WORKDIR WHEEL
set -euo pipefail

python=$1
work=$2
wheel=$(realpath "$3")
play=$(realpath "$(dirname "$0")/../tests/wheel/play_installed.py")

rm -rf "$work"
mkdir -p "$work"
work=$(realpath "$work")
"$python" -m venv "$work/venv"

# Only the environment's own bin/ is searched, and the build variables name a compiler that
# fails: an install that needed to compile anything fails here.
export PATH="$work/venv/bin" CC=/bin/false CXX=/bin/false
unset PYTHONPATH
for compiler in cc c++ gcc g++ clang clang++; do
    if command -v "$compiler" >/dev/null; then
        echo "test-wheel: $compiler is still on PATH" >&2
        exit 1
    fi
done

cd "$work"
python -m pip install --quiet --disable-pip-version-check "$wheel"
python "$play" 7
tavlok play --seed 1 >/dev/null
echo "test-wheel: the installed tavlok command played a game too"
