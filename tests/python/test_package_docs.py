"""The Python examples in the documentation run as written, and the stub matches the module."""

import ast
import inspect
import re
from pathlib import Path

import _tavlok

ROOT = Path(__file__).resolve().parents[2]


def python_blocks():
    """The ```python blocks of the README, in order."""
    source = ROOT / "README.md"
    blocks = re.findall(r"^```python\n(.*?)^```$", source.read_text(), re.M | re.S)
    assert blocks, "no ```python block in README.md"
    return source, blocks


def test_documented_examples_run_in_order(capsys):
    source, blocks = python_blocks()
    assert len(blocks[0].strip().splitlines()) <= 15, "the training loop should stay short"
    namespace = {}
    for block in blocks:
        exec(compile(block, str(source), "exec"), namespace)
    out = capsys.readouterr().out
    # The training loop printed three finished games' scores, one per seat.
    scores = re.findall(r"^(\d) \[(-?\d+), (-?\d+), (-?\d+), (-?\d+)\]$", out, re.M)
    assert [s[0] for s in scores] == ["0", "1", "2"]
    assert all(-88 <= int(x) < 0 or int(x) in (15, 20) for s in scores for x in s[1:])
    assert "PentominoF 2 5 7" in out


def stub_classes():
    tree = ast.parse((ROOT / "python" / "_tavlok.pyi").read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def test_stub_names_every_public_member_with_the_runtime_parameters():
    classes = stub_classes()
    assert sorted(classes) == sorted(_tavlok.__all__)
    for name, node in classes.items():
        runtime = getattr(_tavlok, name)
        public = {m for m in vars(runtime) if not m.startswith("_")}
        declared = {f.name for f in node.body if isinstance(f, ast.FunctionDef)}
        assert declared - {"__init__"} == public, name
        for function in node.body:
            if not isinstance(function, ast.FunctionDef) or function.name.startswith("_"):
                continue
            member = vars(runtime)[function.name]
            is_property = any(
                isinstance(d, ast.Name) and d.id == "property" for d in function.decorator_list
            )
            assert is_property == inspect.isdatadescriptor(member), f"{name}.{function.name}"
            if not is_property:
                expected = [a.arg for a in function.args.args]
                assert list(inspect.signature(member).parameters) == expected, function.name
