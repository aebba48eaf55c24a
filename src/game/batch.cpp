#include "game/batch.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "game/arena.hpp"
#include "game/random.hpp"

namespace game {

float reward_of(Reward reward, const std::array<std::int16_t, NUM_AGENTS>& scores,
                std::size_t seat) {
    return static_cast<float>(reward == Reward::Score ? scores[seat] : win_share(scores, seat));
}

namespace {

// The seats the caller plays: its own and those of the opponents that are the caller's.
std::size_t callers_of(const Seating& seating) {
    // Not std::ranges::count_if, which libc++ 14 lacks.
    const auto callers =
        std::count_if(seating.opponents.begin(), seating.opponents.end(),
                      [](const BotSpec& bot) { return bot.kind == BotKind::Caller; });
    return 1 + static_cast<std::size_t>(callers);
}

// The keys below which each bot of a pool is drawn: its share of 2^64, added up.
std::vector<std::uint64_t> shares_of(const std::vector<WeightedBot>& pool) {
    double total = 0;
    for (const WeightedBot& entry : pool) {
        if (!(entry.weight > 0 && std::isfinite(entry.weight)))
            fatal("a pool's weights must be finite and above 0");
        if (entry.bot.kind == BotKind::Caller) fatal("a pool of opponents holds the caller");
        total += entry.weight;
    }
    std::vector<std::uint64_t> below(pool.size(), UINT64_MAX);
    double sum = 0;
    for (std::size_t i = 0; i + 1 < pool.size(); ++i) {
        sum += pool[i].weight;
        const double fraction = sum / total;
        below[i] = fraction >= 1 ? UINT64_MAX
                                 : static_cast<std::uint64_t>(std::ldexp(fraction, 64));
    }
    return below;
}

// Zeroes what the call ended for env i.
void clear_result(std::size_t env, const FieldArrays& out) {
    *out.row<Field::Terminated>(env) = 0;
    std::fill_n(out.row<Field::Scores>(env), NUM_AGENTS, std::int16_t{0});
    *out.row<Field::Placements>(env) = 0;
    *out.row<Field::Rewards>(env) = 0;
}

}  // namespace

template <class Change>
void Batch::update(const FieldArrays& out, const std::uint8_t* only, Change&& change) {
    pool_.run(size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            clear_result(i, out);
            if (only == nullptr || only[i] != 0) change(i);
            show(i, out);
        }
    });
    if (listed() != nullptr)
        lists_.pack(pool_, out.get<Field::LegalOffsets>(), out.get<Field::LegalIndices>());
}

Batch::Batch(std::size_t num_envs, std::size_t num_threads, ViewLayout layout, std::uint64_t seed,
             const Seating& seating, Autoreset autoreset)
    : envs_(num_envs),
      generators_(num_envs),
      masks_(num_envs * callers_of(seating)),
      callers_(callers_of(seating)),
      seating_(seating),
      pool_below_(shares_of(seating.pool)),
      layout_(layout),
      autoreset_(autoreset),
      lists_(layout.mask == MaskLayout::Indices ? num_envs : 0),
      // After every allocation above, so that a batch too large for memory is refused as such,
      // not as threads that could not start.
      pool_(std::clamp<std::size_t>(num_threads, 1, std::max<std::size_t>(num_envs, 1))),
      stop_([this] { return pool_.stopping(); }) {
    // Self-play: no seat to draw.
    if (callers_ == NUM_AGENTS) seating_.seat = seating_.seat.value_or(0);
    if (seating_.seat) check_index(*seating_.seat, NUM_AGENTS);
    check_index(layout_.candidates, MAX_CANDIDATES + 1);
    check_index(seating_.opening, MAX_OPENING + 1);
    if (layout_.mask == MaskLayout::Candidates && layout_.candidates == 0)
        fatal("the candidates layout shows no candidates");
    std::size_t slot = 0;
    for (std::size_t k = 0; k < NUM_AGENTS; ++k) {
        const bool callers = k == 0 || (seating_.pool.empty() &&
                                        seating_.opponents[k - 1].kind == BotKind::Caller);
        mask_slot_[k] = callers ? static_cast<std::int8_t>(slot++) : -1;
    }
    for (std::size_t i = 0; i < num_envs; ++i) generators_[i] = seeded_generator(seed, i);
}

