"""The Python examples of the README and the documentation run as a reader copies them, each on
its own, and the stub matches the module."""

import ast
import inspect
import re

import _tavlok
import pytest

from support.docs import ROOT, example, examples


@pytest.mark.parametrize("block", [e for e in examples() if not e.needs], ids=lambda e: e.name)
def test_example_runs_on_its_own(block):
    block.run()


def test_quick_start_plays_three_whole_games(capsys):
    quick_start = example("_tavlok.PyTavlok()")
    assert quick_start.path.name == "README.md"
    assert len(quick_start.code.strip().splitlines()) <= 15, "the quick start should stay short"
    quick_start.run()
    scores = re.findall(
        r"^(\d) \[(-?\d+), (-?\d+), (-?\d+), (-?\d+)\]$", capsys.readouterr().out, re.M
    )
    assert [s[0] for s in scores] == ["0", "1", "2"]
    assert all(-88 <= int(x) < 0 or int(x) in (15, 20) for s in scores for x in s[1:])


def test_readme_links_name_files_that_exist():
    # The site checks its own links; the README is read on the repository's page, outside it.
    links = re.findall(r"\]\(([^)#]+)(?:#[^)]*)?\)", (ROOT / "README.md").read_text())
    local = [link for link in links if "://" not in link]
    assert local
    assert [link for link in local if not (ROOT / link).is_file()] == []


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
