#include "game/net.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <tuple>
#include <vector>

#include "support/drivers.hpp"
#include "support/naive_model.hpp"

namespace game {
namespace {

using namespace support;
using naive::Cell;
using naive::N;

// The features of every candidate, written out plainly on the rules model in seat 0's frame:
// corner cells found cell by cell, distances from coordinates.
class NaiveFeatures {
public:
    NaiveFeatures(const State& state) : model_(model_of(state)), state_(state) {
        mover_ = static_cast<int>(state.seat());
        const std::vector<std::uint8_t> legal = model_.legal(mover_);
        // Greedy's order: the most cells, then the highest score, then the lowest grid index.
        std::vector<std::tuple<int, int, std::size_t>> ranked;
        for (std::size_t g = 0; g < legal.size(); ++g)
            if (legal[g]) {
                const Placed p = place(g);
                ranked.emplace_back(-static_cast<int>(p.cells.size()),
                                    -(count(p.after, &NaiveFeatures::corner, mover_) +
                                      covered(p, 1) + covered(p, 2) + covered(p, 3)),
                                    g);
            }
        std::sort(ranked.begin(), ranked.end());
        for (std::size_t i = 0; i < std::min<std::size_t>(ranked.size(), MAX_CANDIDATES); ++i)
            candidates_.push_back(std::get<2>(ranked[i]));
    }

    const std::vector<std::size_t>& candidates() const { return candidates_; }

    std::array<float, NET_FEATURES> features(std::size_t rank) const {
        const naive::Owners& before = model_.owners();
        const Placed p = place(candidates_[rank]);
        std::array<float, NET_FEATURES> f{};
        f[naive::shapes()[candidates_[rank] / 400].kind] = 1;
        float* x = f.data() + NUM_PIECE_TYPES;
        const auto kept = [&](const naive::Owners& o, Pred pred, int seat) {
            std::vector<Cell> cells;
            for (int r = 0; r < N; ++r)
                for (int c = 0; c < N; ++c)
                    if ((this->*pred)(o, seat, r, c)) cells.push_back({r, c});
            return cells;
        };
        const std::vector<Cell> corners_before = kept(before, &NaiveFeatures::corner, mover_);
        const std::vector<Cell> corners_after = kept(p.after, &NaiveFeatures::corner, mover_);
        const auto among = [](const std::vector<Cell>& cells, const std::vector<Cell>& in) {
            return static_cast<float>(std::count_if(cells.begin(), cells.end(), [&](Cell c) {
                return std::count(in.begin(), in.end(), c) > 0;
            }));
        };
        *x++ = static_cast<float>(p.cells.size()) / 5;
        *x++ = static_cast<float>(rank) / 64;
        *x++ = static_cast<float>(corners_after.size()) / 20;
        *x++ = (static_cast<float>(corners_after.size()) - among(corners_after, corners_before)) /
               10;
        *x++ = (static_cast<float>(corners_before.size()) - among(corners_before, corners_after)) /
               10;
        for (int k = 1; k < 4; ++k) *x++ = static_cast<float>(covered(p, k)) / 4;
        for (int k = 1; k < 4; ++k)
            *x++ = among(p.cells, around(kept(before, &NaiveFeatures::corner, seat(k)))) / 5;
        int touch_others = 0, touch_own = 0;
        for (int r = 0; r < N; ++r)
            for (int c = 0; c < N; ++c) {
                const int o = before[r][c];
                touch_others += o != naive::EMPTY && o != mover_ && beside(p.cells, r, c, 1, 0);
                touch_own += o == mover_ && beside(p.cells, r, c, 0, 1);
            }
        *x++ = static_cast<float>(touch_others) / 10;
        *x++ = static_cast<float>(touch_own) / 4;
        // Reach is measured in the mover's own frame, where its corner is (0, 0).
        const auto reach = [&](const std::vector<Cell>& cells) {
            int most = 0;
            for (const Cell c : cells) {
                const Cell own = naive::to_own(mover_, c);
                most = std::max(most, own.r + own.c);
            }
            return most;
        };
        const int reach_before = reach(kept(before, &NaiveFeatures::mine, mover_));
        *x++ = static_cast<float>(reach(p.cells)) / 38;
        *x++ = static_cast<float>(std::max(0, reach(p.cells) - reach_before)) / 10;
        int centre = N;
        for (const Cell c : p.cells)
            centre = std::min(centre, std::max(line_to_centre(c.r), line_to_centre(c.c)));
        *x++ = static_cast<float>(centre) / 9;
        *x++ = among(kept(p.after, &NaiveFeatures::open, mover_), around(corners_after)) / 50;
        // The position's.
        std::array<int, 4> cells{};
        for (int r = 0; r < N; ++r)
            for (int c = 0; c < N; ++c)
                if (before[r][c] != naive::EMPTY) ++cells[before[r][c]];
        int most_others = 0;
        for (int k = 1; k < 4; ++k) most_others = std::max(most_others, cells[seat(k)]);
        *x++ = static_cast<float>(model_.placed(mover_)) / 21;
        *x++ = static_cast<float>(state_.history().size()) / 84;
        *x++ = static_cast<float>(corners_before.size()) / 20;
        *x++ = static_cast<float>(400 - cells[0] - cells[1] - cells[2] - cells[3]) / 400;
        *x++ = static_cast<float>(cells[mover_] - most_others) / 20;
        *x++ = static_cast<float>(candidates_.size()) / 64;
        EXPECT_EQ(x, f.data() + f.size());
        return f;
    }

private:
    using Pred = bool (NaiveFeatures::*)(const naive::Owners&, int, int, int) const;
    struct Placed {
        std::vector<Cell> cells;  // in seat 0's frame
        naive::Owners after;
    };

