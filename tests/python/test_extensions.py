"""The built extensions as files: what they export, and the type stub that describes tavlok._core."""

import difflib
import subprocess
import sys
from pathlib import Path

import pytest

import _tavlok
import tavlok._core

ROOT = Path(__file__).resolve().parents[2]


@pytest.mark.parametrize("module", [_tavlok, tavlok._core], ids=lambda m: m.__name__)
def test_each_extension_exports_only_its_init_function(module):
    # Anything else exported (a template instantiation, a GNU unique static of the C++ library)
    # can bind to another extension's copy of the same symbol when both are loaded.
    listed = subprocess.run(
        ["nm", "-D", "--defined-only", module.__file__], capture_output=True, text=True, check=True
    ).stdout
    symbols = [line.split()[-1] for line in listed.splitlines() if line.strip()]
    assert symbols == [f"PyInit_{module.__name__.rpartition('.')[2]}"]


def test_checked_in_stub_is_what_stubgen_writes_for_the_built_module(tmp_path):
    generated = tmp_path / "_core.pyi"
    subprocess.run(
        [
            sys.executable, "-m", "nanobind.stubgen", "-q", "-m", "tavlok._core",
            "-p", str(ROOT / "src" / "core" / "stub_patterns.txt"), "-o", str(generated),
        ],
        check=True,
    )
    checked_in = ROOT / "python" / "tavlok" / "_core.pyi"
    expected, found = checked_in.read_text(), generated.read_text()
    difference = "".join(
        difflib.unified_diff(
            expected.splitlines(True), found.splitlines(True), str(checked_in), "stubgen"
        )
    )
    assert not difference, f"the stub is out of date; `make stub` refreshes it:\n{difference}"
