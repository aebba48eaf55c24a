// A batch of games in which the caller plays one seat, the learner, and the engine's bots play
// the other three: after the learner's move the opponents move inside the engine, on the batch's
// threads, until the learner is to move again or the game is over. Each env waits at a decision
// of its learner, so one step is one move of every learner.
//
// The games are game::State values, which pass the seats that cannot move as they go; a game is
// exactly the one that State::apply plays from the learner's moves and the bots' (the tests
// replay them).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "game/arena.hpp"
#include "game/batch.hpp"
#include "game/state.hpp"

namespace game {

// What the learner is paid when its game ends (and 0 on every other step).
enum class Reward : std::uint8_t {
    Score,  // its final score
    Win,    // 1 shared equally by the seats with the best score, 0 to the others
};

// The reward of `seat` in a game that ended with `scores`.
float reward_of(Reward reward, const std::array<std::int16_t, NUM_AGENTS>& scores,
                std::size_t seat);

struct LearnerOptions {
    // opponents[k - 1], one of the engine's bots as the arena names them (bot_named), plays the
    // seat that moves k turns after the learner. A search draws its seed from the env's
    // generator at every move, as in the arena.
    std::array<BotSpec, NUM_AGENTS - 1> opponents{};
    // The learner's seat in every game; without one, the seat rotates, one seat on per game, from
    // a seat drawn uniformly from the env's generator for its first game after (re)seeding.
    std::optional<std::size_t> seat;
    Reward reward = Reward::Score;
};

class LearnerBatch final : public EnvBatch {
public:
    // As Batch; a seat of 4 or more, or an opponent that is the caller's, stops fatally.
    LearnerBatch(std::size_t num_envs, std::size_t num_threads, MaskLayout layout,
                 std::uint64_t seed, const LearnerOptions& options,
                 Autoreset autoreset = Autoreset::NextStep);

    // The memory a game of the batch takes in `layout`, besides the buffers its caller owns.
    static std::size_t bytes_per_env(MaskLayout layout);

    const LearnerOptions& options() const { return options_; }
    // Env i's game and its learner's seat.
    const State& state(std::size_t env) const { return envs_[env].state; }
    std::size_t learner(std::size_t env) const { return envs_[env].learner; }
    EnvView view(std::size_t env) const override;

private:
    struct Env {
        State state;
        // The learner's legal placements while it is to move.
        ActionMask legal;
        std::uint8_t learner = 0;
        // The learner's seat in the env's next game, once drawn.
        std::optional<std::uint8_t> next_learner;
    };

    void start(std::size_t env, std::mt19937_64& generator) override;
    void reseeded(std::size_t env) override { envs_[env].next_learner.reset(); }
    bool play(std::size_t env, std::size_t action, std::mt19937_64& generator) override;
    bool allows(std::size_t env, std::int64_t action) const override;
    const ActionMask* legal(std::size_t env) const override;
    void write_result(std::size_t env, const BatchBuffers& out) const override;

    // Plays the learner's action, if any, and the bots' moves until the learner is to move or
    // the game is over, keeping the learner's legal placements up to date. Returns whether the
    // game goes on.
    bool play_on(Env& env, std::optional<std::size_t> action, std::mt19937_64& generator) const;

    SizedByCaller<Env> envs_;
    LearnerOptions options_;
};

}  // namespace game
