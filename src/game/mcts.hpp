// A search bot: Monte-Carlo tree search (UCT) over State, for four seats.
//
// Each iteration walks down the tree from the position to move, choosing children by UCB1, adds
// one node, plays the game out to the end with a cheap policy and adds the final outcome to every
// node on the way back up. The outcome is a vector with one number per seat; every node keeps
// the sum for the seat that made the move into it, so each seat picks the moves that are best
// for itself (max-n), not worst for one opponent.
//
// The outcome of a finished game for seat s, in [0, 1]:
//     (1 - score_weight) * win share  +  score_weight * margin,
// where the win share is 1/k when s is one of the k seats with the best score and 0 otherwise,
// and the margin is s's score minus the best score among the others, mapped linearly from
// [-MARGIN_SPAN, +MARGIN_SPAN] onto [0, 1] and clipped. Winning is what the bot is judged on,
// but with a few hundred playouts a move the win share alone is too coarse to separate moves
// that all lose (or all win) in most playouts; the margin keeps ranking them by how close they
// come, and keeps the bot scoring once the winner is settled. Measured against three greedy
// bots, the win rate is the same with the margin as without, and the mean score higher.
//
// The game has hundreds of legal moves at most turns, too many to try each even once. When a node
// is expanded its moves are ordered by the greedy bot's rule (largest piece first, then the most
// corners opened for the mover and taken from the others: GreedyScore), and only the first
// MAX_CHILDREN are kept. Selection then looks at the first 1 + widening * sqrt(visits) of them
// (progressive widening): the search starts from greedy's move and considers the next ones as
// the node earns visits. With no playout at all the bot plays greedy's move. With a prior (the net
// bot's network), the moves kept at the root are put in the order of the net's scores instead, so
// that the search starts from the net's move and widens in the net's order.
//
// Deterministic: with a playout budget the chosen move depends only on the position, the options
// and the seed (the random source of a search is seeded from the seed and the position's hash), so
// a Mcts object gives the same move as a fresh one. A millisecond budget, and a stop hook, end the
// search at a time that depends on the machine.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "game/alloc.hpp"
#include "game/bots.hpp"
#include "game/net.hpp"
#include "game/state.hpp"

namespace game {

// How a playout chooses the moves from a new node to the end of the game.
enum class PlayoutKind : std::uint8_t {
    // Uniform over the legal placements (random_action).
    Random,
    // Uniform over the legal placements of the largest pieces in hand: a random player that
    // plays as every sensible one does, big pieces while there is room for them. The default.
    Largest,
    // greedy_action for every seat: it plays like a reasonable opponent, so one playout says
    // more, but it costs over ten times as much. It wins nearly every game against greedy bots,
    // whose moves it foresees exactly, yet loses to a search with Largest playouts given the same
    // time.
    Greedy,
};

const char* name(PlayoutKind kind);
std::optional<PlayoutKind> playout_named(std::string_view name);

enum class BudgetKind : std::uint8_t { Playouts, Milliseconds };

struct MctsOptions {
    // The default: 1000 playouts of the Largest kind, 35 to 45 ms of one core a move on average
    // (80 to 120 ms for the first moves, where playouts are longest), which win nine games in ten
    // against three greedy bots; bench/mcts_bench.cpp measures both. A playout budget keeps a
    // seeded game the same on every machine and under any load.
    BudgetKind budget_kind = BudgetKind::Playouts;
    std::size_t budget = 1000;
    // The C of UCB1, mean outcome + C * sqrt(ln(parent visits) / visits), on outcomes in [0, 1].
    // Moves come in greedy's order and the first ones are usually the best, so the search can
    // afford to explore little.
    double exploration = 0.25;
    PlayoutKind playout = PlayoutKind::Largest;
    // Progressive widening (see the top of this file); negative counts as 0.
    double widening = 1.0;
    // The weight of the score margin against the win share in the outcome backed up.
    double score_weight = 0.5;
    // A net whose scores order the moves of the position searched: the moves the search tries
    // first and those that progressive widening comes to first. Null: greedy's order. It pays
    // at small budgets only: against plain searches at 5 ms a move it takes 55.6 % of the wins
    // (+-4.6 %, 400 games of two of each), at 20 ms 51.1 %.
    std::shared_ptr<const NetWeights> prior{};
    std::uint64_t seed = 0;
};

// Asked between playouts, about once a millisecond of search (and before the first one):
// returning true ends the search, which then answers with the best move found so far. The caller
// can interrupt a long search with it, from a flag that another thread or a signal handler sets.
// An exception thrown by the hook leaves the search and reaches the caller of search().
using StopHook = std::function<bool()>;

struct MctsResult {
    // Nothing once the game is over; otherwise a legal placement for the seat to move.
    std::optional<std::size_t> action;
    std::size_t playouts = 0;
    std::size_t nodes = 0;
    // Whether the stop hook ended the search.
    bool stopped = false;
};

// A search that keeps its node storage from one move to the next: a bot that plays a whole game
// allocates once. One Mcts serves one thread at a time.
class Mcts {
public:
    // No more than this many moves are kept per node.
    static constexpr std::size_t MAX_CHILDREN = MAX_CANDIDATES;
    // The most nodes a tree holds (20 MiB), reached only under a millisecond budget or a playout
    // budget of over 16,000; once it is full the search goes on with playouts from the nodes it
    // has.
    static constexpr std::size_t MAX_NODES = std::size_t{1} << 20;
    // Score differences (in cells) that map to the ends of the margin's range.
    static constexpr double MARGIN_SPAN = 40;

    explicit Mcts(const MctsOptions& options = {});

    // Searches the position and returns the move to play. Once the game is over there is none;
    // with one legal move it is returned without search.
    MctsResult search(const State& state, const StopHook& stop = {});

    // After a search, the moves it considered at the position searched (those of
    // best_greedy_keys), in greedy's order, each with the playouts that began with it: f(grid
    // index, playouts). None after the search of a finished game.
    template <class F>
    void for_each_root_move(F&& f) const {
        if (nodes_.empty()) return;
        const Node& root = nodes_[0];
        for (std::uint32_t c = root.first_child; c < root.first_child + root.num_children; ++c)
            f(std::size_t{nodes_[c].move}, std::size_t{nodes_[c].visits});
    }

private:
    struct Node {
        std::uint32_t first_child = 0;
        std::uint16_t num_children = 0;
        std::uint16_t move = 0;  // the grid index played to reach this node
        std::uint32_t visits = 0;
        float value = 0;         // the sum of the outcomes of `mover`
        std::uint8_t mover = 0;  // the seat that played `move`
        bool expanded = false;
    };
    static_assert(sizeof(Node) == 20);
    using Outcome = std::array<double, NUM_AGENTS>;

    void iterate(const State& root);
    void expand(std::uint32_t node, const State& state);
    // Puts the moves in ranked_ in the order of the prior's scores, the highest first.
    void order_by_prior(const State& state);
    std::uint32_t select(const Node& node) const;
    // Plays the game on to its end.
    void playout(State& state);
    std::size_t best_child() const;

    MctsOptions options_;
    Vec<Node> nodes_;
    Vec<std::uint32_t> path_;
    // Scratch for expand: the moves kept, by their order keys.
    Candidates ranked_;
    // Scratch for order_by_prior.
    NetInputs prior_inputs_;
    std::size_t capacity_ = 0;
    std::uint64_t random_ = 0;
};

// What a search backs up from a finished game with these final scores, seat by seat (see the
// top of this file).
std::array<double, NUM_AGENTS> search_outcome(const std::array<std::int16_t, NUM_AGENTS>& scores,
                                              double score_weight);

}  // namespace game
