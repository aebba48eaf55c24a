"""The documentation's examples that need a library of this environment (PyTorch, Ray,
sb3-contrib, Tianshou, skrl) run as a reader copies them, each on its own."""

import sys

import pytest
from support.docs import examples


@pytest.mark.parametrize("block", [e for e in examples() if e.needs], ids=lambda e: e.name)
def test_example_runs_on_its_own(block, one_torch_thread):
    try:
        block.run()
    finally:
        ray = sys.modules.get("ray")
        if ray is not None and ray.is_initialized():  # the next example or suite starts its own
            ray.shutdown()
