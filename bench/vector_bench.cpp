// The batched step in env-steps per second, with 1 and 2 threads: the self-play batch
// (game::Batch, the caller at every seat) in all three layouts against the memory floor of a step
// measured in the same run with the same threads (writing one mask per env, either every byte
// once or zero-filled and then written whole, and its 1,600 plane bytes), and the learner batch
// (the caller at one seat, three random bots) against the self-play batch in the same layout.
//
// Everything of one thread count is timed in turn, one batch of steps each, round after round,
// so that a busy machine disturbs every figure alike, and every figure is the median over the
// rounds. Only the steps are timed, not the policy (a uniformly random legal grid index) that
// picks the actions between them.
//
// Usage: vector_bench [num_envs (256)] [steps per batch (40)] [rounds (15)] [bits | bytes |
// indices | learner | learner-bits | learner-bytes]
// With a batch last, only the single-threaded step of that batch and layout (lists for a bare
// "learner") runs, timed in the calling thread's processor time, for a profiler.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "game/batch.hpp"
#include "harness.hpp"
#include "support/batch_outputs.hpp"

namespace {

using game::Batch;
using game::MaskLayout;
using Outputs = game::support::BatchOutputs;

// Wall time, or the calling thread's processor time, which other work on a shared machine
// disturbs less (for the single-threaded runs only: the pool's threads are not counted).
bool thread_time = false;

double now_ns() {
    timespec t;
    clock_gettime(thread_time ? CLOCK_THREAD_CPUTIME_ID : CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

double median(std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

std::unique_ptr<Batch> self_play(std::size_t num_envs, std::size_t threads, MaskLayout layout) {
    return std::make_unique<Batch>(num_envs, threads, layout, 1);
}

std::unique_ptr<Batch> learner(std::size_t num_envs, std::size_t threads, MaskLayout layout) {
    const game::BotSpec random{game::BotKind::Random};
    const game::Seating random_bots{{random, random, random}, std::nullopt, game::Reward::Score};
    return std::make_unique<Batch>(num_envs, threads, layout, 1, random_bots);
}

// Steps of one batch, a batch of steps at a time: nanoseconds per env-step of each.
class Steps {
public:
    explicit Steps(std::unique_ptr<Batch> batch)
        : batch_(std::move(batch)), out_(game::support::reset_outputs(*batch_)), rng_(1) {}

    double run(std::size_t steps) {
        double spent = 0;
        for (std::size_t s = 0; s < steps; ++s) {
            const std::vector<std::int64_t> actions =
                game::support::random_actions(*batch_, out_, rng_);
            const double start = now_ns();
            const game::BatchStep result = batch_->step(actions, out_.view());
            spent += now_ns() - start;
            if (result.refused) std::abort();
        }
        return spent / static_cast<double>(steps * batch_->size());
    }

private:
    std::unique_ptr<Batch> batch_;
    Outputs out_;
    std::mt19937 rng_;
};

// How the floor writes a mask: every byte once (the least any step can do), or zero-filled and
// then written whole from a mask made beforehand.
enum class Floor { OnePass, ZeroThenWrite };

// The floor of a step: each env's mask written and its planes copied in, split over the same
// threads; nanoseconds per env.
class FloorRun {
public:
    FloorRun(std::size_t num_envs, std::size_t threads, MaskLayout layout, Floor kind)
        : pool_(threads),
          num_envs_(num_envs),
          stride_(game::spec(layout == MaskLayout::Bits ? game::Field::MaskBits
                                                        : game::Field::MaskBytes)
                      .bytes(0)),
          masks_(num_envs * stride_),
          planes_(num_envs * game::PLANE_BYTES),
          plane_row_(game::PLANE_BYTES, 1),
          made_(stride_),
          kind_(kind) {
        for (std::size_t i = 0; i < made_.size(); i += 37) made_[i] = 1;
    }

    double run(std::size_t steps) {
        const double start = now_ns();
        for (std::size_t s = 0; s < steps; ++s) {
            pool_.run(num_envs_, [&](std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i < end; ++i) {
                    std::uint8_t* mask = masks_.data() + i * stride_;
                    if (kind_ == Floor::OnePass) {
                        std::memset(mask, static_cast<int>(s & 1), stride_);
                    } else {
                        std::memset(mask, 0, stride_);
                        bench::keep(mask);
                        std::memcpy(mask, made_.data(), stride_);
                    }
                    std::memcpy(planes_.data() + i * game::PLANE_BYTES, plane_row_.data(),
                                game::PLANE_BYTES);
                }
            });
            bench::keep(masks_.data());
        }
        return (now_ns() - start) / static_cast<double>(steps * num_envs_);
    }

private:
    game::WorkerPool pool_;
    std::size_t num_envs_, stride_;
    std::vector<std::uint8_t> masks_, planes_, plane_row_, made_;
    Floor kind_;
};

// Runs every timed thing once to warm up, then `rounds` times in turn; the median of each.
std::vector<double> in_turn(const std::vector<std::function<double()>>& timed, std::size_t rounds) {
    for (const auto& run : timed) run();
    std::vector<std::vector<double>> samples(timed.size());
    for (std::size_t r = 0; r < rounds; ++r)
        for (std::size_t k = 0; k < timed.size(); ++k) samples[k].push_back(timed[k]());
    std::vector<double> medians;
    for (const std::vector<double>& s : samples) medians.push_back(median(s));
    return medians;
}

constexpr MaskLayout LAYOUTS[] = {MaskLayout::Bytes, MaskLayout::Bits, MaskLayout::Indices};
constexpr const char* LAYOUT_NAMES[] = {"bytes", "bits", "indices"};

void report(std::size_t num_envs, std::size_t threads, std::size_t steps, std::size_t rounds) {
    std::vector<std::unique_ptr<FloorRun>> floors;
    for (const MaskLayout layout : {MaskLayout::Bytes, MaskLayout::Bits})
        for (const Floor kind : {Floor::OnePass, Floor::ZeroThenWrite})
            floors.push_back(std::make_unique<FloorRun>(num_envs, threads, layout, kind));
    std::vector<std::unique_ptr<Steps>> batches;
    for (const MaskLayout layout : LAYOUTS) {
        batches.push_back(std::make_unique<Steps>(self_play(num_envs, threads, layout)));
        batches.push_back(std::make_unique<Steps>(learner(num_envs, threads, layout)));
    }
    std::vector<std::function<double()>> timed;
    for (const auto& floor : floors)
        timed.push_back([&, f = floor.get()] { return f->run(steps); });
    for (const auto& batch : batches)
        timed.push_back([&, b = batch.get()] { return b->run(steps); });
    const std::vector<double> ns = in_turn(timed, rounds);
    const double one_pass = ns[0], zero_write = ns[1], bits_one_pass = ns[2],
                 bits_zero_write = ns[3];
    const auto self_ns = [&](std::size_t l) { return ns[4 + 2 * l]; };
    const auto learner_ns = [&](std::size_t l) { return ns[5 + 2 * l]; };

    // Each row is compared with the floor of its own mask layout; lists with bit masks'.
    const auto row = [&](const char* name, double t, double floor_one, double floor_two) {
        std::printf("%-8zu %-36s %10.1f %14.0f %12.2f %12.2f\n", threads, name, t, 1e9 / t,
                    t / floor_one, t / floor_two);
    };
    row("floor, 36,400-byte masks, one pass", one_pass, one_pass, zero_write);
    row("floor, 36,400-byte masks, zero+write", zero_write, one_pass, zero_write);
    row("step, byte masks", self_ns(0), one_pass, zero_write);
    row("floor, 4,550-byte masks, one pass", bits_one_pass, bits_one_pass, bits_zero_write);
    row("floor, 4,550-byte masks, zero+write", bits_zero_write, bits_one_pass, bits_zero_write);
    row("step, bit masks", self_ns(1), bits_one_pass, bits_zero_write);
    row("step, lists of legal indices", self_ns(2), bits_one_pass, bits_zero_write);
    std::printf("%-8zu bit masks: %.2f x the env-steps/s of byte masks; lists: %.2f x bit masks'\n",
                threads, self_ns(0) / self_ns(1), self_ns(1) / self_ns(2));
    std::printf("%-8zu learner against 3 random bots, ns and x the self-play env-steps/s:",
                threads);
    for (std::size_t l = 0; l < 3; ++l)
        std::printf(" %s %.0f, %.2f;", LAYOUT_NAMES[l], learner_ns(l), self_ns(l) / learner_ns(l));
    std::printf("\n\n");
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t num_envs = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    const std::size_t steps = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 40;
    const std::size_t rounds = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 15;
    bench::keep(game::ACTION_SET());  // built outside the timings
    if (argc > 4) {
        std::string_view what = argv[4];
        const bool against_bots = what.starts_with("learner");
        if (against_bots) what.remove_prefix(std::min<std::size_t>(what.size(), 8));
        const MaskLayout layout = what == "bits"    ? MaskLayout::Bits
                                  : what == "bytes" ? MaskLayout::Bytes
                                                    : MaskLayout::Indices;
        thread_time = true;
        Steps timed(against_bots ? learner(num_envs, 1, layout) : self_play(num_envs, 1, layout));
        const double ns = in_turn({[&] { return timed.run(steps); }}, rounds)[0];
        std::printf("%.1f ns of processor time per env-step, %s, 1 thread\n", ns, argv[4]);
        return 0;
    }
    std::printf("%zu envs, median of %zu rounds of %zu steps; ns and env-steps/s per env-step\n\n",
                num_envs, rounds, steps);
    std::printf("%-8s %-36s %10s %14s %12s %12s\n", "threads", "", "ns", "env-steps/s",
                "x one pass", "x zero+write");
    for (const std::size_t threads : {1, 2}) report(num_envs, threads, steps, rounds);
}
