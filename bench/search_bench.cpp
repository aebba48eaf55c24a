// What tree search pays per node: copying a position against working out its legal moves, then
// applying a move, the bots, a random playout and arena games. Medians, and multiples of the
// cost of one copy. Then the greedy and net bots' processor time per move over whole games.
#include <cstdio>
#include <ctime>
#include <random>
#include <vector>

#include "game.hpp"
#include "game/arena.hpp"
#include "game/bots.hpp"
#include "game/net.hpp"
#include "game/random.hpp"
#include "game/state.hpp"
#include "harness.hpp"

namespace {

using game::State;

// Seeded uniform random moves until `placements` have been made.
State position_after(std::size_t placements, unsigned seed) {
    State state;
    std::mt19937_64 rng(seed);
    while (!state.is_terminal() && state.history().size() < placements)
        state.apply(*game::random_action(state, rng()));
    return state;
}

void per_clone(const char* name, const bench::Result& r, double clone_ns) {
    std::printf("%-34s %12.1f ns %10.2f x clone\n", name, r.median_ns, r.median_ns / clone_ns);
}

// The legal grid indices, as State.legal_actions hands them to Python.
std::size_t list_legal(const State& state, std::vector<std::size_t>& out) {
    out.clear();
    state.legal_mask().for_each_grid([&](std::size_t g) { out.push_back(g); });
    return out.size();
}

double thread_cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Processor time rather than wall time: on a machine shared with other work it hardly moves with
// the load. Every position of seeded games in which the net plays one seat and greedy the others,
// after four random placements, is given to both bots.
void cost_per_move() {
    constexpr unsigned GAMES = 32;
    const game::NetWeights& net = *game::NetWeights::built_in();
    double greedy_seconds = 0, net_seconds = 0, slowest = 0;
    std::size_t moves = 0;
    for (unsigned g = 0; g < GAMES; ++g) {
        std::mt19937_64 generator(g);
        State state = game::random_opening(4, generator);
        while (!state.is_terminal()) {
            const double start = thread_cpu_seconds();
            const std::size_t greedy = *game::greedy_action(state);
            const double middle = thread_cpu_seconds();
            const std::size_t chosen = *game::net_action(net, state, 0, 0);
            const double end = thread_cpu_seconds();
            greedy_seconds += middle - start;
            net_seconds += end - middle;
            slowest = std::max(slowest, end - middle);
            ++moves;
            state.apply(state.seat() == g % 4 ? chosen : greedy);
        }
    }
    std::printf(
        "\nper move, processor time, %zu positions of %u games (net at one seat, greedy at "
        "three):\n  greedy bot %8.1f us\n  net bot    %8.1f us mean, %.1f us slowest\n",
        moves, GAMES, greedy_seconds * 1e6 / double(moves), net_seconds * 1e6 / double(moves),
        slowest * 1e6);
}

}  // namespace

int main() {
    const State mid = position_after(40, 7);
    std::printf("State: %zu bytes; Game: %zu bytes\n", sizeof(State), sizeof(game::Game));
    std::printf("mid-game position (40 placements): seat %zu, %zu legal moves\n\n", mid.seat(),
                mid.legal_mask().count());

    std::vector<State> copies;
    const bench::Result clone = bench::measure(
        200, 41, [](std::size_t) {},
        [&](std::size_t) {
            State copy = mid;
            bench::keep(copy);
        });
    const double c = clone.median_ns;
    per_clone("clone, mid game", clone, c);

    const game::Game game_copy_source;
    per_clone("copy of a Game (holds four masks)",
              bench::measure(
                  200, 41, [](std::size_t) {},
                  [&](std::size_t) {
                      game::Game copy = game_copy_source;
                      bench::keep(copy);
                  }),
              c);

    std::vector<std::size_t> legal;
    legal.reserve(game::NUM_GRID_INDICES);
    per_clone(
        "legal_actions, mid game",
        bench::measure(
            200, 41, [](std::size_t) {}, [&](std::size_t) { bench::keep(list_legal(mid, legal)); }),
        c);

    const std::size_t move = *game::greedy_action(mid);
    per_clone("apply (and pass done seats), mid",
              bench::measure(
                  64, 201, [&](std::size_t n) { copies.assign(n, mid); },
                  [&](std::size_t i) { bench::keep(copies[i].apply(move)); }),
              c);

    std::uint64_t keys = 0;
    per_clone("random bot, mid game",
              bench::measure(
                  200, 41, [](std::size_t) {},
                  [&](std::size_t) {
                      bench::keep(game::random_action(mid, game::splitmix64_next(keys)));
                  }),
              c);
    per_clone("greedy bot, mid game",
              bench::measure(
                  50, 41, [](std::size_t) {},
                  [&](std::size_t) { bench::keep(game::greedy_action(mid)); }),
              c);
    const game::NetWeights& net = *game::NetWeights::built_in();
    per_clone("net bot, mid game",
              bench::measure(
                  50, 41, [](std::size_t) {},
                  [&](std::size_t) { bench::keep(game::net_action(net, mid, 0, 0)); }),
              c);

    std::mt19937_64 rng(3);
    per_clone("random playout from mid game",
              bench::measure(
                  10, 41, [](std::size_t) {},
                  [&](std::size_t) {
                      State playout = mid;
                      while (!playout.is_terminal())
                          playout.apply(*game::random_action(playout, rng()));
                      bench::keep(playout);
                  }),
              c);

    game::WorkerPool pool(1);
    constexpr std::size_t GAMES = 64;
    std::vector<std::int16_t> scores(GAMES * 4);
    std::vector<std::uint8_t> seats(GAMES * 4);
    const game::ArenaSetup bots{
        {game::BotSpec{game::BotKind::Greedy}, game::BotSpec{game::BotKind::Random},
         game::BotSpec{game::BotKind::Random}, game::BotSpec{game::BotKind::Random}},
        1};
    std::size_t first = 0;
    const bench::Result arena = bench::measure(
        1, 11, [](std::size_t) {},
        [&](std::size_t) {
            game::play_arena(bots, first, GAMES, pool, scores.data(), seats.data());
            first += GAMES;
        });
    std::printf("\narena, greedy and 3 random, 1 thread: %.0f games/s\n",
                GAMES * 1e9 / arena.median_ns);
    cost_per_move();
    return 0;
}
