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

namespace game {
namespace {

using namespace support;

bool legal_in(const std::uint8_t* mask, MaskLayout layout, std::size_t g) {
    return layout == MaskLayout::Bits ? (mask[g / 8] >> (7 - g % 8)) & 1 : mask[g] == 1;
}

// The first grid index at or after `start` that the mask allows, wrapping around.
std::int64_t first_legal(const std::uint8_t* mask, MaskLayout layout, std::size_t start) {
    for (std::size_t k = 0; k < NUM_GRID_INDICES; ++k) {
        const std::size_t g = (start + k) % NUM_GRID_INDICES;
        if (legal_in(mask, layout, g)) return static_cast<std::int64_t>(g);
    }
    ADD_FAILURE() << "an env waits at a seat without a legal action";
    return 0;
}

std::vector<std::int64_t> choose(const Batch& batch, const BatchOutputs& out, std::mt19937& rng) {
    std::vector<std::int64_t> actions(batch.size());
    const std::size_t stride = Batch::mask_bytes(batch.layout());
    for (std::size_t i = 0; i < batch.size(); ++i)
        actions[i] =
            first_legal(out.masks.data() + i * stride, batch.layout(), rng() % NUM_GRID_INDICES);
    return actions;
}

bool all_done(const Game& game) {
    return std::all_of(game.agents.begin(), game.agents.end(),
                       [](const Agent& a) { return a.done; });
}

// One game driven the long way round, with the allocating observe: step, then observe the seat to
// move, pass it if it is done, and start a new game once all four are.
struct Reference {
    Game game;
    Observation view;
    std::optional<std::array<std::int16_t, NUM_AGENTS>> final_scores;
    int placements = 0;

    Reference() { settle(); }

    void play(std::size_t g) {
        ASSERT_FALSE(game.step(g)) << "grid index " << g;
        settle();
    }

