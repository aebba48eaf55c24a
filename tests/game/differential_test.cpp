// Random games checked move by move against a deliberately naive model of the rules: one 20 x 20
// array of owners in a single frame, shapes parsed from their drawings, and legality decided
// cell by cell. Nothing here reads the engine's catalogue, action set or bitboard tricks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "game.hpp"

namespace game {
namespace {

constexpr int N = 20;
constexpr int SEATS = 4;
constexpr int KINDS = 21;
constexpr std::size_t GRID_SIZE = 91 * 400;

// Every orientation in catalogue order, drawn row by row: X filled, dot empty.
constexpr std::array<std::string_view, 91> DRAWINGS = {
    "X",                                                      // monomino
    "XX",          "X/X",                                     // domino
    "XX/X.",       "X./XX",       ".X/XX",       "XX/.X",     // L tromino
    "XXX",         "X/X/X",                                   // I tromino
    ".X./XXX",     "X./XX/X.",    "XXX/.X.",     ".X/XX/.X",  // T tetromino
    "XX/XX",                                                  // O tetromino
    "X../XXX",     "XXX/X..",     "X./X./XX",    "XX/X./X.",  // L tetromino
    "XX/.X/.X",    "XXX/..X",     "..X/XXX",     ".X/.X/XX",
    "XXXX",        "X/X/X/X",                                    // I tetromino
    "X./XX/.X",    ".X/XX/X.",    ".XX/XX.",     "XX./.XX",      // S tetromino
    ".X./XXX/X..", "X../XXX/.X.", "XX./.XX/.X.", ".XX/XX./.X.",  // F pentomino
    "..X/XXX/.X.", ".X./XX./.XX", ".X./XXX/..X", ".X./.XX/XX.",
    ".X./XXX/.X.",                                            // X pentomino
    "XX/XX/X.",    "XX/XX/.X",    "X./XX/XX",    ".X/XX/XX",  // P pentomino
    "XXX/.XX",     ".XX/XXX",     "XXX/XX.",     "XX./XXX",
    "X../XX./.XX", ".XX/XX./X..", "..X/.XX/XX.", "XX./.XX/..X",  // W pentomino
    "X../XXX/..X", "..X/XXX/X..", ".XX/.X./XX.", "XX./.X./.XX",  // Z pentomino
    "XXXX/.X..",   ".X../XXXX",   "XXXX/..X.",   "..X./XXXX",    // Y pentomino
    "X./X./XX/X.", ".X/.X/XX/.X", "X./XX/X./X.", ".X/XX/.X/.X",
    "XXXX/X...",   "X.../XXXX",   "XXXX/...X",   "...X/XXXX",  // L pentomino
    "X./X./X./XX", ".X/.X/.X/XX", "XX/X./X./X.", "XX/.X/.X/.X",
    "X.X/XXX",     "XXX/X.X",     "XX/X./XX",    "XX/.X/XX",     // U pentomino
    ".X./.X./XXX", "X../XXX/X..", "XXX/.X./.X.", "..X/XXX/..X",  // T pentomino
    "XXX/X../X..", "X../X../XXX", "..X/..X/XXX", "XXX/..X/..X",  // V pentomino
    ".XXX/XX..",   "XX../.XXX",   "XXX./..XX",   "..XX/XXX.",    // N pentomino
    "X./X./XX/.X", ".X/.X/XX/X.", ".X/XX/X./X.", "X./XX/.X/.X",
    "XXXXX",       "X/X/X/X/X",  // I pentomino
};

// The orientation index at which each kind's orientations begin, kinds in catalogue order.
constexpr std::array<int, KINDS + 1> FIRST_ORIENTATION = {
    0, 1, 3, 7, 9, 13, 14, 22, 24, 28, 36, 37, 45, 49, 53, 61, 69, 73, 77, 81, 89, 91};

struct Cell {
    int r = 0, c = 0;
};

struct Shape {
    int kind = 0;
    int height = 0, width = 0;
    std::vector<Cell> cells;
};

std::vector<Shape> parse_shapes() {
    std::vector<Shape> shapes;
    for (int o = 0; o < 91; ++o) {
        Shape shape;
        while (FIRST_ORIENTATION[shape.kind + 1] <= o) ++shape.kind;
        int r = 0, c = 0;
        for (char ch : DRAWINGS[o]) {
            if (ch == '/') {
                ++r;
                c = 0;
                continue;
            }
            if (ch == 'X') shape.cells.push_back({r, c});
            ++c;
            shape.width = std::max(shape.width, c);
        }
        shape.height = r + 1;
        shapes.push_back(shape);
    }
    return shapes;
}

const std::vector<Shape>& shapes() {
    static const std::vector<Shape> parsed = parse_shapes();
    return parsed;
}

int kind_cells(int kind) {
    return static_cast<int>(shapes()[FIRST_ORIENTATION[kind]].cells.size());
}

// Seat s keeps its own frame with its start corner at (0, 0); seat 0 sees seat s turned s quarter
// turns clockwise, and a quarter turn clockwise takes (r, c) to (c, 19 - r). The model keeps one
// board, in seat 0's frame.
Cell to_board(int seat, Cell own) {
    switch (seat) {
        case 0:
            return own;
        case 1:
            return {own.c, N - 1 - own.r};
        case 2:
            return {N - 1 - own.r, N - 1 - own.c};
        default:
            return {N - 1 - own.c, own.r};
    }
}

Cell to_own(int seat, Cell board) { return to_board((SEATS - seat) % SEATS, board); }

bool inside(int r, int c) { return r >= 0 && r < N && c >= 0 && c < N; }

class Model {
public:
    Model() {
        for (auto& row : owner_) row.fill(-1);
    }

