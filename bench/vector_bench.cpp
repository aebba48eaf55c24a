// The batched step in env-steps per second, with 1 and 2 threads: the self-play batch
// (game::Batch) in all three layouts against the memory floor of a step measured in the same run
// with the same threads (writing one mask per env, either every byte once or zero-filled and then
// written whole, and its 1,600 plane bytes), and the learner batch (game::LearnerBatch, three
// random bots) against the self-play batch in the same layout.
//
// Usage: vector_bench [num_envs (256)] [steps per batch (40)] [batches (15)] [bits | bytes |
// indices | learner | learner-bits | learner-bytes]
// With a layout last, only the single-threaded step of that batch and layout (lists for a bare
// "learner") runs, for a profiler. Every figure is the median over the batches; only
// the steps are timed, not the policy (a uniformly random legal grid index) that picks the
// actions between them.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <string_view>
#include <vector>

#include "game/batch.hpp"
#include "game/learner_batch.hpp"
#include "harness.hpp"
#include "support/batch_outputs.hpp"

namespace {

using game::Batch;
using game::EnvBatch;
using game::MaskLayout;
using Clock = std::chrono::steady_clock;

// The single-threaded runs for a profiler time the calling thread's processor time instead, which
// other work on a shared machine disturbs less.
bool thread_time = false;

Clock::duration now() {
    if (!thread_time) return Clock::now().time_since_epoch();
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

double median(std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

using Outputs = game::support::BatchOutputs;

// Nanoseconds per env-step of the batched step of `batch`.
double time_steps(EnvBatch& batch, std::size_t steps, std::size_t batches) {
    Outputs out = game::support::reset_outputs(batch);
    std::mt19937 rng(1);
    std::vector<double> per_env_step;
    for (std::size_t b = 0; b < batches + 1; ++b) {
        Clock::duration spent{};
        for (std::size_t s = 0; s < steps; ++s) {
            const std::vector<std::int64_t> actions =
                game::support::random_actions(batch, out, rng);
            const auto start = now();
            const game::BatchStep result = batch.step(actions, out.view());
            spent += now() - start;
            if (result.refused) std::abort();
        }
        if (b == 0) continue;  // warm-up
        per_env_step.push_back(std::chrono::duration<double, std::nano>(spent).count() /
                               static_cast<double>(steps * batch.size()));
    }
    return median(per_env_step);
}

double time_self_play(std::size_t num_envs, std::size_t threads, MaskLayout layout,
                      std::size_t steps, std::size_t batches) {
    Batch batch(num_envs, threads, layout, 1);
    return time_steps(batch, steps, batches);
}

double time_learner(std::size_t num_envs, std::size_t threads, MaskLayout layout, std::size_t steps,
                    std::size_t batches) {
    const game::LearnerOptions random_bots{
        {game::BotKind::Random, game::BotKind::Random, game::BotKind::Random},
        std::nullopt,
        game::Reward::Score};
    game::LearnerBatch batch(num_envs, threads, layout, 1, random_bots);
    return time_steps(batch, steps, batches);
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
    const std::size_t stride = EnvBatch::mask_bytes(layout);
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
        // "bytes", "bits", "indices", or "learner" followed by one of them (indices without).
        std::string_view what = argv[4];
        const bool learner = what.starts_with("learner");
        if (learner) what.remove_prefix(std::min<std::size_t>(what.size(), 8));
        const MaskLayout layout = what == "bits"    ? MaskLayout::Bits
                                  : what == "bytes" ? MaskLayout::Bytes
                                                    : MaskLayout::Indices;
        thread_time = true;
        const double ns = learner ? time_learner(num_envs, 1, layout, steps, batches)
                                  : time_self_play(num_envs, 1, layout, steps, batches);
        std::printf("%.1f ns of processor time per env-step, %s, 1 thread\n", ns, argv[4]);
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
        double self_play[3], learner[3];
        for (const MaskLayout layout : {MaskLayout::Bytes, MaskLayout::Bits, MaskLayout::Indices}) {
            const auto l = static_cast<std::size_t>(layout);
            self_play[l] = time_self_play(num_envs, threads, layout, steps, batches);
            learner[l] = time_learner(num_envs, threads, layout, steps, batches);
        }
        const double bytes = self_play[0], bits = self_play[1], indices = self_play[2];
        // Each row is compared with the floor of its own mask layout; lists with bit masks'.
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
        row("step, lists of legal indices", indices, bits_one_pass, bits_zero_write);
        std::printf(
            "%-8zu bit masks: %.2f x the env-steps/s of byte masks; lists: %.2f x bit masks'\n",
            threads, bytes / bits, bits / indices);
        std::printf("%-8zu learner against 3 random bots, x the self-play env-steps/s:", threads);
        const char* names[] = {"bytes", "bits", "indices"};
        for (std::size_t l = 0; l < 3; ++l)
            std::printf(" %s %.0f ns, %.2f;", names[l], learner[l], self_play[l] / learner[l]);
        std::printf("\n\n");
    }
}
