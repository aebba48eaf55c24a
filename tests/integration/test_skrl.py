"""skrl's PPO on the learner env as docs/libraries.md sets it up, with same-step autoreset: every
transition skrl stores must be a decision, its action legal under the mask stored beside it (with
next-step autoreset, the step after each game's end is stored with no legal move at all). Needs
skrl and PyTorch: ``make test-integration``."""

from skrl.utils.spaces.torch import unflatten_tensorized_space


def test_every_transition_skrl_stores_is_a_legal_decision(docs_example, one_torch_thread):
    example = docs_example("skrl")
    memory, env = example["agent"].memory, example["env"]
    observations = memory.get_tensor_by_name("observations").flatten(0, 1)
    actions = memory.get_tensor_by_name("actions").flatten(0, 1).long()
    masks = unflatten_tensorized_space(env.observation_space, observations)["action_mask"]
    assert len(actions) == memory.memory_size * env.num_envs
    assert bool((masks.gather(1, actions) == 1).all())