    // Seat `seat`'s legal grid indices, one byte each, by the rules cell by cell.
    std::vector<std::uint8_t> legal(int seat) const {
        std::vector<std::uint8_t> mask(GRID_SIZE, 0);
        if (done_[seat]) return mask;
        // The board in the seat's own frame: its own cells, and every seat's.
        bool mine[N][N], taken[N][N];
        for (int r = 0; r < N; ++r) {
            for (int c = 0; c < N; ++c) {
                const Cell b = to_board(seat, {r, c});
                taken[r][c] = owner_[b.r][b.c] != -1;
                mine[r][c] = owner_[b.r][b.c] == seat;
            }
        }
        const auto mine_at = [&](int r, int c) { return inside(r, c) && mine[r][c]; };
        bool blocked[N][N], corner[N][N];
        for (int r = 0; r < N; ++r) {
            for (int c = 0; c < N; ++c) {
                blocked[r][c] = taken[r][c] || mine_at(r - 1, c) || mine_at(r + 1, c) ||
                                mine_at(r, c - 1) || mine_at(r, c + 1);
                corner[r][c] = mine_at(r - 1, c - 1) || mine_at(r - 1, c + 1) ||
                               mine_at(r + 1, c - 1) || mine_at(r + 1, c + 1);
            }
        }
        for (int o = 0; o < 91; ++o) {
            const Shape& shape = shapes()[o];
            if (used_[seat][shape.kind]) continue;
            for (int row = 0; row + shape.height <= N; ++row) {
                for (int col = 0; col + shape.width <= N; ++col) {
                    bool ok = true, touches = false, covers_start = false;
                    for (const Cell& cell : shape.cells) {
                        const int r = row + cell.r, c = col + cell.c;
                        ok = ok && !blocked[r][c];
                        touches = touches || corner[r][c];
                        covers_start = covers_start || (r == 0 && c == 0);
                    }
                    const bool is_legal = placed_[seat] == 0 ? covers_start : ok && touches;
                    mask[o * 400 + row * N + col] = is_legal ? 1 : 0;
                }
            }
        }
        return mask;
    }

    // What an observation of `seat` decides: the seat is done once it has nothing legal.
    std::vector<std::uint8_t> observe(int seat) {
        std::vector<std::uint8_t> mask = legal(seat);
        if (placed_[seat] != 0 && std::count(mask.begin(), mask.end(), 1) == 0) done_[seat] = true;
        stale_[seat] = false;
        return mask;
    }

