// The batched step (game::Batch) in env-steps per second, with 1 and 2 threads and both mask
// layouts, against the memory floor of a step measured in the same run with the same threads:
// filling one mask per env and writing its 1,600 plane bytes.
//
// Usage: vector_bench [num_envs (256)] [steps per batch (40)] [batches (15)] [profile]
// With "profile" last, only the single-threaded step with bit masks runs, for a profiler to see
// the engine's share alone.
// Every figure is the median over the batches; only the steps are timed, not the policy (the
// first legal grid index at or after a random start) that picks the actions between them.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "game/batch.hpp"
#include "harness.hpp"

namespace {

using game::Batch;
using game::MaskLayout;
using Clock = std::chrono::steady_clock;

double median(std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

struct Outputs {
    std::vector<std::uint8_t> planes, masks, terminated;
    std::vector<std::int8_t> seats;
    std::vector<std::int16_t> rewards, placements;

    Outputs(std::size_t n, MaskLayout layout)
        : planes(n * game::PLANE_BYTES),
          masks(n * Batch::mask_bytes(layout)),
          terminated(n),
          seats(n),
          rewards(n * game::NUM_AGENTS),
          placements(n) {}

    game::BatchBuffers view() {
        return {planes.data(),  masks.data(),      seats.data(),
                rewards.data(), terminated.data(), placements.data()};
    }
};

std::size_t first_legal(const std::uint8_t* mask, MaskLayout layout, std::size_t start) {
    constexpr std::size_t N = game::NUM_GRID_INDICES;
    if (layout == MaskLayout::Bytes) {
        const void* hit = std::memchr(mask + start, 1, N - start);
        if (hit == nullptr) hit = std::memchr(mask, 1, start);
        return static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - mask);
    }
    for (std::size_t k = 0; k <= N / 8; ++k) {
        const std::size_t byte = (start / 8 + k) % (N / 8);
        if (mask[byte] != 0)
            return byte * 8 + static_cast<std::size_t>(std::countl_zero(mask[byte]));
    }
    return 0;
}

// Nanoseconds per env-step of the batched step.
double time_steps(std::size_t num_envs, std::size_t threads, MaskLayout layout, std::size_t steps,
                  std::size_t batches) {
    Batch batch(num_envs, threads, layout, 1);
    Outputs out(num_envs, layout);
    batch.reset(out.view());
    std::vector<std::int64_t> actions(num_envs);
    std::mt19937 rng(1);
    const std::size_t stride = Batch::mask_bytes(layout);
    std::vector<double> per_env_step;
    for (std::size_t b = 0; b < batches + 1; ++b) {
        Clock::duration spent{};
        for (std::size_t s = 0; s < steps; ++s) {
            for (std::size_t i = 0; i < num_envs; ++i)
                actions[i] = static_cast<std::int64_t>(first_legal(
                    out.masks.data() + i * stride, layout, rng() % game::NUM_GRID_INDICES));
            const auto start = Clock::now();
            const game::BatchStep result = batch.step(actions, out.view());
            spent += Clock::now() - start;
            if (result.refused) std::abort();
        }
        if (b == 0) continue;  // warm-up
        per_env_step.push_back(std::chrono::duration<double, std::nano>(spent).count() /
                               static_cast<double>(steps * num_envs));
    }
    return median(per_env_step);
}

// Nanoseconds per env of the floor: each env's mask filled and its planes copied in, split over the
// same threads.
double time_floor(std::size_t num_envs, std::size_t threads, MaskLayout layout, std::size_t steps,
                  std::size_t batches) {
    game::WorkerPool pool(threads);
    Outputs out(num_envs, layout);
    const std::size_t stride = Batch::mask_bytes(layout);
    std::vector<std::uint8_t> planes(game::PLANE_BYTES, 1);
    std::vector<double> per_env;
    for (std::size_t b = 0; b < batches + 1; ++b) {
        const auto start = Clock::now();
        for (std::size_t s = 0; s < steps; ++s) {
            pool.run(num_envs, [&](std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i < end; ++i) {
                    std::uint8_t* mask = out.masks.data() + i * stride;
                    std::memset(mask, static_cast<int>(s & 1), stride);
                    std::memcpy(out.planes.data() + i * game::PLANE_BYTES, planes.data(),
                                game::PLANE_BYTES);
                }
            });
            bench::keep(out.masks.data());
        }
        const auto stop = Clock::now();
        if (b == 0) continue;
        per_env.push_back(std::chrono::duration<double, std::nano>(stop - start).count() /
                          static_cast<double>(steps * num_envs));
    }
    return median(per_env);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t num_envs = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    const std::size_t steps = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 40;
    const std::size_t batches = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 15;
    bench::keep(game::ACTION_SET());  // built outside the timings
    if (argc > 4 && std::strcmp(argv[4], "profile") == 0) {
        std::printf("%.1f ns per env-step, bit masks, 1 thread\n",
                    time_steps(num_envs, 1, MaskLayout::Bits, steps, batches));
        return 0;
    }
    std::printf("%zu envs, median of %zu batches of %zu steps; ns and env-steps/s per env-step\n\n",
                num_envs, batches, steps);
    std::printf("%-8s %-26s %10s %14s %10s\n", "threads", "", "ns", "env-steps/s", "x floor");
    for (const std::size_t threads : {1, 2}) {
        const double floor = time_floor(num_envs, threads, MaskLayout::Bytes, steps, batches);
        const double bits_floor = time_floor(num_envs, threads, MaskLayout::Bits, steps, batches);
        const double bytes = time_steps(num_envs, threads, MaskLayout::Bytes, steps, batches);
        const double bits = time_steps(num_envs, threads, MaskLayout::Bits, steps, batches);
        const auto row = [&](const char* name, double ns) {
            std::printf("%-8zu %-26s %10.1f %14.0f %10.2f\n", threads, name, ns, 1e9 / ns,
                        ns / floor);
        };
        row("floor (36,400-byte masks)", floor);
        row("floor (4,550-byte masks)", bits_floor);
        row("step, byte masks", bytes);
        row("step, bit masks", bits);
        std::printf("%-8zu bit masks: %.2f x the env-steps/s of byte masks\n\n", threads,
                    bytes / bits);
    }
}
