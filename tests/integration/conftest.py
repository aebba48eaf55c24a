"""What the integration suites share: the README's examples for a library, run as written, and
PyTorch on one thread."""

import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"


@pytest.fixture
def readme_example():
    """Runs the README's one ```python <tag> block and returns the names it defines."""

    def run(tag):
        blocks = re.findall(rf"^```python {tag}\n(.*?)^```$", README.read_text(), re.M | re.S)
        assert len(blocks) == 1
        namespace = {}
        exec(compile(blocks[0], str(README), "exec"), namespace)
        return namespace

    return run


@pytest.fixture
def one_torch_thread():
    # Reproducible sums, and no contention on a small shared machine.
    import torch

    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    yield
    torch.set_num_threads(threads)
