// Engine benchmarks, each reported as a median and as a multiple of the memory floor of a turn:
// allocating and zero-filling one 36,400-byte mask, then allocating a second buffer and copying
// the mask into it (what the cheapest possible observe-and-hand-out must do).
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

#include "game.hpp"
#include "harness.hpp"

// Every malloc and calloc of the engine and of this program passes through here (linked with
// -Wl,--wrap), so the benchmark can report how many allocations each operation makes. The
// compiler may turn an allocation followed by zero-filling into calloc.
extern "C" void* __real_malloc(std::size_t size);
extern "C" void* __real_calloc(std::size_t count, std::size_t size);
static volatile std::size_t malloc_calls = 0;
extern "C" void* __wrap_malloc(std::size_t size) {
    malloc_calls = malloc_calls + 1;
    return __real_malloc(size);
}
extern "C" void* __wrap_calloc(std::size_t count, std::size_t size) {
    malloc_calls = malloc_calls + 1;
    return __real_calloc(count, size);
}

namespace {

using game::Game;

// Allocations made by one call of f.
template <class F>
std::size_t allocations_of(F&& f) {
    const std::size_t before = malloc_calls;
    f();
    return malloc_calls - before;
}

// Plays seeded random moves until `turns` placements have been made (or the game ends).
Game position_after(std::size_t turns, unsigned seed) {
    Game g;
    std::mt19937 rng(seed);
    std::size_t placed = 0;
    while (placed < turns) {
        bool all_done = true;
        for (const auto& a : g.agents) all_done = all_done && a.done;
        if (all_done) break;
        const std::size_t seat = g.agent_selection;
        const game::Observation obs = g.observe(seat);
        if (g.agents[seat].done) {
            g.step(std::nullopt);
            continue;
        }
        std::vector<std::size_t> legal;
        for (std::size_t i = 0; i < obs.action_mask.size(); ++i)
            if (obs.action_mask[i]) legal.push_back(i);
        g.step(legal[rng() % legal.size()]);
        ++placed;
    }
    return g;
}

// Plays a whole game with the first legal index at or after a pseudo-random start.
std::size_t play_game(unsigned seed) {
    Game g;
    std::mt19937 rng(seed);
    std::size_t turns = 0;
    for (;;) {
        bool all_done = true;
        for (const auto& a : g.agents) all_done = all_done && a.done;
        if (all_done) return turns;
        const game::Observation obs = g.observe(g.agent_selection);
        if (g.agents[g.agent_selection].done) {
            g.step(std::nullopt);
            continue;
        }
        const std::uint8_t* mask = obs.action_mask.data();
        const std::size_t n = obs.action_mask.size(), start = rng() % n;
        const void* hit = std::memchr(mask + start, 1, n - start);
        if (hit == nullptr) hit = std::memchr(mask, 1, start);
        g.step(static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - mask));
        ++turns;
    }
}

std::size_t first_legal(const game::Observation& obs) {
    for (std::size_t i = 0; i < obs.action_mask.size(); ++i)
        if (obs.action_mask[i]) return i;
    return 0;
}

}  // namespace

int main() {
    const Game warm;  // builds the action set outside the timings
    bench::keep(warm);
    constexpr std::size_t MASK = game::NUM_GRID_INDICES;

    const bench::Result floor = bench::measure(
        2000, 41, [](std::size_t) {},
        [](std::size_t) {
            auto* a = static_cast<unsigned char*>(std::malloc(MASK));
            std::memset(a, 0, MASK);
            bench::keep(a);
            auto* b = static_cast<unsigned char*>(std::malloc(MASK));
            std::memcpy(b, a, MASK);
            bench::keep(b);
            std::free(a);
            std::free(b);
        });
    const double f = floor.median_ns;
    std::printf("F_eng (alloc + zero + alloc + copy of %zu bytes): %.1f ns\n\n", MASK, f);

    struct Stage {
        const char* name;
        std::size_t turns;
    };
    for (const Stage stage :
         {Stage{"observe, early game (8 moves)", 8}, Stage{"observe, mid game (40 moves)", 40},
          Stage{"observe, late game (64 moves)", 64}}) {
        Game g = position_after(stage.turns, 7);
        const std::size_t seat = g.agent_selection;
        bench::report(
            stage.name,
            bench::measure(
                200, 41, [](std::size_t) {}, [&](std::size_t) { bench::keep(g.observe(seat)); }),
            f);
    }

    // step: many copies of a mid-game position whose mover has just been observed.
    Game mid = position_after(40, 7);
    const std::size_t action = first_legal(mid.observe(mid.agent_selection));
    std::vector<Game> copies;
    bench::report("step, mid game",
                  bench::measure(
                      64, 201, [&](std::size_t n) { copies.assign(n, mid); },
                      [&](std::size_t i) { bench::keep(copies[i].step(action)); }),
                  f);

    bench::report("new game",
                  bench::measure(
                      500, 41, [](std::size_t) {},
                      [](std::size_t) {
                          Game g;
                          bench::keep(g);
                      }),
                  f);

    Game counted = position_after(40, 7);
    const std::size_t mover = counted.agent_selection;
    const game::Observation seen = counted.observe(mover);
    const std::size_t in_observe = allocations_of([&] { bench::keep(counted.observe(mover)); });
    const std::size_t in_step =
        allocations_of([&] { bench::keep(counted.step(first_legal(seen))); });
    const std::size_t in_new = allocations_of([] {
        Game g;
        bench::keep(g);
    });
    std::printf(
        "\nheap allocations: observe %zu (its two result buffers), step %zu, new game %zu\n",
        in_observe, in_step, in_new);

    unsigned seed = 0;
    std::size_t turns = 0;
    const bench::Result whole =
        bench::measure(5, 21, [](std::size_t) {}, [&](std::size_t) { turns = play_game(++seed); });
    bench::report("whole game (observe + step)", whole, f);
    std::printf("  last game: %zu placements; %.0f games/s\n", turns, 1e9 / whole.median_ns);
    return 0;
}
