#include "game/learner_batch.hpp"

#include <algorithm>
#include <optional>
#include <string>

#include "game/bots.hpp"

namespace game {

float reward_of(Reward reward, const std::array<std::int16_t, NUM_AGENTS>& scores,
                std::size_t seat) {
    return static_cast<float>(reward == Reward::Score ? scores[seat] : win_share(scores, seat));
}

LearnerBatch::LearnerBatch(std::size_t num_envs, std::size_t num_threads, MaskLayout layout,
                           std::uint64_t seed, const LearnerOptions& options, Autoreset autoreset)
    : EnvBatch(num_envs, num_threads, layout, autoreset, seed), envs_(num_envs), options_(options) {
    if (options.seat) check_index(*options.seat, NUM_AGENTS);
    for (const BotSpec& bot : options.opponents)
        if (bot.kind == BotKind::Caller) fatal("a learner batch met an opponent of the caller's");
    start_threads();
}

std::size_t LearnerBatch::bytes_per_env(MaskLayout layout) {
    return base_bytes_per_env(layout) + sizeof(Env);
}

void LearnerBatch::start(std::size_t env, std::mt19937_64& generator) {
    Env& e = envs_[env];
    e.state = State();
    e.legal = ACTION_SET().initial_mask;
    if (options_.seat) {
        e.learner = static_cast<std::uint8_t>(*options_.seat);
    } else {
        // Multiply-and-shift: the top two bits of a uniform number, a uniform seat.
        e.learner =
            e.next_learner
                ? *e.next_learner
                : static_cast<std::uint8_t>((static_cast<u128>(generator()) * NUM_AGENTS) >> 64);
        e.next_learner = static_cast<std::uint8_t>((e.learner + 1) % NUM_AGENTS);
    }
    // Every seat has a move in a new game, so the learner's first turn always comes.
    if (!play_on(e, std::nullopt, generator)) fatal("a new game ended before its learner moved");
}

bool LearnerBatch::play(std::size_t env, std::size_t action, std::mt19937_64& generator) {
    Env& e = envs_[env];
    // As Game keeps a seat's mask: a piece once placed has no placement again.
    const PieceType placed = ACTION_SET().shapes[action / CELLS_PER_ORIENTATION].piece;
    e.legal.clear_orientations(ACTION_SET().orientations_of(placed));
    return play_on(e, action, generator);
}

bool LearnerBatch::play_on(Env& e, std::optional<std::size_t> action,
                           std::mt19937_64& generator) const {
    State& state = e.state;
    const auto opponent_at = [&](std::size_t seat) -> const BotSpec& {
        return options_.opponents[(seat + NUM_AGENTS - e.learner) % NUM_AGENTS - 1];
    };
    // The legal placements of a random bot to move, worked out when its turn came (to find that
    // it can move) and picked from, so that they are worked out once; before its first piece,
    // those of the start corner.
    CountedAnchors bot_legal;
    bool first_piece = true;  // seat 0 of a new game
    // Whether a seat whose turn comes can move, as can_place answers it.
    const auto can_move = [&](std::size_t seat) {
        const TableView seen = state.seen_by(seat);
        first_piece = seen.observer().pieces_placed == 0;
        if (first_piece) return true;
        // The learner's mask is brought up to date as Game::refresh does it: the orientations of
        // the pieces in hand are all written, those of placed pieces were cleared as they were
        // placed.
        if (seat == e.learner) return write_legal_anchors(seen, e.legal);
        if (opponent_at(seat).kind != BotKind::Random) return can_place(seen);
        return write_legal_anchors(seen, bot_legal);
    };
    // The learner's move has been checked against its mask, and the bots pick from the legal
    // placements of the seat to move.
    if (action) state.apply_legal(*action, can_move);
    while (!state.is_terminal() && state.seat() != e.learner) {
        const BotSpec& bot = opponent_at(state.seat());
        if (bot.kind != BotKind::Random) {
            state.apply_legal(bot_action(bot, state, generator), can_move);
            continue;
        }
        const std::uint64_t key = generator();
        state.apply_legal(first_piece ? random_pick(ACTION_SET().initial_mask, key)
                                      : bot_legal.grid_at_fraction(key),
                          can_move);
    }
    return !state.is_terminal();
}

bool LearnerBatch::allows(std::size_t env, std::int64_t action) const {
    return action >= 0 && static_cast<std::uint64_t>(action) < NUM_GRID_INDICES &&
           envs_[env].legal.test_grid(static_cast<std::size_t>(action));
}

const ActionMask* LearnerBatch::legal(std::size_t env) const {
    const Env& e = envs_[env];
    return e.state.is_terminal() ? nullptr : &e.legal;
}

EnvView LearnerBatch::view(std::size_t env) const {
    const Env& e = envs_[env];
    return {e.state.seen_by(e.learner), legal(env), e.learner};
}

void LearnerBatch::write_result(std::size_t env, const BatchBuffers& out) const {
    const Env& e = envs_[env];
    const std::array<std::int16_t, NUM_AGENTS> scores = *e.state.scores();
    std::copy(scores.begin(), scores.end(), out.scores + env * NUM_AGENTS);
    out.placements[env] = static_cast<std::int16_t>(e.state.history().size());
    out.rewards[env] = reward_of(options_.reward, scores, e.learner);
}

}  // namespace game
