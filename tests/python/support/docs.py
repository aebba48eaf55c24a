"""The Python examples of the documentation: every ```python block of README.md and docs/*.md,
with the line it starts on, so that a test can run each one on its own, as a reader who copies it
does, and a failure names it.

A block that needs a library only the integration environment has (PyTorch, Ray, sb3-contrib,
Tianshou, skrl) is marked by a line ``<!-- needs: NAME -->`` right above it, which the site does not
show; tests/integration runs those, the Python suite the others.
"""

import re
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parents[3]
# ```py too, so that no block escapes the tests by its spelling (```pyi shows a stub, not code).
_BLOCK = re.compile(r"^(?:<!-- needs: (\S+) -->\n)?```(?:python|py)\n(.*?)^```$", re.M | re.S)


@dataclass(frozen=True)
class Example:
    path: Path
    line: int  # the line of the block's first line of code
    needs: str | None
    code: str

    @property
    def name(self) -> str:
        return f"{self.path.relative_to(ROOT)}:{self.line}"

    def run(self) -> dict:
        """Runs the block in a namespace of its own, as a script, and returns the names it
        defines. A traceback points into the page, at the block's own lines."""
        namespace = {"__name__": "__main__"}
        exec(compile("\n" * (self.line - 1) + self.code, str(self.path), "exec"), namespace)
        return namespace


def examples() -> list[Example]:
    found = []
    for path in [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]:
        text = path.read_text()
        for match in _BLOCK.finditer(text):
            line = text.count("\n", 0, match.start(2)) + 1
            found.append(Example(path, line, match.group(1), match.group(2)))
    return found


def example(containing: str = "", needs: str | None = None) -> Example:
    """The one example that holds the text ``containing`` among those that need ``needs``."""
    found = [e for e in examples() if e.needs == needs and containing in e.code]
    assert len(found) == 1, f"{len(found)} examples hold {containing!r}"
    return found[0]
