"""examples/train.py --ray: a tiny run on a local cluster. Needs PyTorch and Ray: run with
``make test-integration``."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("ray")
pytest.importorskip("torch")

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def train(argv):
    """examples/train.py run as a user runs it, with this interpreter and path."""
    return subprocess.run(
        [sys.executable, str(EXAMPLES / "train.py"), *argv],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
        timeout=600,
    )


def test_a_tiny_ray_run_trains_and_reports(tmp_path):
    out = tmp_path / "run"
    argv = [
        "--env-steps", "512", "--num-envs", "16", "--rollout-steps", "16", "--threads", "1",
        "--eval-games", "4", "--eval-interval", "512", "--final-eval-games", "8",
        "--channels", "4", "--blocks", "1", "--minibatch", "128", "--seed", "2",
        "--out", str(out), "--no-progress", "--ray", "--ray-workers", "2",
    ]  # fmt: skip
    run = train(argv)
    assert run.returncode == 0, run.stderr
    summary = json.loads((out / "summary.json").read_text())
    assert summary["env_steps"] == 512
    assert summary["command"].endswith("--ray --ray-workers 2")
    assert {"random", "greedy"} <= set(summary["final"])
    assert (out / "policy.pt").exists()

    odd = train([*argv[:-1], "3"])
    assert odd.returncode != 0 and "multiple of --ray-workers" in odd.stderr