    void settle() {
        final_scores.reset();
        for (;;) {
            const std::size_t seat = game.agent_selection;
            view = game.observe(seat);
            if (!game.agents[seat].done) return;
            if (all_done(game)) {
                std::array<std::int16_t, NUM_AGENTS> scores{};
                placements = 0;
                for (std::size_t s = 0; s < NUM_AGENTS; ++s) {
                    scores[s] = *game.rewards()[s];
                    placements += game.agents[s].pieces_placed;
                }
                final_scores = scores;
                game = Game();
                continue;
            }
            ASSERT_FALSE(game.step(std::nullopt));
        }
    }
};

// Expects env i's outputs to be the reference game's.
void expect_env_matches(const BatchOutputs& out, MaskLayout layout, std::size_t i,
                        const Reference& ref) {
    SCOPED_TRACE(testing::Message() << "env " << i);
    EXPECT_EQ(out.seats[i], static_cast<std::int8_t>(ref.game.agent_selection));
    EXPECT_EQ(0, std::memcmp(out.planes.data() + i * PLANE_BYTES, ref.view.observation.data(),
                             PLANE_BYTES));
    const std::size_t stride = Batch::mask_bytes(layout);
    const std::uint8_t* mask = out.masks.data() + i * stride;
    for (std::size_t g = 0; g < NUM_GRID_INDICES; ++g)
        ASSERT_EQ(legal_in(mask, layout, g), ref.view.action_mask[g] == 1) << "grid index " << g;
    EXPECT_EQ(out.terminated[i], ref.final_scores ? 1 : 0);
    for (std::size_t s = 0; s < NUM_AGENTS; ++s)
        EXPECT_EQ(out.rewards[i * NUM_AGENTS + s], ref.final_scores ? (*ref.final_scores)[s] : 0);
    EXPECT_EQ(out.placements[i], ref.final_scores ? ref.placements : 0);
}

// ---- The batch against games played one by one ------------------------------------------------

TEST(BatchTest, PlaysEveryEnvLikeASingleGamePassingDoneSeatsAndRestartingEndedGames) {
    for (const MaskLayout layout : {MaskLayout::Bytes, MaskLayout::Bits}) {
        SCOPED_TRACE(layout == MaskLayout::Bits ? "bits" : "bytes");
        constexpr std::size_t N = 5;
        Batch batch(N, 2, layout, 11);
        BatchOutputs out = reset_outputs(batch);
        std::vector<Reference> refs(N);
        for (std::size_t i = 0; i < N; ++i) expect_env_matches(out, layout, i, refs[i]);

        std::mt19937 rng(3);
        std::size_t ended = 0, passed_seats = 0;
        for (int step = 0; step < 400 && !testing::Test::HasFailure(); ++step) {
            const std::vector<std::int64_t> actions = choose(batch, out, rng);
            const BatchStep result = batch.step(actions, out.view());
            ASSERT_FALSE(result.refused);
            std::size_t ended_now = 0;
            for (std::size_t i = 0; i < N; ++i) {
                const std::size_t mover = refs[i].game.agent_selection;
                refs[i].play(static_cast<std::size_t>(actions[i]));
                expect_env_matches(out, layout, i, refs[i]);
                ended_now += refs[i].final_scores ? 1 : 0;
                // Anything but the next seat (in a game that goes on) means seats were passed.
                if (!refs[i].final_scores && refs[i].game.agent_selection != (mover + 1) % 4)
                    ++passed_seats;
            }
            EXPECT_EQ(result.finished, ended_now);
            ended += ended_now;
        }
        // The run must have reached the cases it is about.
        EXPECT_GE(ended, 20u);
        EXPECT_GE(passed_seats, 20u);
    }
}

TEST(BatchTest, ResultsDoNotDependOnTheNumberOfThreads) {
    constexpr std::size_t N = 7;
    const MaskLayout layout = MaskLayout::Bits;
    std::vector<std::unique_ptr<Batch>> batches;
    std::vector<BatchOutputs> outs;
    std::vector<std::mt19937> rngs;
    for (const std::size_t threads : {1, 2, 3}) {
        batches.push_back(std::make_unique<Batch>(N, threads, layout, 99));
        EXPECT_EQ(batches.back()->num_threads(), threads);
        outs.push_back(reset_outputs(*batches.back()));
        rngs.emplace_back(5);
    }
    for (int step = 0; step < 300; ++step) {
        for (std::size_t b = 0; b < batches.size(); ++b) {
            ASSERT_FALSE(
                batches[b]->step(choose(*batches[b], outs[b], rngs[b]), outs[b].view()).refused);
        }
        ASSERT_TRUE(outs[1] == outs[0]) << "step " << step;
        ASSERT_TRUE(outs[2] == outs[0]) << "step " << step;
    }
    for (std::size_t i = 0; i < N; ++i)
        EXPECT_EQ(batches[2]->generator(i), batches[0]->generator(i));
}

TEST(BatchTest, UsesNoMoreThreadsThanEnvsAndAtLeastOne) {
    EXPECT_EQ(Batch(3, 8, MaskLayout::Bytes, 0).num_threads(), 3u);
    EXPECT_EQ(Batch(3, 0, MaskLayout::Bytes, 0).num_threads(), 1u);
}

// ---- All or nothing ---------------------------------------------------------------------------

TEST(BatchTest, RefusesAnIllegalActionBeforeSteppingAnyEnv) {
    constexpr std::size_t N = 4;
    const MaskLayout layout = MaskLayout::Bytes;
    Batch batch(N, 2, layout, 1);
    BatchOutputs out = reset_outputs(batch);
    std::mt19937 rng(8);
    // Five moves in: seat 1 is to move again, and has already made its move of step 1.
    std::vector<std::int64_t> seat1_first;
    for (int step = 0; step < 5; ++step) {
        const std::vector<std::int64_t> actions = choose(batch, out, rng);
        if (step == 1) seat1_first = actions;
        ASSERT_FALSE(batch.step(actions, out.view()).refused);
    }
    ASSERT_EQ(batch.game(2).agent_selection, 1u);

    std::int64_t no_placement = -1;  // a grid index inside the grid that names no placement
    for (std::size_t g = 0; g < NUM_GRID_INDICES && no_placement < 0; ++g)
        if (!ACTION_SET().grid[g]) no_placement = static_cast<std::int64_t>(g);
    ASSERT_GE(no_placement, 0);
    const std::vector<std::int64_t> illegal = {-1, static_cast<std::int64_t>(NUM_GRID_INDICES),
                                               no_placement, seat1_first[2], INT64_MIN};

    for (const std::int64_t bad : illegal) {
        SCOPED_TRACE(testing::Message() << "action " << bad);
        std::vector<std::int64_t> actions = choose(batch, out, rng);
        actions[2] = bad;
        const BatchOutputs before = out;
        std::vector<Game> games;
        for (std::size_t i = 0; i < N; ++i) games.push_back(batch.game(i));

        const BatchStep result = batch.step(actions, out.view());
        ASSERT_TRUE(result.refused);
        EXPECT_EQ(result.refused->env, 2u);
        EXPECT_EQ(result.refused->action, bad);
        EXPECT_EQ(result.refused->seat, 1u);
        EXPECT_TRUE(out == before);
        for (std::size_t i = 0; i < N; ++i)
            EXPECT_TRUE(same_game(batch.game(i), games[i])) << "env " << i;
    }

    // With several, the first is reported; then legal actions play on.
    std::vector<std::int64_t> actions = choose(batch, out, rng);
    actions[1] = actions[3] = -5;
    const BatchStep result = batch.step(actions, out.view());
    ASSERT_TRUE(result.refused);
    EXPECT_EQ(result.refused->env, 1u);
    EXPECT_FALSE(batch.step(choose(batch, out, rng), out.view()).refused);
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
        ASSERT_FALSE(batch.step(choose(batch, out, rng), out.view()).refused);
    ASSERT_FALSE(out == first);

    std::vector<std::mt19937_64> generators;
    for (std::size_t i = 0; i < N; ++i) generators.push_back(batch.generator(i));
    batch.reset(out.view());
    EXPECT_TRUE(out == first);
    for (std::size_t i = 0; i < N; ++i) EXPECT_EQ(batch.generator(i), generators[i]);

    batch.reset(out.view(), 7);
    EXPECT_TRUE(out == first);
    const Batch seeded(N, 1, layout, 7), other_seed(N, 1, layout, 8);
    for (std::size_t i = 0; i < N; ++i) {
        EXPECT_EQ(batch.generator(i), seeded.generator(i));
        EXPECT_NE(batch.generator(i), other_seed.generator(i));
        if (i > 0) {
            EXPECT_NE(batch.generator(i), batch.generator(0));
        }
    }
}

// ---- The worker pool --------------------------------------------------------------------------

TEST(WorkerPoolTest, RunsEveryIndexExactlyOnceJobAfterJob) {
    for (const std::size_t threads : {1, 2, 3}) {
        WorkerPool pool(threads);
        EXPECT_EQ(pool.num_threads(), threads);
        for (const std::size_t count : {0, 1, 2, 5, 64, 1001}) {
            for (int repeat = 0; repeat < 20; ++repeat) {
                std::vector<std::atomic<int>> hits(count);
                pool.run(count, [&](std::size_t begin, std::size_t end) {
                    ASSERT_LT(begin, end);
                    for (std::size_t i = begin; i < end; ++i) hits[i].fetch_add(1);
                });
                for (std::size_t i = 0; i < count; ++i)
                    ASSERT_EQ(hits[i].load(), 1) << threads << " threads, index " << i;
            }
        }
    }
}

TEST(WorkerPoolTest, RethrowsAFailureAndStaysUsable) {
    WorkerPool pool(2);
    EXPECT_THROW(pool.run(100,
                          [](std::size_t begin, std::size_t end) {
                              if (begin <= 50 && 50 < end) throw std::runtime_error("index 50");
                          }),
                 std::runtime_error);
    std::atomic<std::size_t> total{0};
    pool.run(100, [&](std::size_t begin, std::size_t end) { total += end - begin; });
    EXPECT_EQ(total.load(), 100u);
}

TEST(WorkerPoolTest, RunsOnTheCallerAloneOnceStopped) {
    WorkerPool pool(3);
    pool.stop();
    EXPECT_EQ(pool.num_threads(), 1u);
    const std::thread::id caller = std::this_thread::get_id();
    std::size_t total = 0;
    pool.run(50, [&](std::size_t begin, std::size_t end) {
        EXPECT_EQ(std::this_thread::get_id(), caller);
        total += end - begin;
    });
    EXPECT_EQ(total, 50u);
}

}  // namespace
}  // namespace game
