// Plays one game to the end, every seat choosing uniformly among its legal moves, then prints the
// board and the four scores. The seed is the first argument (default 1), so a game can be replayed.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <random>
#include <vector>

#include "game.hpp"

namespace {

bool all_done(const game::Game& g) {
    for (const game::Agent& agent : g.agents)
        if (!agent.done) return false;
    return true;
}

int play(unsigned long seed) {
    std::mt19937 rng(static_cast<std::mt19937::result_type>(seed));
    game::Game g;
    std::vector<std::size_t> legal;
    while (!all_done(g)) {
        const std::size_t seat = g.agent_selection;
        std::optional<std::size_t> action;
        // A done seat passes; any other seat looks before it moves, which may find it done.
        if (!g.agents[seat].done) {
            const game::Observation view = g.observe(seat);
            legal.clear();
            for (std::size_t i = 0; i < view.action_mask.size(); ++i)
                if (view.action_mask[i] != 0) legal.push_back(i);
            if (!legal.empty()) {
                std::uniform_int_distribution<std::size_t> pick(0, legal.size() - 1);
                action = legal[pick(rng)];
            }
        }
        if (const auto refused = g.step(action)) {
            std::fprintf(stderr, "seat %zu: %s\n", seat, refused->to_string().c_str());
            return 1;
        }
    }

    std::cout << g.text() << '\n';
    const auto scores = g.rewards();
    for (std::size_t seat = 0; seat < game::NUM_AGENTS; ++seat)
        std::printf("seat %zu: %d\n", seat, static_cast<int>(*scores[seat]));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned long seed = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1;
    try {
        return play(seed);
    } catch (const game::Panic& panic) {
        std::fprintf(stderr, "internal error: %s\n", panic.what());
        return 2;
    }
}
