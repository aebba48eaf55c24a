"""Registers ``"tavlok/Tavlok-v0"`` with Gymnasium; ``import tavlok`` calls ``register()``, as
Gymnasium 1.x reads no plugin entry points (``gymnasium.make("tavlok:tavlok/Tavlok-v0")`` imports
the package first). Without Gymnasium installed nothing is registered.
"""

from __future__ import annotations

ENV_ID = "tavlok/Tavlok-v0"


def register() -> bool:
    """Register the single env (``tavlok.gym_env.TavlokGymEnv``) and the batched one
    (``tavlok.gym_vector.LearnerVectorEnv``) under ``ENV_ID``, once: a second call leaves the
    registry alone, so Gymnasium warns of no override. Whether Gymnasium is installed."""
    try:
        import gymnasium
    except ModuleNotFoundError as missing:
        if missing.name != "gymnasium":
            raise
        return False
    if ENV_ID not in gymnasium.registry:
        gymnasium.register(
            id=ENV_ID,
            entry_point="tavlok.gym_env:TavlokGymEnv",
            vector_entry_point="tavlok.gym_vector:LearnerVectorEnv",
        )
    return True
