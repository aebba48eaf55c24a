// The batch with the engine's bots at the seats the caller does not play: every game is the one
// that State plays from the learner's moves and the bots', whatever the threads.
#include "game/batch.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <vector>

#include "game/bot_names.hpp"
#include "support/drivers.hpp"
#include "support/naive_model.hpp"

namespace game {
namespace {

using namespace support;

const BotSpec RANDOM{BotKind::Random};
const BotSpec GREEDY{BotKind::Greedy};

// The reward by the rules of the options, worked out here from the scores.
float expected_reward(Reward reward, const std::array<std::int16_t, NUM_AGENTS>& scores,
                      std::size_t seat) {
    if (reward == Reward::Score) return scores[seat];
    int best = -1000, sharing = 0;
    for (const std::int16_t s : scores) best = std::max<int>(best, s);
    for (const std::int16_t s : scores) sharing += s == best;
    return scores[seat] == best ? 1.0f / static_cast<float>(sharing) : 0.0f;
}

// Which kinds each seat still holds, by the naive model's catalogue.
using Held = std::array<std::array<std::uint8_t, 21>, NUM_AGENTS>;

Held all_held() {
    Held held;
    for (auto& row : held) row.fill(1);
    return held;
}

// The hands seat `viewer` sees: its own row first, then the seats after it.
std::vector<std::uint8_t> hands_seen(const Held& held, std::size_t viewer) {
    std::vector<std::uint8_t> hands;
    for (std::size_t k = 0; k < NUM_AGENTS; ++k)
        hands.insert(hands.end(), held[(viewer + k) % NUM_AGENTS].begin(),
                     held[(viewer + k) % NUM_AGENTS].end());
    return hands;
}

std::vector<std::uint8_t> planes_of(const State& state, std::size_t viewer) {
    std::vector<std::uint8_t> planes(PLANE_BYTES);
    state.seen_by(viewer).write_planes(planes.data());
    return planes;
}

// One env played through State from the learner's moves, the bots moving in between and drawing
// from a copy of the env's generator.
struct Reference {
    Seating options;
    Autoreset autoreset;
    std::mt19937_64 generator;
    State state;
    Held held = all_held();
    std::size_t learner = 0;
    std::optional<std::size_t> last;  // the learner of the game before
    bool over = false;
    std::optional<std::array<std::int16_t, NUM_AGENTS>> scores;  // of a game the step ended
    std::size_t placements = 0;
    std::optional<State> final_state;  // SameStep: the game that ended
    Held final_held;
    std::size_t final_learner = 0;

    Reference(const Seating& o, Autoreset mode, const std::mt19937_64& g)
        : options(o), autoreset(mode), generator(g) {
        start();
    }

    void start() {
        state = State();
        held = all_held();
        over = false;
        // Rotating from the top two bits of one draw, when the seat is not fixed.
        learner = options.seat ? *options.seat
                  : last       ? (*last + 1) % NUM_AGENTS
                               : static_cast<std::size_t>(generator() >> 62);
        last = learner;
        opponents();
    }

    void place(std::size_t g) {
        held[state.seat()][static_cast<std::size_t>(naive::shapes()[g / 400].kind)] = 0;
        ASSERT_FALSE(state.apply(g));
    }

    void opponents() {
        while (!state.is_terminal() && state.seat() != learner) {
            const std::size_t k = (state.seat() + 4 - learner) % 4;
            place(bot_action(options.opponents[k - 1], state, generator));
        }
    }