    int seat(int k) const { return (mover_ + k) % 4; }
    static int line_to_centre(int x) { return x < 9 ? 9 - x : x > 10 ? x - 10 : 0; }
    static int at(const naive::Owners& o, int r, int c) {
        return r < 0 || c < 0 || r >= N || c >= N ? -2 : o[r][c];
    }
    bool mine(const naive::Owners& o, int seat, int r, int c) const { return o[r][c] == seat; }
    bool open(const naive::Owners& o, int seat, int r, int c) const {
        return o[r][c] == naive::EMPTY && at(o, r - 1, c) != seat && at(o, r + 1, c) != seat &&
               at(o, r, c - 1) != seat && at(o, r, c + 1) != seat;
    }
    bool corner(const naive::Owners& o, int seat, int r, int c) const {
        return open(o, seat, r, c) && (at(o, r - 1, c - 1) == seat || at(o, r - 1, c + 1) == seat ||
                                       at(o, r + 1, c - 1) == seat || at(o, r + 1, c + 1) == seat);
    }
    // Whether (r, c) is one step from a cell of `cells`: by an edge (edges 1) or a corner
    // (corners 1).
    static bool beside(const std::vector<Cell>& cells, int r, int c, int edges, int corners) {
        return std::any_of(cells.begin(), cells.end(), [&](Cell x) {
            const int dr = std::abs(x.r - r), dc = std::abs(x.c - c);
            return (edges && dr + dc == 1) || (corners && dr == 1 && dc == 1);
        });
    }
    // The cells on or next to (by an edge or a corner) a cell of `cells`.
    static std::vector<Cell> around(const std::vector<Cell>& cells) {
        std::vector<Cell> out;
        for (int r = 0; r < N; ++r)
            for (int c = 0; c < N; ++c)
                if (std::any_of(cells.begin(), cells.end(), [&](Cell x) {
                        return std::abs(x.r - r) <= 1 && std::abs(x.c - c) <= 1;
                    }))
                    out.push_back({r, c});
        return out;
    }
    int count(const naive::Owners& o, Pred pred, int seat) const {
        int n = 0;
        for (int r = 0; r < N; ++r)
            for (int c = 0; c < N; ++c) n += (this->*pred)(o, seat, r, c);
        return n;
    }
    int covered(const Placed& p, int k) const {
        return static_cast<int>(std::count_if(p.cells.begin(), p.cells.end(), [&](Cell c) {
            return corner(model_.owners(), seat(k), c.r, c.c);
        }));
    }
    Placed place(std::size_t g) const {
        Placed p{{}, model_.owners()};
        for (const Cell own : naive::cells_of(g)) {
            p.cells.push_back(naive::to_board(mover_, own));
            p.after[p.cells.back().r][p.cells.back().c] = mover_;
        }
        return p;
    }

    naive::Model model_;
    const State& state_;
    int mover_ = 0;
    std::vector<std::size_t> candidates_;
};

TEST(Net, FeaturesFollowTheirDefinitionsOnPlayedPositions) {
    NetInputs inputs;
    for (const unsigned seed : {1u, 2u})
        for (const std::size_t placements : {0u, 5u, 22u, 41u, 57u}) {
            const State state = random_state(seed, placements);
            if (state.is_terminal()) continue;
            SCOPED_TRACE(testing::Message() << "seed " << seed << ", " << placements << " moves");
            net_inputs(state, inputs);
            const NaiveFeatures naive(state);
            ASSERT_EQ(inputs.size(), naive.candidates().size());
            for (std::size_t i = 0; i < inputs.size(); ++i) {
                ASSERT_EQ(inputs.grid_index(i), naive.candidates()[i]) << "candidate " << i;
                const std::array<float, NET_FEATURES> expected = naive.features(i);
                for (std::size_t j = 0; j < NET_FEATURES; ++j)
                    ASSERT_FLOAT_EQ(inputs.row(i)[j], expected[j])
                        << net_feature_name(j) << " of candidate " << i;
            }
        }
    net_inputs(random_state(1), inputs);
    EXPECT_EQ(inputs.size(), 0u);
}

}  // namespace
}  // namespace game