    // Seat `observer`'s planes: plane k at (r, c) is 1 when seat observer + k holds that cell.
    std::vector<std::uint8_t> planes(int observer) const {
        std::vector<std::uint8_t> bytes(4 * N * N, 0);
        for (int k = 0; k < SEATS; ++k)
            for (int r = 0; r < N; ++r)
                for (int c = 0; c < N; ++c) {
                    const Cell b = to_board(observer, {r, c});
                    bytes[(k * N + r) * N + c] = owner_[b.r][b.c] == (observer + k) % SEATS;
                }
        return bytes;
    }

    void place(int seat, std::size_t g) {
        ASSERT_LT(g, GRID_SIZE);
        ASSERT_EQ(legal(seat)[g], 1) << "seat " << seat << " played grid index " << g;
        const int o = static_cast<int>(g / 400), row = static_cast<int>(g % 400) / N,
                  col = static_cast<int>(g % N);
        const Shape& shape = shapes()[o];
        for (const Cell& cell : shape.cells) {
            const Cell b = to_board(seat, {row + cell.r, col + cell.c});
            owner_[b.r][b.c] = seat;
        }
        used_[seat][shape.kind] = true;
        last_kind_[seat] = shape.kind;
        ++placed_[seat];
        stale_.fill(true);
    }

    // The score of a done seat, from the cells it still holds.
    int score(int seat) const {
        int left = 0;
        for (int kind = 0; kind < KINDS; ++kind)
            if (!used_[seat][kind]) left += kind_cells(kind);
        if (left != 0) return -left;
        return last_kind_[seat] == 0 ? 20 : 15;
    }