std::size_t Batch::bytes_per_env(ViewLayout layout, const Seating& seating) {
    const std::size_t lists =
        layout.mask == MaskLayout::Indices
            ? MAX_LEGAL_PLACEMENTS * sizeof(std::uint16_t) + sizeof(std::int32_t)
            : 0;
    return sizeof(Env) + sizeof(std::mt19937_64) + callers_of(seating) * sizeof(ActionMask) + lists;
}

std::size_t Batch::mask_index(std::size_t env, std::size_t seat) const {
    const std::int8_t slot = mask_slot_[(seat + NUM_AGENTS - envs_[env].anchor) % NUM_AGENTS];
    if (slot < 0)
        fatal("seat " + std::to_string(seat) + " of env " + std::to_string(env) +
              " is a bot's, which keeps no mask");
    return env * callers_ + static_cast<std::size_t>(slot);
}

const BotSpec& Batch::draw_opponent(std::size_t env, std::size_t k) {
    if (seating_.pool.empty()) return seating_.opponents[k - 1];
    // A pool of one draws nothing, as fixed opponents do.
    const std::uint64_t key = seating_.pool.size() > 1 ? generators_[env]() : 0;
    std::size_t i = 0;
    while (i + 1 < pool_below_.size() && key >= pool_below_[i]) ++i;
    return seating_.pool[i].bot;
}

void Batch::start(std::size_t env) {
    Env& e = envs_[env];
    if (seating_.seat) {
        e.anchor = static_cast<std::uint8_t>(*seating_.seat);
    } else {
        e.anchor = e.next_anchor ? *e.next_anchor
                                 : static_cast<std::uint8_t>(
                                       rank_at_fraction(generators_[env](), NUM_AGENTS));
        e.next_anchor = static_cast<std::uint8_t>((e.anchor + 1) % NUM_AGENTS);
    }
    e.players[e.anchor] = BotSpec{BotKind::Caller};
    for (std::size_t k = 1; k < NUM_AGENTS; ++k)
        e.players[(e.anchor + k) % NUM_AGENTS] = draw_opponent(env, k);
    const auto masks = masks_.begin() + static_cast<std::ptrdiff_t>(env * callers_);
    for (;;) {
        if (seating_.opening == 0) {
            e.state = State();
            std::fill_n(masks, callers_, ACTION_SET().initial_mask);
            // Every seat has a move in a new game, so the caller's first turn always comes.
            if (!play(env, std::nullopt)) fatal("a new game ended before the caller's first move");
            return;
        }
        e.state = random_opening(seating_.opening, generators_[env]);
        for (std::size_t seat = 0; seat < NUM_AGENTS; ++seat)
            if (e.players[seat].kind == BotKind::Caller) mask(env, seat) = e.state.legal_mask(seat);
        if (play(env, std::nullopt)) return;
    }
}

void Batch::set_opponents(const std::array<BotSpec, NUM_AGENTS - 1>& opponents,
                          std::vector<WeightedBot> pool) {
    for (std::size_t k = 1; k < NUM_AGENTS; ++k) {
        const bool caller = pool.empty() && opponents[k - 1].kind == BotKind::Caller;
        if (caller != (mask_slot_[k] >= 0))
            fatal("new opponents must leave the caller the same seats");
    }
    pool_below_ = shares_of(pool);
    seating_.opponents = opponents;
    seating_.pool = std::move(pool);
}

bool Batch::play(std::size_t env, std::optional<std::size_t> action) {
    Env& e = envs_[env];
    // A piece once placed has no placement again, whatever the board: the one change a seat's
    // mask needs besides the pieces in hand, which are written whenever its turn comes.
    if (action) {
        const PieceType placed = ACTION_SET().shapes[*action / CELLS_PER_ORIENTATION].piece;
        mask(env, e.seat).clear_orientations(ACTION_SET().orientations_of(placed));
    }
    const bool goes_on =
        play_bots(e.state, action, e.players, generators_[env], stop_,
                  [&](std::size_t seat, const TableView& seen) {
                      return write_legal_anchors(seen, mask(env, seat));
                  });
    if (goes_on) e.seat = static_cast<std::uint8_t>(e.state.seat());
    return goes_on;
}

