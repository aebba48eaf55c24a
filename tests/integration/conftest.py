"""What the integration suites share: the documentation's examples for a library, run as written,
and PyTorch on one thread."""

import sys
from pathlib import Path

import pytest

# The examples are found as the Python suite finds them (tests/python/support/docs.py).
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))

from support.docs import example  # noqa: E402


@pytest.fixture
def docs_example():
    """Runs the one example marked ``<!-- needs: NAME -->`` and returns the names it defines."""
    return lambda needs: example(needs=needs).run()


@pytest.fixture
def one_torch_thread():
    # Reproducible sums, and no contention on a small shared machine.
    import torch

    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    yield
    torch.set_num_threads(threads)