    void play(std::int64_t action) {
        scores.reset();
        final_state.reset();
        if (over) return start();
        place(static_cast<std::size_t>(action));
        opponents();
        if (!state.is_terminal()) return;
        scores = state.scores();
        placements = state.history().size();
        if (autoreset == Autoreset::SameStep) {
            final_state = state;
            final_held = held;
            final_learner = learner;
            start();
        } else {
            over = true;
        }
    }
};

void expect_env_matches(const BatchOutputs& out, std::size_t i, const Reference& ref) {
    SCOPED_TRACE(testing::Message() << "env " << i);
    EXPECT_EQ(out.value<Field::Seat>(i), static_cast<std::int8_t>(ref.learner));
    EXPECT_TRUE(
        std::ranges::equal(out.row<Field::Observation>(i), planes_of(ref.state, ref.learner)));
    EXPECT_TRUE(std::ranges::equal(out.row<Field::Hands>(i), hands_seen(ref.held, ref.learner)));
    const std::vector<std::size_t> legal =
        ref.over ? std::vector<std::size_t>{} : legal_list(ref.state.legal_mask(ref.learner));
    EXPECT_EQ(out.legal(i), legal);
    EXPECT_EQ(out.value<Field::Terminated>(i), ref.scores ? 1 : 0);
    for (std::size_t s = 0; s < NUM_AGENTS; ++s)
        EXPECT_EQ(out.row<Field::Scores>(i)[s], ref.scores ? (*ref.scores)[s] : 0);
    EXPECT_EQ(out.value<Field::Placements>(i),
              ref.scores ? static_cast<std::int16_t>(ref.placements) : 0);
    const std::size_t paid = ref.final_state ? ref.final_learner : ref.learner;
    EXPECT_EQ(out.value<Field::Rewards>(i),
              ref.scores ? expected_reward(ref.options.reward, *ref.scores, paid) : 0.0f);
    if (ref.final_state) {
        EXPECT_EQ(out.row<Field::Seat>(i, true)[0], static_cast<std::int8_t>(ref.final_learner));
        EXPECT_TRUE(std::ranges::equal(out.row<Field::Observation>(i, true),
                                       planes_of(*ref.final_state, ref.final_learner)));
        EXPECT_TRUE(std::ranges::equal(out.row<Field::Hands>(i, true),
                                       hands_seen(ref.final_held, ref.final_learner)));
    }
}

struct Case {
    Seating options;
    Autoreset autoreset;
    MaskLayout layout;
};

// ---- The batch against games played through State ---------------------------------------------

// Steps a batch of `n` envs with random learner moves, each env beside a Reference that plays
// the same game through State, and compares them after every step.
void expect_plays_as_state(const Case& c, std::size_t n, int steps, std::size_t least_ended) {
    Batch batch(n, 2, c.layout, 21, c.options, c.autoreset);
    std::vector<Reference> refs;
    for (std::size_t i = 0; i < n; ++i)
        refs.emplace_back(c.options, c.autoreset, batch.generator(i));
    BatchOutputs out = reset_outputs(batch);
    for (std::size_t i = 0; i < n; ++i) expect_env_matches(out, i, refs[i]);

    std::mt19937 rng(2);
    std::size_t ended = 0;
    std::array<std::size_t, NUM_AGENTS> learners_at{};
    for (int step = 0; step < steps && !testing::Test::HasFailure(); ++step) {
        const std::vector<std::int64_t> actions = random_actions(batch, out, rng);
        const BatchStep result = batch.step(actions, out.view());
        ASSERT_FALSE(result.refused);
        std::size_t ended_now = 0;
        for (std::size_t i = 0; i < n; ++i) {
            refs[i].play(actions[i]);
            expect_env_matches(out, i, refs[i]);
            EXPECT_EQ(batch.seat(i), refs[i].learner);
            ended_now += refs[i].scores ? 1 : 0;
            learners_at[refs[i].learner] += 1;
        }
        EXPECT_EQ(result.finished, ended_now);
        ended += ended_now;
    }
    EXPECT_GE(ended, least_ended);  // the run reached the ends of games
    if (!c.options.seat) {
        for (const std::size_t k : learners_at) EXPECT_GT(k, 0u) << "a seat never learnt";
    } else {
        EXPECT_EQ(learners_at[*c.options.seat], static_cast<std::size_t>(steps) * n);
    }
}

TEST(BatchWithBotsTest, PlaysTheGamesStatePlaysFromTheLearnersAndTheBotsMoves) {
    const Seating rotating{{RANDOM, GREEDY, RANDOM}, std::nullopt, Reward::Win};
    const Seating fixed{{GREEDY, RANDOM, RANDOM}, 2, Reward::Score};
    const std::vector<Case> cases = {
        {rotating, Autoreset::NextStep, MaskLayout::Indices},
        {rotating, Autoreset::SameStep, MaskLayout::Bytes},
        {fixed, Autoreset::NextStep, MaskLayout::Bits},
        {fixed, Autoreset::SameStep, MaskLayout::Indices},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases.data()));
        expect_plays_as_state(c, 4, 120, 8);
    }
}

TEST(BatchWithBotsTest, ASearchOpponentDrawsItsSeedFromTheEnvsGeneratorAtEveryMove) {
    // Searches of a few playouts, each seeded by the draw the Reference makes at the same point:
    // a seed drawn at another point, or not at all, plays other moves.
    const BotSpec search = *bot_named("mcts:3");
    const Seating options{{search, RANDOM, search}, 1, Reward::Score};
    expect_plays_as_state({options, Autoreset::NextStep, MaskLayout::Indices}, 2, 30, 2);
}

