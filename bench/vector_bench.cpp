// The batched step (game::Batch) in env-steps per second, with 1 and 2 threads and both mask
// layouts, against the memory floor of a step measured in the same run with the same threads:
// writing one mask per env, either every byte once or zero-filled and then written whole, and
// its 1,600 plane bytes.
//
// Usage: vector_bench [num_envs (256)] [steps per batch (40)] [batches (15)] [bits | bytes]
// With a layout last, only the single-threaded step with that layout runs, for a profiler.
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
#include "support/batch_outputs.hpp"

namespace {

using game::Batch;
using game::MaskLayout;
using Clock = std::chrono::steady_clock;

double median(std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

using Outputs = game::support::BatchOutputs;

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
    Outputs out = game::support::reset_outputs(batch);
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

// How the floor writes a mask: every byte once (the least any step can do), or zero-filled and
// then written whole from a mask made beforehand.
enum class Floor { OnePass, ZeroThenWrite };

// Nanoseconds per env of the floor: each env's mask written and its planes copied in, split over
// the same threads.
double time_floor(std::size_t num_envs, std::size_t threads, MaskLayout layout, Floor kind,
                  std::size_t steps, std::size_t batches) {
    game::WorkerPool pool(threads);
    Outputs out(num_envs, layout);
    const std::size_t stride = Batch::mask_bytes(layout);
    std::vector<std::uint8_t> planes(game::PLANE_BYTES, 1);
    std::vector<std::uint8_t> made(stride);
    for (std::size_t i = 0; i < made.size(); i += 37) made[i] = 1;
    std::vector<double> per_env;
    for (std::size_t b = 0; b < batches + 1; ++b) {
        const auto start = Clock::now();
        for (std::size_t s = 0; s < steps; ++s) {
            pool.run(num_envs, [&](std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i < end; ++i) {
                    std::uint8_t* mask = out.masks.data() + i * stride;
                    if (kind == Floor::OnePass) {
                        std::memset(mask, static_cast<int>(s & 1), stride);
                    } else {
                        std::memset(mask, 0, stride);
                        bench::keep(mask);
                        std::memcpy(mask, made.data(), stride);
                    }
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
    if (argc > 4) {
        const bool bits = std::strcmp(argv[4], "bits") == 0;
        std::printf(
            "%.1f ns per env-step, %s masks, 1 thread\n",
            time_steps(num_envs, 1, bits ? MaskLayout::Bits : MaskLayout::Bytes, steps, batches),
            bits ? "bit" : "byte");
        return 0;
    }
    std::printf("%zu envs, median of %zu batches of %zu steps; ns and env-steps/s per env-step\n\n",
                num_envs, batches, steps);
    std::printf("%-8s %-36s %10s %14s %12s %12s\n", "threads", "", "ns", "env-steps/s",
                "x one pass", "x zero+write");
    for (const std::size_t threads : {1, 2}) {
        const auto floor_of = [&](MaskLayout layout, Floor kind) {
            return time_floor(num_envs, threads, layout, kind, steps, batches);
        };
        const double one_pass = floor_of(MaskLayout::Bytes, Floor::OnePass);
        const double zero_write = floor_of(MaskLayout::Bytes, Floor::ZeroThenWrite);
        const double bits_one_pass = floor_of(MaskLayout::Bits, Floor::OnePass);
        const double bits_zero_write = floor_of(MaskLayout::Bits, Floor::ZeroThenWrite);
        const double bytes = time_steps(num_envs, threads, MaskLayout::Bytes, steps, batches);
        const double bits = time_steps(num_envs, threads, MaskLayout::Bits, steps, batches);
        // Each row is compared with the floor of its own mask layout.
        const auto row = [&](const char* name, double ns, double floor_one, double floor_two) {
            std::printf("%-8zu %-36s %10.1f %14.0f %12.2f %12.2f\n", threads, name, ns, 1e9 / ns,
                        ns / floor_one, ns / floor_two);
        };
        row("floor, 36,400-byte masks, one pass", one_pass, one_pass, zero_write);
        row("floor, 36,400-byte masks, zero+write", zero_write, one_pass, zero_write);
        row("step, byte masks", bytes, one_pass, zero_write);
        row("floor, 4,550-byte masks, one pass", bits_one_pass, bits_one_pass, bits_zero_write);
        row("floor, 4,550-byte masks, zero+write", bits_zero_write, bits_one_pass, bits_zero_write);
        row("step, bit masks", bits, bits_one_pass, bits_zero_write);
        std::printf("%-8zu bit masks: %.2f x the env-steps/s of byte masks\n\n", threads,
                    bytes / bits);
    }
}
