#include "game/batch.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <vector>

#include "support/drivers.hpp"
#include "support/naive_model.hpp"

namespace game {
namespace {

using namespace support;

// The hands as seat `viewer` sees them, from the kinds each seat placed (named by the naive
// model's catalogue).
std::vector<std::uint8_t> hands_seen(const std::array<std::array<bool, 21>, 4>& placed,
                                     std::size_t viewer) {
    std::vector<std::uint8_t> hands;
    for (std::size_t k = 0; k < NUM_AGENTS; ++k)
        for (std::size_t kind = 0; kind < NUM_PIECE_TYPES; ++kind)
            hands.push_back(placed[(viewer + k) % NUM_AGENTS][kind] ? 0 : 1);
    return hands;
}

// One env of a self-play batch played the long way round, with the allocating observe: step, then
// observe the seat to move, pass it if it is done; once all four are, show the last mover's view
// and restart as the autoreset mode says.
struct Reference {
    Autoreset autoreset;
    Game game;
    std::size_t seat = 0;  // whose view the env shows
    Observation view;
    std::array<std::array<bool, 21>, 4> placed{};
    bool over = false;
    // What the last step ended, if it ended a game.
    std::optional<std::array<std::int16_t, NUM_AGENTS>> final_scores;
    int placements = 0;
    std::size_t final_seat = 0;
    Observation final_view;
    std::vector<std::uint8_t> final_hands;

    explicit Reference(Autoreset mode) : autoreset(mode) { settle(); }

    void play(std::int64_t action) {
        final_scores.reset();
        if (over) return restart();
        const std::size_t mover = game.agent_selection;
        ASSERT_FALSE(game.step(static_cast<std::size_t>(action))) << "grid index " << action;
        placed[mover][static_cast<std::size_t>(naive::shapes()[action / 400].kind)] = true;
        if (settle()) return;
        std::array<std::int16_t, NUM_AGENTS> scores{};
        placements = 0;
        for (std::size_t s = 0; s < NUM_AGENTS; ++s) {
            scores[s] = *game.rewards()[s];
            placements += game.agents[s].pieces_placed;
        }
        final_scores = scores;
        // A done seat's observation: its planes, and nothing legal.
        seat = mover;
        view = game.observe(mover);
        if (autoreset != Autoreset::SameStep) {
            over = true;
            return;
        }
        final_seat = seat;
        final_view = view;
        final_hands = hands_seen(placed, seat);
        restart();
    }

    void restart() {
        game = Game();
        placed = {};
        over = false;
        settle();
    }