TEST(BatchWithBotsTest, TheLearnersSeatRotatesGameByGameFromADrawOfTheSeed) {
    const Seating options{{RANDOM, RANDOM, RANDOM}, std::nullopt, Reward::Score};
    constexpr std::size_t N = 8;
    Batch batch(N, 2, MaskLayout::Indices, 13, options);
    BatchOutputs out = reset_outputs(batch);
    std::vector<std::size_t> first(N);
    for (std::size_t i = 0; i < N; ++i) first[i] = batch.seat(i);
    EXPECT_GT(std::set<std::size_t>(first.begin(), first.end()).size(), 1u);
    // Without a seed every new game moves the learner one seat on.
    batch.reset(out.view());
    for (std::size_t i = 0; i < N; ++i) EXPECT_EQ(batch.seat(i), (first[i] + 1) % 4);
    // A seed draws the first seat again, the same for the same seed.
    const std::vector<std::optional<std::uint64_t>> seeds(N, 99);
    batch.reset(out.view(), seeds);
    std::vector<std::size_t> drawn(N);
    for (std::size_t i = 0; i < N; ++i) drawn[i] = batch.seat(i);
    batch.reset(out.view(), seeds);
    for (std::size_t i = 0; i < N; ++i) EXPECT_EQ(batch.seat(i), drawn[i]);
    batch.reset(out.view());
    for (std::size_t i = 0; i < N; ++i) EXPECT_EQ(batch.seat(i), (drawn[i] + 1) % 4);
}

TEST(BatchWithBotsTest, ResultsDoNotDependOnTheNumberOfThreads) {
    const Seating options{{RANDOM, RANDOM, RANDOM}, std::nullopt, Reward::Win};
    constexpr std::size_t N = 6;
    std::vector<std::unique_ptr<Batch>> batches;
    std::vector<BatchOutputs> outs;
    std::vector<std::mt19937> rngs;
    for (const std::size_t threads : {1, 2, 3}) {
        batches.push_back(std::make_unique<Batch>(N, threads, MaskLayout::Indices, 8,
                                                         options, Autoreset::SameStep));
        outs.push_back(reset_outputs(*batches.back()));
        rngs.emplace_back(8);
    }
    for (int step = 0; step < 80; ++step) {
        for (std::size_t b = 0; b < batches.size(); ++b)
            ASSERT_FALSE(batches[b]
                             ->step(random_actions(*batches[b], outs[b], rngs[b]), outs[b].view())
                             .refused);
        ASSERT_TRUE(outs[1] == outs[0]) << "step " << step;
        ASSERT_TRUE(outs[2] == outs[0]) << "step " << step;
    }
}

TEST(BatchWithBotsTest, RefusesAnActionTheLearnerMayNotPlayBeforeSteppingAnyEnv) {
    const Seating options{{RANDOM, RANDOM, RANDOM}, 1, Reward::Score};
    constexpr std::size_t N = 3;
    Batch batch(N, 2, MaskLayout::Bytes, 3, options);
    BatchOutputs out = reset_outputs(batch);
    // The learner, at seat 1, has not placed yet: a placement away from its start corner is not
    // legal for it.
    const std::int64_t not_an_opening = static_cast<std::int64_t>(grid(MONOMINO, 5, 5));
    std::mt19937 rng(3);
    for (const std::int64_t bad :
         {std::int64_t{-1}, std::int64_t{NUM_GRID_INDICES}, not_an_opening}) {
        std::vector<std::int64_t> actions = random_actions(batch, out, rng);
        actions[1] = bad;
        const BatchOutputs before = out;
        const std::vector<std::uint16_t> history(batch.state(0).history().begin(),
                                                 batch.state(0).history().end());
        const BatchStep result = batch.step(actions, out.view());
        ASSERT_TRUE(result.refused);
        EXPECT_EQ(result.refused->game, 1u);
        EXPECT_EQ(result.refused->seat, 1u);
        EXPECT_EQ(result.refused->action, bad);
        EXPECT_TRUE(out == before);
        EXPECT_TRUE(std::ranges::equal(batch.state(0).history(), history));
    }
    EXPECT_FALSE(batch.step(random_actions(batch, out, rng), out.view()).refused);
}

TEST(BatchWithBotsTest, AWinIsSharedByTheBestScoresAndAScoreIsTheSeatsOwn) {
    const std::array<std::int16_t, NUM_AGENTS> tie = {10, -5, 10, -3};
    EXPECT_EQ(reward_of(Reward::Score, tie, 1), -5.0f);
    EXPECT_EQ(reward_of(Reward::Win, tie, 0), 0.5f);
    EXPECT_EQ(reward_of(Reward::Win, tie, 2), 0.5f);
    EXPECT_EQ(reward_of(Reward::Win, tie, 3), 0.0f);
    EXPECT_EQ(reward_of(Reward::Win, {20, 15, -1, 15}, 0), 1.0f);
    EXPECT_EQ(reward_of(Reward::Win, {-7, -7, -7, -7}, 3), 0.25f);
}

}  // namespace
}  // namespace game