View Batch::view(std::size_t env) const {
    const Env& e = envs_[env];
    return {e.state.seen_by(e.seat), e.seat, over(env) ? nullptr : &mask(env, e.seat)};
}

void Batch::show(std::size_t env, const FieldArrays& out) {
    envs_[env].num_candidates = 0;
    if (layout_.candidates > 0 && !over(env)) return show_candidates(env, out);
    write_view(view(env), out, env, listed());
}

void Batch::show_candidates(std::size_t env, const FieldArrays& out) {
    View shown = view(env);
    NetInputs inputs;  // on the stack: no allocation
    Env& e = envs_[env];
    net_inputs(e.state, inputs);
    shown.candidates = &inputs;
    e.num_candidates = static_cast<std::uint8_t>(std::min(inputs.size(), layout_.candidates));
    for (std::size_t i = 0; i < e.num_candidates; ++i)
        e.candidates[i] = static_cast<std::uint16_t>(inputs.grid_index(i));
    write_view(shown, out, env, listed());
}

void Batch::reset(const FieldArrays& out, std::span<const std::optional<std::uint64_t>> seeds,
                  const std::uint8_t* only) {
    if (out.candidates != layout_.candidates) fatal("the arrays are laid out for other candidates");
    if (!seeds.empty() && seeds.size() != size())
        fatal("batch of " + std::to_string(size()) + " envs given " + std::to_string(seeds.size()) +
              " seeds");
    update(out, only, [&](std::size_t i) {
        if (!seeds.empty() && seeds[i]) {
            generators_[i] = seeded_generator(*seeds[i], i);
            // Whatever was drawn from the old generator is forgotten.
            envs_[i].next_anchor.reset();
        }
        start(i);
    });
}

std::optional<Refusal> Batch::check(std::span<const std::int64_t> actions) const {
    if (actions.size() != size())
        fatal("batch of " + std::to_string(size()) + " envs given " +
              std::to_string(actions.size()) + " actions");
    for (std::size_t i = 0; i < actions.size(); ++i) {
        // A game that is over plays no action: the step restarts it, unless restarting is the
        // caller's job.
        const bool game_over = over(i);
        const std::int64_t action = actions[i];
        const bool allowed =
            game_over ? autoreset_ != Autoreset::Disabled
            : layout_.mask == MaskLayout::Candidates
                ? action >= 0 && action < envs_[i].num_candidates
                : action >= 0 && action < std::int64_t{NUM_GRID_INDICES} &&
                      mask(i, seat(i)).test_grid(static_cast<std::size_t>(action));
        if (!allowed) return Refusal{i, seat(i), action, {}, game_over};
    }
    return std::nullopt;
}

BatchStep Batch::step(std::span<const std::int64_t> actions, const FieldArrays& out) {
    if (out.candidates != layout_.candidates) fatal("the arrays are laid out for other candidates");
    BatchStep result;
    result.refused = check(actions);
    if (result.refused) return result;
    update(out, nullptr, [&](std::size_t i) {
        const auto action = static_cast<std::size_t>(actions[i]);
        if (over(i)) {
            start(i);
        } else if (!play(i, layout_.mask == MaskLayout::Candidates ? envs_[i].candidates[action]
                                                                  : action)) {
            *out.row<Field::Terminated>(i) = 1;
            write_result(i, out);
            if (autoreset_ == Autoreset::SameStep) {
                write_view(view(i), out.kept_at_end(), i);
                start(i);
            }
        }
    });
    const std::uint8_t* terminated = out.get<Field::Terminated>();
    result.finished =
        static_cast<std::size_t>(std::count(terminated, terminated + size(), std::uint8_t{1}));
    return result;
}

void Batch::write_result(std::size_t env, const FieldArrays& out) const {
    const Env& e = envs_[env];
    const std::array<std::int16_t, NUM_AGENTS> scores = *e.state.scores();
    std::copy(scores.begin(), scores.end(), out.row<Field::Scores>(env));
    *out.row<Field::Placements>(env) = static_cast<std::int16_t>(e.state.history().size());
    *out.row<Field::Rewards>(env) = reward_of(seating_.reward, scores, e.seat);
}

}  // namespace game
