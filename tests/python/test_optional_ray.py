"""The Ray extra stays optional: the package never imports Ray unless tavlok.ray is asked for."""

import subprocess
import sys


def run(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)


def test_importing_tavlok_does_not_import_ray():
    # Everything a training loop imports, Ray installed or not.
    checked = run(
        "import sys, tavlok, tavlok.arena, tavlok.vector, tavlok.gym_vector, tavlok.bots,"
        " tavlok.rollout;"
        "assert 'ray' not in sys.modules, 'ray was imported'"
    )
    assert checked.returncode == 0, checked.stderr


def test_tavlok_ray_without_ray_says_how_to_install_it():
    blocked = run("import sys; sys.modules['ray'] = None; import tavlok.ray")
    assert blocked.returncode != 0
    assert "ModuleNotFoundError: tavlok.ray needs Ray: pip install 'tavlok[ray]'" in blocked.stderr
