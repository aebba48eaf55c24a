#include "game/arena.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <set>
#include <vector>

#include "game/bot_names.hpp"
#include "game/bots.hpp"
#include "support/drivers.hpp"
#include "support/naive_model.hpp"

namespace game {
namespace {

using namespace support;

const BotSpec RANDOM{BotKind::Random}, GREEDY{BotKind::Greedy}, CALLER{BotKind::Caller};

template <std::size_t N>
struct Results {
    std::array<std::int16_t, 4 * N> scores{};
    std::array<std::uint8_t, 4 * N> seats{};
};

// The game on from `state`, every move asked of bot_action one by one: the way the rules say the
// bots play, without the arena's shortcuts.
State played_on(State state, const Players& players, std::mt19937_64& generator) {
    while (!state.is_terminal())
        EXPECT_FALSE(state.apply(bot_action(players[state.seat()], state, generator)));
    return state;
}

TEST(Arena, GamesDependOnlyOnSeedAndIndex) {
    BotSpec search{BotKind::Mcts};
    search.mcts.budget = 4;
    search.mcts.playout = PlayoutKind::Random;
    const ArenaSetup setup{{GREEDY, RANDOM, search, RANDOM}, 9};
    constexpr std::size_t GAMES = 6;
    Results<GAMES> whole, split;
    WorkerPool one(1), two(2);
    play_arena(setup, 0, GAMES, one, whole.scores.data(), whole.seats.data());
    play_arena(setup, 0, 2, two, split.scores.data(), split.seats.data());
    play_arena(setup, 2, GAMES - 2, two, split.scores.data() + 8, split.seats.data() + 8);
    EXPECT_EQ(whole.scores, split.scores);
    EXPECT_EQ(whole.seats, split.seats);

    // Game 1 is the bots' moves one by one, with the rotated seats and that game's generator.
    std::mt19937_64 generator = seeded_generator(9, 1);
    const auto scores = *played_on(State(), {RANDOM, GREEDY, RANDOM, search}, generator).scores();
    EXPECT_TRUE(std::equal(scores.begin(), scores.end(), whole.scores.begin() + 4));
    EXPECT_EQ(whole.seats[4], 1u);  // the greedy bot sits at seat 1 in game 1
    for (std::size_t g = 0; g < GAMES; ++g)
        for (std::size_t bot = 0; bot < 4; ++bot)
            EXPECT_EQ(bot_at(whole.seats[4 * g + bot], g), bot);
}

// The bot a name names, which the test needs to be there.
BotSpec named(std::string_view text) {
    std::string why;
    const std::optional<BotSpec> bot = bot_named(text, &why);
    EXPECT_TRUE(bot.has_value()) << text << ": " << why;
    return bot.value_or(BotSpec{});
}

// Why the engine knows no bot by this name.
std::string refusal(std::string_view text) {
    std::string why;
    EXPECT_FALSE(bot_named(text, &why).has_value()) << text;
    return why;
}

TEST(Arena, BotsAreKnownByNameAndTheSearchBySettingsThatDifferFromItsDefaults) {
    for (const char* text : {"random", "greedy", "mcts", "mcts:400", "mcts:ms=50",
                             "mcts:playouts=90,playout=random,exploration=0.7,widening=2,"
                             "score_weight=0.125",
                             "mcts:playout=greedy", "mcts:playouts=400,prior=net", "net",
                             "net:temperature=0.5"})
        EXPECT_EQ(name(named(text)), text);
    EXPECT_EQ(named("greedy").kind, BotKind::Greedy);

    const MctsOptions defaults;
    const MctsOptions& search = named("mcts").mcts;
    EXPECT_EQ(search.budget, defaults.budget);
    EXPECT_EQ(search.playout, defaults.playout);
    EXPECT_EQ(named("mcts:400").mcts.budget, 400u);
    EXPECT_EQ(named("mcts:400").mcts.budget_kind, BudgetKind::Playouts);
    const MctsOptions timed = named("mcts:ms=50,exploration=1.5,playout=random").mcts;
    EXPECT_EQ(timed.budget_kind, BudgetKind::Milliseconds);
    EXPECT_EQ(timed.budget, 50u);
    EXPECT_EQ(timed.exploration, 1.5);
    EXPECT_EQ(timed.playout, PlayoutKind::Random);
    EXPECT_EQ(timed.widening, defaults.widening);
    // The same bot however it is written.
    EXPECT_EQ(name(named("mcts:playouts=400")), "mcts:400");
    EXPECT_EQ(name(named(std::string("mcts:") + std::to_string(defaults.budget))), "mcts");
    EXPECT_EQ(name(named("mcts:widening=2,400")), "mcts:playouts=400,widening=2");

    EXPECT_EQ(refusal("mcts:0"), "playouts must be a whole number from 1 to 1000000000, not '0'");
    EXPECT_EQ(refusal("mcts:ms=-5"), "ms must be a whole number from 1 to 86400000, not '-5'");
    EXPECT_EQ(refusal("mcts:400,ms=50"), "give one budget, playouts or ms");
    EXPECT_EQ(refusal("mcts:playout=smart"),
              "playout must be random, largest or greedy, not 'smart'");
    EXPECT_EQ(refusal("mcts:score_weight=1.5"),
              "score_weight must be a number from 0 to 1, not '1.5'");
    EXPECT_EQ(refusal("mcts:exploration=nan"),
              "exploration must be a number from 0 to 1000000, not 'nan'");
    EXPECT_EQ(refusal("mcts:depth=3"),
              "unknown setting 'depth': playouts, ms, playout, exploration, widening, "
              "score_weight or prior");
    for (const char* text : {"mcts:", "mcts:400,", "mcts:400,,playout=random"})
        EXPECT_EQ(refusal(text), "a setting is missing between commas or at an end");
    for (const char* text : {"mctsx", "Greedy", "caller", ""})
        EXPECT_EQ(refusal(text), "the engine plays random, greedy, net and mcts");
}

TEST(Arena, GamesOpenWithRandomPlacementsDrawnFromTheirGenerator) {
    constexpr std::size_t GAMES = 8;
    Results<GAMES> plain, opened;
    WorkerPool pool(2);
    play_arena({{GREEDY, GREEDY, GREEDY, GREEDY}, 1}, 0, GAMES, pool, plain.scores.data(),
               plain.seats.data());
    play_arena({{GREEDY, GREEDY, GREEDY, GREEDY}, 1, 4}, 0, GAMES, pool, opened.scores.data(),
               opened.seats.data());
    // Greedy bots alone play one game, however they are seated; after random openings, several.
    std::set<std::array<std::int16_t, 4>> games, opened_games;
    for (std::size_t g = 0; g < GAMES; ++g) {
        std::array<std::int16_t, 4> scores, opened_scores;
        std::copy_n(plain.scores.begin() + 4 * g, 4, scores.begin());
        std::copy_n(opened.scores.begin() + 4 * g, 4, opened_scores.begin());
        games.insert(scores);
        opened_games.insert(opened_scores);
    }
    EXPECT_EQ(games.size(), 1u);
    EXPECT_GT(opened_games.size(), 4u);

    // Game 5 is the four random moves of its generator, then greedy's.
    std::mt19937_64 generator = seeded_generator(1, 5);
    State state = random_opening(4, generator);
    ASSERT_EQ(state.history().size(), 4u);
    std::mt19937_64 again = seeded_generator(1, 5);
    State replay;
    for (std::size_t i = 0; i < 4; ++i) ASSERT_FALSE(replay.apply(*random_action(replay, again())));
    EXPECT_TRUE(replay == state);
    state = played_on(state, {GREEDY, GREEDY, GREEDY, GREEDY}, generator);
    EXPECT_TRUE(std::equal(opened.scores.begin() + 20, opened.scores.begin() + 24,
                           state.scores()->begin()));
    EXPECT_TRUE(random_opening(MAX_PLACEMENTS, generator).is_terminal());
}

// Plays a lockstep arena to its end, answering bot i's games with answer(state) for every bot whose
// bit is in `callers`, one selection per such bot and round; checks that each selection holds just
// the games waiting for that bot.
template <std::size_t N, class Answer>
void play_lockstep(LockstepArena& arena, std::uint8_t callers, Results<N>& out, Answer&& answer) {
    std::size_t finished = 0;
    while (arena.advance()) {
        EXPECT_GE(arena.finished(), finished);
        finished = arena.finished();
        std::size_t answered = 0;
        for (std::size_t bot = 0; bot < 4; ++bot) {
            if (!(callers >> bot & 1u)) continue;
            const std::size_t n = arena.select(static_cast<std::uint8_t>(1u << bot));
            std::vector<std::int64_t> moves;
            for (std::size_t i = 0; i < n; ++i) {
                const State& state = arena.state(i);
                EXPECT_EQ(bot_at(state.seat(), arena.game_of(i)), bot);
                moves.push_back(static_cast<std::int64_t>(answer(state)));
            }
            ASSERT_FALSE(arena.play(moves).has_value());
            answered += n;
        }
        ASSERT_GT(answered, 0u) << "advance stopped with no game waiting for the caller";
    }
    EXPECT_EQ(arena.finished(), N);
    static_cast<void>(out);
}

// Both arenas open every game with three random placements here.
TEST(LockstepArena, CallerPlayingGreedyGivesTheGamesOfTheEngineArena) {
    constexpr std::size_t GAMES = 9;
    Results<GAMES> expected;
    WorkerPool pool(2);
    play_arena({{GREEDY, GREEDY, RANDOM, GREEDY}, 5, 3}, 0, GAMES, pool, expected.scores.data(),
               expected.seats.data());
    for (const std::size_t window : {1u, 4u, 9u, 50u})
        for (const std::size_t threads : {1u, 2u}) {
            SCOPED_TRACE(testing::Message()
                         << "window " << window << ", " << threads << " threads");
            Results<GAMES> found;
            LockstepArena arena({{GREEDY, CALLER, RANDOM, CALLER}, 5, 3}, 0, GAMES, window, threads,
                                found.scores.data(), found.seats.data());
            EXPECT_EQ(arena.window(), std::min<std::size_t>(window, GAMES));
            play_lockstep(arena, 0b1010, found, [](const State& s) { return *greedy_action(s); });
            EXPECT_EQ(found.scores, expected.scores);
            EXPECT_EQ(found.seats, expected.seats);
        }
    // Games 4 to 8 alone, by an arena that begins at game 4: the last five rows, their seats
    // rotated as their game numbers say.
    constexpr std::size_t FIRST = 4;
    Results<GAMES - FIRST> part;
    LockstepArena arena({{GREEDY, CALLER, RANDOM, CALLER}, 5, 3}, FIRST, GAMES - FIRST, 2, 2,
                        part.scores.data(), part.seats.data());
    play_lockstep(arena, 0b1010, part, [](const State& s) { return *greedy_action(s); });
    EXPECT_TRUE(
        std::equal(part.scores.begin(), part.scores.end(), expected.scores.begin() + 4 * FIRST));
    EXPECT_TRUE(
        std::equal(part.seats.begin(), part.seats.end(), expected.seats.begin() + 4 * FIRST));
}

// Kept histories (of a part that starts at game 3, so by row, not by game) replay to the scores
// written beside them, and a row's tail stays as the caller filled it.
TEST(LockstepArena, KeepsEachGamesMovesWhenAskedTo) {
    constexpr std::size_t GAMES = 5;
    Results<GAMES> results;
    std::vector<std::int32_t> histories(GAMES * MAX_PLACEMENTS, -1);
    LockstepArena arena({{GREEDY, RANDOM, GREEDY, RANDOM}, 2, 1}, 3, GAMES, 2, 2,
                        results.scores.data(), results.seats.data(), histories.data());
    while (arena.advance()) {
    }
    for (std::size_t g = 0; g < GAMES; ++g) {
        SCOPED_TRACE(testing::Message() << "game " << g);
        std::vector<std::uint16_t> moves;
        for (std::size_t i = 0; i < MAX_PLACEMENTS; ++i) {
            const std::int32_t index = histories[g * MAX_PLACEMENTS + i];
            if (index < 0) {
                EXPECT_TRUE(std::all_of(histories.begin() + g * MAX_PLACEMENTS + i,
                                        histories.begin() + (g + 1) * MAX_PLACEMENTS,
                                        [](std::int32_t rest) { return rest == -1; }));
                break;
            }
            moves.push_back(static_cast<std::uint16_t>(index));
        }
        const State::Replay replay = State::from_history(moves);
        ASSERT_FALSE(replay.refused_at.has_value());
        ASSERT_TRUE(replay.state.is_terminal());
        const auto scores = *replay.state.scores();
        EXPECT_TRUE(std::equal(scores.begin(), scores.end(), results.scores.begin() + 4 * g));
    }
}

TEST(LockstepArena, ObserveShowsEachMoverItsPlanesHandsAndLegalMoves) {
    constexpr std::size_t GAMES = 3;
    Results<GAMES> results;
    LockstepArena arena({{CALLER, CALLER, CALLER, CALLER}}, 0, GAMES, GAMES, 2,
                        results.scores.data(), results.seats.data());
    std::mt19937 rng(3);
    for (std::size_t round = 0; arena.advance(); ++round) {
        const std::size_t n = arena.select(0b1111);
        ASSERT_GT(n, 0u);  // every game under way is the caller's
        std::vector<std::uint8_t> planes(n * PLANE_BYTES), hands(n * 4 * NUM_PIECE_TYPES);
        std::vector<std::int8_t> seats(n);
        std::vector<std::int32_t> offsets(n + 1);
        FieldArrays out;
        out.set(Field::Observation, planes.data());
        out.set(Field::Hands, hands.data());
        out.set(Field::Seat, seats.data());
        out.set(Field::LegalOffsets, offsets.data());
        const std::size_t total = arena.observe(out);
        std::vector<std::int32_t> indices(total);
        arena.write_legal_indices(offsets.data(), indices.data());
        ASSERT_EQ(static_cast<std::size_t>(offsets[n]), total);

        std::vector<std::int64_t> moves;
        for (std::size_t i = 0; i < n; ++i) {
            const std::vector<std::int32_t> legal(indices.begin() + offsets[i],
                                                  indices.begin() + offsets[i + 1]);
            ASSERT_FALSE(legal.empty());
            moves.push_back(legal[rng() % legal.size()]);
            if (round % 13 != 0) continue;  // the rules model is slow: check every 13th round
            SCOPED_TRACE(testing::Message() << "round " << round << ", game " << i);
            naive::Model model = model_of(arena.state(i));
            const int seat = static_cast<int>(arena.state(i).seat());
            EXPECT_EQ(seats[i], seat);
            const std::vector<std::uint8_t> seen(planes.begin() + i * PLANE_BYTES,
                                                 planes.begin() + (i + 1) * PLANE_BYTES);
            EXPECT_EQ(seen, model.planes(seat));
            std::vector<std::int32_t> expected;
            const std::vector<std::uint8_t> mask = model.legal(seat);
            for (std::size_t g = 0; g < mask.size(); ++g)
                if (mask[g]) expected.push_back(static_cast<std::int32_t>(g));
            EXPECT_EQ(legal, expected);
            for (int k = 0; k < 4; ++k)
                for (int kind = 0; kind < naive::KINDS; ++kind)
                    EXPECT_EQ(hands[(i * 4 + k) * NUM_PIECE_TYPES + kind],
                              !model.used((seat + k) % 4, kind))
                        << "seat " << (seat + k) % 4 << ", kind " << kind;
        }
        ASSERT_FALSE(arena.play(moves).has_value());
    }
}

TEST(LockstepArena, RefusedMovesLeaveTheirGamesWaiting) {
    constexpr std::size_t GAMES = 3;
    Results<GAMES> results;
    LockstepArena arena({{CALLER, GREEDY, CALLER, GREEDY}}, 0, GAMES, GAMES, 1,
                        results.scores.data(), results.seats.data());
    ASSERT_TRUE(arena.advance());
    // Games 0 and 2 wait for their first move, which must cover the start corner. Game 1 seats
    // greedy bot 3 at seat 0, which has moved, and bot 0 at seat 1.
    ASSERT_EQ(arena.select(0b0101), 3u);
    ASSERT_EQ(arena.state(1).history().size(), 1u);
    const std::int64_t off_corner = grid(MONOMINO, 5, 5);
    const std::int64_t greedy = static_cast<std::int64_t>(*greedy_action(arena.state(1)));
    const std::optional<Refusal> refused =
        arena.play(std::vector<std::int64_t>{-1, greedy, off_corner});
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refused->game, 0u);
    EXPECT_EQ(refused->seat, 0u);
    EXPECT_EQ(refused->action, -1);
    EXPECT_EQ(refused->message, "grid index -1 is outside 0 to 36399");
    EXPECT_EQ(arena.selected(), 0u);

    // The refused games still wait; game 1 has moved on to greedy bot 1 at seat 2.
    ASSERT_EQ(arena.select(0b0101), 2u);
    EXPECT_EQ(arena.game_of(0), 0u);
    EXPECT_EQ(arena.game_of(1), 2u);
    EXPECT_TRUE(arena.state(0).history().empty());
    EXPECT_TRUE(arena.state(1).history().empty());
    const std::optional<Refusal> second =
        arena.play(std::vector<std::int64_t>{grid(MONOMINO, 0, 0), off_corner});
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->game, 2u);
    EXPECT_NE(second->message.find("grid index 105"), std::string::npos) << second->message;
    // After the engine's bots: each game waits for bot 2, which sits at seat 2, 3 and 0.
    ASSERT_TRUE(arena.advance());
    ASSERT_EQ(arena.select(0b0100), 3u);
    const std::array<std::size_t, 3> placed = {2, 3, 0};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(arena.game_of(i), i);
        EXPECT_EQ(arena.state(i).history().size(), placed[i]);
    }
}

}  // namespace
}  // namespace game