    // Passes done seats and shows the seat to move; false once all four are done.
    bool settle() {
        const bool playing = support::settle(game);
        seat = game.agent_selection;
        view = game.observe(seat);
        return playing;
    }
};

std::vector<std::size_t> ones(const Bytes& mask) {
    std::vector<std::size_t> at;
    for (std::size_t g = 0; g < mask.size(); ++g)
        if (mask[g] == 1) at.push_back(g);
    return at;
}

// Expects env i's outputs to be the reference game's.
void expect_env_matches(const BatchOutputs& out, std::size_t i, const Reference& ref) {
    SCOPED_TRACE(testing::Message() << "env " << i);
    EXPECT_EQ(out.value<Field::Seat>(i), static_cast<std::int8_t>(ref.seat));
    EXPECT_TRUE(std::ranges::equal(out.row<Field::Observation>(i), ref.view.observation));
    EXPECT_TRUE(std::ranges::equal(out.row<Field::Hands>(i), hands_seen(ref.placed, ref.seat)));
    ASSERT_EQ(out.legal(i), ones(ref.view.action_mask));
    EXPECT_EQ(out.value<Field::Terminated>(i), ref.final_scores ? 1 : 0);
    for (std::size_t s = 0; s < NUM_AGENTS; ++s)
        EXPECT_EQ(out.row<Field::Scores>(i)[s], ref.final_scores ? (*ref.final_scores)[s] : 0);
    EXPECT_EQ(out.value<Field::Placements>(i), ref.final_scores ? ref.placements : 0);
    if (ref.final_scores && ref.autoreset == Autoreset::SameStep) {
        EXPECT_EQ(out.row<Field::Seat>(i, true)[0], static_cast<std::int8_t>(ref.final_seat));
        EXPECT_TRUE(
            std::ranges::equal(out.row<Field::Observation>(i, true), ref.final_view.observation));
        EXPECT_TRUE(std::ranges::equal(out.row<Field::Hands>(i, true), ref.final_hands));
    }
}

const char* name_of(MaskLayout layout) {
    return layout == MaskLayout::Bits ? "bits" : layout == MaskLayout::Bytes ? "bytes" : "indices";
}

// ---- The batch against games played one by one ------------------------------------------------

TEST(BatchTest, PlaysEveryEnvLikeASingleGameInEveryLayoutAndAutoresetMode) {
    for (const Autoreset autoreset : {Autoreset::NextStep, Autoreset::SameStep}) {
        for (const MaskLayout layout : {MaskLayout::Bytes, MaskLayout::Bits, MaskLayout::Indices}) {
            SCOPED_TRACE(testing::Message()
                         << name_of(layout)
                         << (autoreset == Autoreset::SameStep ? ", same step" : ", next step"));
            constexpr std::size_t N = 5;
            Batch batch(N, 2, layout, 11, {}, autoreset);
            BatchOutputs out = reset_outputs(batch);
            std::vector<Reference> refs(N, Reference(autoreset));
            for (std::size_t i = 0; i < N; ++i) expect_env_matches(out, i, refs[i]);

            std::mt19937 rng(3);
            std::size_t ended = 0, passed_seats = 0;
            for (int step = 0; step < 200 && !testing::Test::HasFailure(); ++step) {
                const std::vector<std::int64_t> actions = random_actions(batch, out, rng);
                const BatchStep result = batch.step(actions, out.view());
                ASSERT_FALSE(result.refused);
                std::size_t ended_now = 0;
                for (std::size_t i = 0; i < N; ++i) {
                    const std::size_t mover = refs[i].game.agent_selection;
                    const bool was_over = refs[i].over;
                    refs[i].play(actions[i]);
                    expect_env_matches(out, i, refs[i]);
                    EXPECT_EQ(batch.over(i), refs[i].over);
                    ended_now += refs[i].final_scores ? 1 : 0;
                    // Anything but the next seat (in a game that goes on) means seats were passed.
                    if (!was_over && !refs[i].final_scores &&
                        refs[i].game.agent_selection != (mover + 1) % 4)
                        ++passed_seats;
                }
                EXPECT_EQ(result.finished, ended_now);
                ended += ended_now;
            }
            // The run must have reached the cases it is about.
            EXPECT_GE(ended, 10u);
            EXPECT_GE(passed_seats, 10u);
        }
    }
}

TEST(BatchTest, ResultsDoNotDependOnTheNumberOfThreads) {
    constexpr std::size_t N = 7;
    for (const MaskLayout layout : {MaskLayout::Bits, MaskLayout::Indices}) {
        SCOPED_TRACE(name_of(layout));
        std::vector<std::unique_ptr<Batch>> batches;
        std::vector<BatchOutputs> outs;
        std::vector<std::mt19937> rngs;
        for (const std::size_t threads : {1, 2, 3}) {
            batches.push_back(
                std::make_unique<Batch>(N, threads, layout, 99, Seating{}, Autoreset::SameStep));
            EXPECT_EQ(batches.back()->num_threads(), threads);
            outs.push_back(reset_outputs(*batches.back()));
            rngs.emplace_back(5);
        }
        for (int step = 0; step < 200; ++step) {
            for (std::size_t b = 0; b < batches.size(); ++b) {
                ASSERT_FALSE(
                    batches[b]
                        ->step(random_actions(*batches[b], outs[b], rngs[b]), outs[b].view())
                        .refused);
            }
            ASSERT_TRUE(outs[1] == outs[0]) << "step " << step;
            ASSERT_TRUE(outs[2] == outs[0]) << "step " << step;
        }
        for (std::size_t i = 0; i < N; ++i)
            EXPECT_EQ(batches[2]->generator(i), batches[0]->generator(i));
    }
}

TEST(BatchTest, UsesNoMoreThreadsThanEnvsAndAtLeastOne) {
    EXPECT_EQ(Batch(3, 8, MaskLayout::Bytes, 0).num_threads(), 3u);
    EXPECT_EQ(Batch(3, 0, MaskLayout::Bytes, 0).num_threads(), 1u);
}

// ---- All or nothing ---------------------------------------------------------------------------

TEST(BatchTest, RefusesAnIllegalActionBeforeSteppingAnyEnv) {
    constexpr std::size_t N = 4;
    const MaskLayout layout = MaskLayout::Indices;
    Batch batch(N, 2, layout, 1);
    BatchOutputs out = reset_outputs(batch);
    std::mt19937 rng(8);
    // Five moves in: seat 1 is to move again, and has already made its move of step 1.
    std::vector<std::int64_t> seat1_first;
    for (int step = 0; step < 5; ++step) {
        const std::vector<std::int64_t> actions = random_actions(batch, out, rng);
        if (step == 1) seat1_first = actions;
        ASSERT_FALSE(batch.step(actions, out.view()).refused);
    }
    ASSERT_EQ(batch.state(2).seat(), 1u);

    std::int64_t no_placement = -1;  // a grid index inside the grid that names no placement
    for (std::size_t g = 0; g < NUM_GRID_INDICES && no_placement < 0; ++g)
        if (!ACTION_SET().grid[g]) no_placement = static_cast<std::int64_t>(g);
    ASSERT_GE(no_placement, 0);
    const std::vector<std::int64_t> illegal = {-1, static_cast<std::int64_t>(NUM_GRID_INDICES),
                                               no_placement, seat1_first[2], INT64_MIN};

    for (const std::int64_t bad : illegal) {
        SCOPED_TRACE(testing::Message() << "action " << bad);
        std::vector<std::int64_t> actions = random_actions(batch, out, rng);
        actions[2] = bad;
        const BatchOutputs before = out;
        std::vector<State> games;
        for (std::size_t i = 0; i < N; ++i) games.push_back(batch.state(i));

        const BatchStep result = batch.step(actions, out.view());
        ASSERT_TRUE(result.refused);
        EXPECT_EQ(result.refused->game, 2u);
        EXPECT_EQ(result.refused->action, bad);
        EXPECT_EQ(result.refused->seat, 1u);
        EXPECT_FALSE(result.refused->game_over);
        EXPECT_TRUE(out == before);
        for (std::size_t i = 0; i < N; ++i)
            EXPECT_TRUE(std::ranges::equal(batch.state(i).history(), games[i].history()))
                << "env " << i;
    }

    // With several, the first is reported; then legal actions play on.
    std::vector<std::int64_t> actions = random_actions(batch, out, rng);
    actions[1] = actions[3] = -5;
    const BatchStep result = batch.step(actions, out.view());
    ASSERT_TRUE(result.refused);
    EXPECT_EQ(result.refused->game, 1u);
    EXPECT_FALSE(batch.step(random_actions(batch, out, rng), out.view()).refused);
}

// Steps until some env's game ends; returns that env.
std::size_t play_until_a_game_ends(Batch& batch, BatchOutputs& out, std::mt19937& rng) {
    for (;;) {
        const BatchStep result = batch.step(random_actions(batch, out, rng), out.view());
        EXPECT_FALSE(result.refused);
        if (result.finished != 0 || result.refused) {
            const std::vector<std::uint8_t> ended = out.terminated();
            return static_cast<std::size_t>(std::ranges::find(ended, 1) - ended.begin());
        }
    }
}

TEST(BatchTest, WithoutAutoresetAnEndedGameWaitsForAResetOfItsOwn) {
    constexpr std::size_t N = 3;
    Batch batch(N, 2, MaskLayout::Indices, 4, {}, Autoreset::Disabled);
    BatchOutputs out = reset_outputs(batch);
    std::mt19937 rng(4);
    const std::size_t ended = play_until_a_game_ends(batch, out, rng);
    ASSERT_TRUE(batch.over(ended));
    EXPECT_TRUE(out.legal_list(ended).empty());

    // Whatever its action, the env refuses to step, and so does the whole batch.
    std::vector<std::int64_t> actions = random_actions(batch, out, rng);
    const BatchOutputs before = out;
    const BatchStep refused = batch.step(actions, out.view());
    ASSERT_TRUE(refused.refused);
    EXPECT_EQ(refused.refused->game, ended);
    EXPECT_TRUE(refused.refused->game_over);
    EXPECT_TRUE(out == before);

    // Resetting the envs whose game ended starts theirs and leaves the others where they were.
    std::vector<State> games;
    for (std::size_t i = 0; i < N; ++i) games.push_back(batch.state(i));
    const std::vector<std::uint8_t> only = out.terminated();
    ASSERT_LT(std::count(only.begin(), only.end(), 1), static_cast<std::ptrdiff_t>(N));
    batch.reset(out.view(), {}, only.data());
    EXPECT_FALSE(batch.over(ended));
    EXPECT_EQ(out.value<Field::Terminated>(ended), 0);
    EXPECT_TRUE(batch.state(ended).history().empty());
    for (std::size_t i = 0; i < N; ++i) {
        if (only[i] != 0) continue;
        EXPECT_TRUE(std::ranges::equal(batch.state(i).history(), games[i].history()))
            << "env " << i;
        EXPECT_TRUE(std::ranges::equal(out.legal_list(i), before.legal_list(i))) << "env " << i;
        EXPECT_EQ(out.value<Field::Seat>(i), before.value<Field::Seat>(i));
    }
    EXPECT_EQ(out.legal_list(ended).size(), 58u);
    EXPECT_FALSE(batch.step(random_actions(batch, out, rng), out.view()).refused);
}

// ---- Reset and seeding ------------------------------------------------------------------------

TEST(BatchTest, ResetStartsEveryGameAndReseedsOnlyWhenGivenASeed) {
    constexpr std::size_t N = 3;
    const MaskLayout layout = MaskLayout::Bits;
    Batch batch(N, 2, layout, 42);
    BatchOutputs out = reset_outputs(batch);
    const BatchOutputs first = out;
    std::mt19937 rng(1);
    for (int step = 0; step < 30; ++step)
        ASSERT_FALSE(batch.step(random_actions(batch, out, rng), out.view()).refused);
    ASSERT_FALSE(out == first);

    std::vector<std::mt19937_64> generators;
    for (std::size_t i = 0; i < N; ++i) generators.push_back(batch.generator(i));
    batch.reset(out.view());
    EXPECT_TRUE(out == first);
    for (std::size_t i = 0; i < N; ++i) EXPECT_EQ(batch.generator(i), generators[i]);

    // A seed per env: env 1 carries on.
    const std::vector<std::optional<std::uint64_t>> seeds = {7, std::nullopt, 7};
    batch.reset(out.view(), seeds);
    EXPECT_TRUE(out == first);
    const Batch seeded(N, 1, layout, 7), other_seed(N, 1, layout, 8);
    EXPECT_EQ(batch.generator(1), generators[1]);
    for (const std::size_t i : {0, 2}) {
        EXPECT_EQ(batch.generator(i), seeded.generator(i));
        EXPECT_NE(batch.generator(i), other_seed.generator(i));
    }
    EXPECT_NE(batch.generator(2), batch.generator(0));
}

}  // namespace
}  // namespace game
