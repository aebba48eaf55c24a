#include "game/mcts.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <numeric>

#include "game/bots.hpp"
#include "game/cpu.hpp"
#include "game/random.hpp"

namespace game {

namespace {

using Clock = std::chrono::steady_clock;

// How often a running search asks its stop hook: often enough that an interrupt is felt at
// once, rarely enough that a hook which takes a lock or reads the clock costs nothing.
constexpr auto STOP_CHECK_INTERVAL = std::chrono::milliseconds(1);

// By PlayoutKind.
constexpr std::array<const char*, 3> PLAYOUT_NAMES = {"random", "largest", "greedy"};

// Moves come from legal masks, so a refusal is a fault of the search, never of the caller.
void play(State& state, std::size_t move) {
    if (const std::optional<InvalidAction> refused = state.apply(move))
        fatal("the search chose an illegal move: " + refused->message);
}

// A uniform choice among the legal placements of the largest pieces in hand.
std::size_t largest_piece_action(const State& state, std::uint64_t key) {
    const ActionMask legal = state.legal_mask();
    return legal.grid_at_fraction(key, largest_orientations(legal));
}

}  // namespace

std::array<double, NUM_AGENTS> search_outcome(const std::array<std::int16_t, NUM_AGENTS>& scores,
                                              double score_weight) {
    std::array<double, NUM_AGENTS> outcome;
    for (std::size_t s = 0; s < NUM_AGENTS; ++s) {
        int best_other = std::numeric_limits<int>::min();
        for (std::size_t t = 0; t < NUM_AGENTS; ++t)
            if (t != s) best_other = std::max<int>(best_other, scores[t]);
        const double margin =
            std::clamp(0.5 + (scores[s] - best_other) / (2 * Mcts::MARGIN_SPAN), 0.0, 1.0);
        outcome[s] = (1 - score_weight) * win_share(scores, s) + score_weight * margin;
    }
    return outcome;
}

const char* name(PlayoutKind kind) { return PLAYOUT_NAMES[static_cast<std::size_t>(kind)]; }

std::optional<PlayoutKind> playout_named(std::string_view name) {
    for (std::size_t i = 0; i < PLAYOUT_NAMES.size(); ++i)
        if (name == PLAYOUT_NAMES[i]) return static_cast<PlayoutKind>(i);
    return std::nullopt;
}

Mcts::Mcts(const MctsOptions& options) : options_(options) {
    path_.reserve(MAX_PLACEMENTS + 1);
}

MctsResult Mcts::search(const State& state, const StopHook& stop) {
    MctsResult result;
    nodes_.clear();
    if (state.is_terminal()) return result;

    const bool timed = options_.budget_kind == BudgetKind::Milliseconds;
    // Every iteration adds at most one node's children.
    capacity_ = timed || options_.budget >= MAX_NODES / MAX_CHILDREN
                    ? MAX_NODES
                    : (options_.budget + 1) * MAX_CHILDREN + 1;
    nodes_.reserve(capacity_);
    nodes_.push_back(Node{});
    expand(0, state);
    random_ = options_.seed ^ state.hash();

    const Clock::time_point start = Clock::now();
    // A week is as good as forever, and keeps the deadline within the clock's range.
    const Clock::time_point deadline =
        start + std::chrono::milliseconds(std::min<std::size_t>(options_.budget, 7 * 86'400'000));
    Clock::time_point next_stop_check = start;
    // One legal move needs no search.
    while (nodes_[0].num_children > 1) {
        if (!timed && result.playouts >= options_.budget) break;
        if (timed || stop) {
            const Clock::time_point now = Clock::now();
            if (timed && now >= deadline) break;
            if (stop && now >= next_stop_check) {
                if (stop()) {
                    result.stopped = true;
                    break;
                }
                next_stop_check = now + STOP_CHECK_INTERVAL;
            }
        }
        iterate(state);
        ++result.playouts;
    }
    result.action = nodes_[best_child()].move;
    result.nodes = nodes_.size();
    return result;
}

void Mcts::iterate(const State& root) {
    State state = root;
    path_.clear();
    std::uint32_t node = 0;
    path_.push_back(node);
    for (;;) {
        if (!nodes_[node].expanded) {
            // A new node is played out once before it is expanded: most nodes are visited only
            // once, and their children would never be looked at.
            if (nodes_[node].visits == 0) break;
            expand(node, state);
        }
        if (nodes_[node].num_children == 0) break;  // the game is over, or the storage is full
        node = select(nodes_[node]);
        play(state, nodes_[node].move);
        path_.push_back(node);
    }
    if (!state.is_terminal()) playout(state);
    const Outcome result = search_outcome(*state.scores(), options_.score_weight);
    for (const std::uint32_t n : path_) {
        Node& visited = nodes_[n];
        ++visited.visits;
        visited.value += static_cast<float>(result[visited.mover]);
    }
}

void Mcts::expand(std::uint32_t node, const State& state) {
    nodes_[node].expanded = true;
    if (state.is_terminal()) return;
    const std::size_t room = std::min(MAX_CHILDREN, capacity_ - nodes_.size());
    if (room == 0) return;  // the storage is full: playouts from here on
    best_greedy_keys(state, room, ranked_);
    // Only at the root, where most playouts go: ordering the nodes below too gained nothing more
    // at equal playouts and cost playouts at equal time.
    if (options_.prior && node == 0) order_by_prior(state);
    const std::size_t kept = ranked_.size;
    nodes_[node].first_child = static_cast<std::uint32_t>(nodes_.size());
    nodes_[node].num_children = static_cast<std::uint16_t>(kept);
    const auto mover = static_cast<std::uint8_t>(state.seat());
    for (std::size_t i = 0; i < kept; ++i) {
        Node child;
        child.move = static_cast<std::uint16_t>(grid_index_of(ranked_.keys[i]));
        child.mover = mover;
        nodes_.push_back(child);
    }
}

void Mcts::order_by_prior(const State& state) {
    prior_inputs_.candidates = ranked_;
    describe_candidates(state, prior_inputs_);
    std::array<float, MAX_CANDIDATES> scores;
    net_scores(*options_.prior, prior_inputs_, scores.data());
    std::array<std::uint8_t, MAX_CANDIDATES> order;
    const auto end = order.begin() + static_cast<std::ptrdiff_t>(ranked_.size);
    std::iota(order.begin(), end, std::uint8_t{0});
    // Equal scores keep greedy's order.
    std::stable_sort(order.begin(), end, [&](std::uint8_t a, std::uint8_t b) {
        return scores[a] > scores[b];
    });
    for (std::size_t i = 0; i < ranked_.size; ++i)
        ranked_.keys[i] = prior_inputs_.candidates.keys[order[i]];
}

std::uint32_t Mcts::select(const Node& node) const {
    const std::size_t widened = 1 + static_cast<std::size_t>(std::max(
                                        0.0, options_.widening * std::sqrt(double(node.visits))));
    const std::size_t considered = std::min<std::size_t>(node.num_children, widened);
    const double log_visits = std::log(double(node.visits));
    std::uint32_t best = node.first_child;
    double best_bound = -std::numeric_limits<double>::infinity();
    for (std::uint32_t c = node.first_child; c < node.first_child + considered; ++c) {
        const Node& child = nodes_[c];
        // Untried moves come first, in greedy's order.
        if (child.visits == 0) return c;
        const double n = child.visits;
        const double bound = child.value / n + options_.exploration * std::sqrt(log_visits / n);
        if (bound > best_bound) {
            best = c;
            best_bound = bound;
        }
    }
    return best;
}

void Mcts::playout(State& state) {
    while (!state.is_terminal()) {
        std::size_t move = 0;
        switch (options_.playout) {
            case PlayoutKind::Random:
                move = *random_action(state, splitmix64_next(random_));
                break;
            case PlayoutKind::Largest:
                move = largest_piece_action(state, splitmix64_next(random_));
                break;
            case PlayoutKind::Greedy:
                move = *greedy_action(state);
                break;
        }
        play(state, move);
    }
}

std::size_t Mcts::best_child() const {
    // The most visited move: its mean is the best supported. Ties go to the better mean, then to
    // the earlier move in greedy's order, which is also the answer when nothing was played out.
    const Node& root = nodes_[0];
    std::size_t best = root.first_child;
    for (std::size_t c = root.first_child + 1; c < root.first_child + root.num_children; ++c) {
        const Node &a = nodes_[c], &b = nodes_[best];
        if (a.visits > b.visits ||
            (a.visits == b.visits && a.visits > 0 && a.value / a.visits > b.value / b.visits))
            best = c;
    }
    return best;
}

}  // namespace game