    int owner(int r, int c) const { return owner_[r][c]; }
    bool used(int seat, int kind) const { return used_[seat][kind]; }
    int placed(int seat) const { return placed_[seat]; }
    int last_kind(int seat) const { return last_kind_[seat]; }
    bool done(int seat) const { return done_[seat]; }
    bool stale(int seat) const { return stale_[seat]; }
    bool all_done() const { return done_[0] && done_[1] && done_[2] && done_[3]; }

private:
    std::array<std::array<int, N>, N> owner_{};
    std::array<std::array<bool, KINDS>, SEATS> used_{};
    std::array<int, SEATS> placed_{};
    std::array<int, SEATS> last_kind_{-1, -1, -1, -1};
    std::array<bool, SEATS> done_{};
    std::array<bool, SEATS> stale_{};
};

std::string describe(std::size_t g) {
    std::ostringstream out;
    out << g << " (orientation " << g / 400 << ", row " << g % 400 / 20 << ", col " << g % 20
        << ")";
    return out.str();
}

testing::AssertionResult same_mask(const Bytes& engine, const std::vector<std::uint8_t>& model) {
    if (engine.size() != model.size())
        return testing::AssertionFailure() << "mask has " << engine.size() << " bytes";
    testing::AssertionResult result = testing::AssertionSuccess();
    int shown = 0;
    for (std::size_t g = 0; g < model.size(); ++g) {
        if (engine[g] == model[g]) continue;
        if (shown == 0) result = testing::AssertionFailure();
        if (shown++ < 8)
            result << "\n  grid index " << describe(g) << ": engine " << int{engine[g]}
                   << ", rules " << int{model[g]};
    }
    if (shown > 8) result << "\n  ... " << shown << " differences in all";
    return result;
}

testing::AssertionResult same_planes(const Bytes& engine, const std::vector<std::uint8_t>& model) {
    if (engine.size() != model.size())
        return testing::AssertionFailure() << "planes have " << engine.size() << " bytes";
    for (std::size_t i = 0; i < model.size(); ++i)
        if (engine[i] != model[i])
            return testing::AssertionFailure()
                   << "plane " << i / 400 << " row " << i % 400 / 20 << " col " << i % 20
                   << ": engine " << int{engine[i]} << ", rules " << int{model[i]};
    return testing::AssertionSuccess();
}

bool same_state(const Game& a, const Game& b) {
    for (std::size_t s = 0; s < NUM_AGENTS; ++s) {
        const Agent &x = a.agents[s], &y = b.agents[s];
        if (!(x.available_pieces == y.available_pieces && x.board == y.board &&
              x.action_mask == y.action_mask && x.mask_stale == y.mask_stale && x.done == y.done &&
              x.last_piece == y.last_piece && x.pieces_placed == y.pieces_placed &&
              a.align_boards(s) == b.align_boards(s)))
            return false;
    }
    return a.agent_selection == b.agent_selection;
}

// Observes `seat` in both and compares what the engine shows with what the rules say.
std::vector<std::uint8_t> observe_both(Game& game, Model& model, int seat) {
    const Observation view = game.observe(static_cast<std::size_t>(seat));
    std::vector<std::uint8_t> mask = model.observe(seat);
    EXPECT_TRUE(same_mask(view.action_mask, mask)) << "observing seat " << seat;
    EXPECT_TRUE(same_planes(view.observation, model.planes(seat))) << "observing seat " << seat;
    EXPECT_EQ(game.agents[seat].done, model.done(seat)) << "seat " << seat;
    EXPECT_FALSE(game.agents[seat].mask_stale) << "seat " << seat;
    return mask;
}

// The engine's state agrees with the model's after every turn.
void check_invariants(const Game& game, const Model& model) {
    for (int seat = 0; seat < SEATS; ++seat) {
        SCOPED_TRACE(testing::Message() << "seat " << seat);
        const Agent& agent = game.agents[seat];
        // Each seat's board, in its own frame, holds exactly the cells the model gives it; since
        // the model has one owner per cell, no two seats overlap.
        for (int r = 0; r < N; ++r)
            for (int c = 0; c < N; ++c) {
                const Cell b = to_board(seat, {r, c});
                ASSERT_EQ(agent.board.test(cell_index(r, c)), model.owner(b.r, b.c) == seat)
                    << "own cell (" << r << ", " << c << ")";
            }
        EXPECT_TRUE((agent.board & ~VALID_CELLS).is_empty());
        if (model.placed(seat) > 0) {
            EXPECT_EQ(model.owner(to_board(seat, {0, 0}).r, to_board(seat, {0, 0}).c), seat);
        }
        EXPECT_EQ(agent.pieces_placed, model.placed(seat));
        for (int kind = 0; kind < KINDS; ++kind)
            EXPECT_EQ(agent.available_pieces.contains(ALL_PIECE_TYPES[kind]),
                      !model.used(seat, kind))
                << "kind " << kind;
        if (model.placed(seat) == 0) {
            EXPECT_FALSE(agent.last_piece.has_value());
        } else {
            EXPECT_EQ(agent.last_piece, ALL_PIECE_TYPES[model.last_kind(seat)]);
        }
        EXPECT_EQ(agent.done, model.done(seat));
        EXPECT_EQ(agent.mask_stale, model.stale(seat));
        const std::optional<std::int16_t> reward = game.rewards()[seat];
        ASSERT_EQ(reward.has_value(), model.done(seat));
        if (reward) {
            EXPECT_EQ(*reward, model.score(seat));
        }
    }
}

// Plays one game to the end with a uniform random legal policy, checking every observation and
// every turn against the model.
void play_and_check(std::uint32_t seed) {
    std::mt19937 rng(seed);
    const auto chance = [&](unsigned one_in) { return rng() % one_in == 0; };
    Game game;
    Model model;

    int turns = 0;
    for (; !model.all_done(); ++turns) {
        // 4 seats x 21 pieces, plus one pass per seat once it is done.
        ASSERT_LT(turns, 4 * 22 + 4) << "the game does not end";
        const int seat = static_cast<int>(game.agent_selection);
        ASSERT_EQ(seat, turns % SEATS);

        if (chance(4)) observe_both(game, model, (seat + 1 + static_cast<int>(rng() % 3)) % SEATS);
        if (game.agents[seat].done) {
            if (chance(3)) observe_both(game, model, seat);
            ASSERT_FALSE(game.step(std::nullopt));
            continue;
        }

        // A stale seat that has placed a piece is refused until it has been observed.
        if (model.stale(seat) && model.placed(seat) > 0 && chance(8)) {
            const Game before = game;
            const std::optional<InvalidAction> refusal = game.step(rng() % GRID_SIZE);
            ASSERT_TRUE(refusal.has_value());
            EXPECT_EQ(refusal->message, "Action mask is stale, call observe() first!");
            EXPECT_TRUE(same_state(game, before));
        }

        // A seat that has not placed anything may move without looking.
        std::vector<std::uint8_t> mask = model.placed(seat) == 0 && chance(2)
                                             ? model.legal(seat)
                                             : observe_both(game, model, seat);
        if (::testing::Test::HasFailure()) return;

        std::vector<std::size_t> legal;
        for (std::size_t g = 0; g < GRID_SIZE; ++g)
            if (mask[g]) legal.push_back(g);
        if (legal.empty()) {
            ASSERT_TRUE(game.agents[seat].done);
            ASSERT_FALSE(game.step(std::nullopt));
            continue;
        }
        if (chance(8)) {
            const Game before = game;
            std::size_t g = rng() % GRID_SIZE;
            while (mask[g]) g = rng() % GRID_SIZE;
            const std::optional<InvalidAction> refusal = game.step(g);
            ASSERT_TRUE(refusal.has_value()) << "accepted " << describe(g);
            EXPECT_EQ(refusal->message, "Action index not available");
            EXPECT_TRUE(same_state(game, before));
        }
        const std::size_t g =
            legal[std::uniform_int_distribution<std::size_t>(0, legal.size() - 1)(rng)];
        const std::optional<InvalidAction> refusal = game.step(g);
        ASSERT_FALSE(refusal.has_value()) << refusal->message << " for " << describe(g);
        model.place(seat, g);
        check_invariants(game, model);
        if (::testing::Test::HasFailure()) return;
    }

    check_invariants(game, model);
    for (int seat = 0; seat < SEATS; ++seat) {
        ASSERT_TRUE(game.agents[seat].done);
        const std::optional<std::int16_t> reward = game.rewards()[seat];
        ASSERT_TRUE(reward.has_value());
        EXPECT_TRUE((*reward >= -88 && *reward <= -1) || *reward == 15 || *reward == 20) << *reward;
    }
    // A finished game only passes turns.
    const Game finished = game;
    for (int i = 0; i < SEATS; ++i) EXPECT_FALSE(game.step(rng() % (GRID_SIZE + 1)));
    EXPECT_TRUE(same_state(game, finished));
}

TEST(RandomGames, ShapeTableMatchesTheCatalogueFigures) {
    // The model's own table, checked against the figures of the piece catalogue before it is
    // trusted as the reference: 89 cells in 21 kinds, and 30,433 placements on the board.
    int cells = 0;
    for (int kind = 0; kind < KINDS; ++kind) cells += kind_cells(kind);
    EXPECT_EQ(cells, 89);
    int placements = 0;
    for (const Shape& shape : shapes()) {
        placements += (N + 1 - shape.height) * (N + 1 - shape.width);
        EXPECT_EQ(static_cast<int>(shape.cells.size()), kind_cells(shape.kind));
    }
    EXPECT_EQ(placements, 30433);
    for (int seat = 0; seat < SEATS; ++seat)
        for (int r = 0; r < N; ++r)
            for (int c = 0; c < N; ++c) {
                const Cell back = to_own(seat, to_board(seat, {r, c}));
                EXPECT_TRUE(back.r == r && back.c == c);
            }
}

// 200 games by default; TAVLOK_DIFFERENTIAL_GAMES=N plays N for a longer run on demand.
std::uint32_t differential_games() {
    const char* text = std::getenv("TAVLOK_DIFFERENTIAL_GAMES");
    const long n = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    return n > 0 ? static_cast<std::uint32_t>(n) : 200;
}

TEST(RandomGames, EngineAgreesWithTheRulesAtEveryObservation) {
    const std::uint32_t games = differential_games();
    for (std::uint32_t seed = 1; seed <= games; ++seed) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        play_and_check(seed);
        if (HasFailure()) return;
    }
}

}  // namespace
}  // namespace game
