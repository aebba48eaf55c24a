// The search bot: its time per move and playouts per second on the positions of a game, then its
// strength: one MCTS against three greedy bots, the MCTS at seat g % 4 in game g, every game
// seeded from (seed, g). A shared best score splits the win.
//
// Greedy bots draw nothing at random, and neither does a search with greedy playouts, so from the
// empty board every game at one seat would be the same game. Each game therefore opens with
// `--opening` placements (default 4, one per seat) drawn uniformly from the legal ones with the
// game's generator; the bots play from there.
//
//   mcts_bench [--games N] [--seed S] [--threads T] [--opening K] [--opponent greedy|random]
//              [--playouts P | --ms M] [--playout KIND] [--exploration C] [--widening W]
//              [--score-weight X]
//
// Without options it measures the default MctsOptions over 200 games on two threads.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string_view>
#include <vector>

#include "game/bot_names.hpp"
#include "game/bots.hpp"
#include "game/mcts.hpp"
#include "game/state.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using game::MctsOptions;
using game::State;

struct Settings {
    MctsOptions options;
    std::size_t games = 200;
    std::uint64_t seed = 1;
    std::size_t threads = 2;
    std::size_t opening = 4;
    game::BotSpec opponent{game::BotKind::Greedy};
};

[[noreturn]] void usage(const char* problem) {
    std::fprintf(stderr,
                 "mcts_bench: %s\nusage: mcts_bench [--games N] [--seed S] [--threads T] "
                 "[--opening K] [--opponent greedy|random] [--playouts P | --ms M] "
                 "[--playout random|largest|greedy] [--exploration C] [--widening W] "
                 "[--score-weight X]\n",
                 problem);
    std::exit(2);
}

Settings parse(int argc, char** argv) {
    Settings s;
    for (int i = 1; i < argc; ++i) {
        const std::string_view flag = argv[i];
        if (i + 1 >= argc) usage("every option takes a value");
        const char* value = argv[++i];
        const auto number = [&] { return std::strtod(value, nullptr); };
        const auto count = [&] {
            return static_cast<std::size_t>(std::strtoull(value, nullptr, 10));
        };
        if (flag == "--games") {
            s.games = count();
        } else if (flag == "--seed") {
            s.seed = count();
        } else if (flag == "--threads") {
            s.threads = std::max<std::size_t>(1, count());
        } else if (flag == "--opening") {
            s.opening = count();
        } else if (flag == "--opponent") {
            const std::optional<game::BotSpec> bot = game::bot_named(value);
            if (!bot) usage("unknown opponent");
            s.opponent = *bot;
        } else if (flag == "--playouts") {
            s.options.budget_kind = game::BudgetKind::Playouts;
            s.options.budget = count();
        } else if (flag == "--ms") {
            s.options.budget_kind = game::BudgetKind::Milliseconds;
            s.options.budget = count();
        } else if (flag == "--playout") {
            const std::optional<game::PlayoutKind> kind = game::playout_named(value);
            if (!kind) usage("unknown playout kind");
            s.options.playout = *kind;
        } else if (flag == "--exploration") {
            s.options.exploration = number();
        } else if (flag == "--widening") {
            s.options.widening = number();
        } else if (flag == "--score-weight") {
            s.options.score_weight = number();
        } else {
            usage("unknown option");
        }
    }
    if (s.games == 0) usage("--games must be at least 1");
    return s;
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The processor time of the calling thread: on a machine shared with other work the wall time
// of a search grows with the load, its processor time hardly does.
double thread_cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Mean and the standard error of the mean.
struct Estimate {
    double mean = 0;
    double error = 0;
};

Estimate estimate(const std::vector<double>& values) {
    const double n = static_cast<double>(values.size());
    double sum = 0, squares = 0;
    for (const double v : values) sum += v;
    const double mean = sum / n;
    for (const double v : values) squares += (v - mean) * (v - mean);
    const double variance = values.size() > 1 ? squares / (n - 1) : 0;
    return {mean, std::sqrt(variance / n)};
}

// One search per position of the game that four greedy bots play, on this thread alone.
void time_per_move(const MctsOptions& options) {
    std::printf(
        "time per move on the positions of the all-greedy game, one thread "
        "(playouts per second of processor time):\n");
    std::printf("  %10s %8s %10s %10s %10s %12s\n", "placements", "legal", "wall ms", "cpu ms",
                "playouts", "playouts/s");
    State state;
    game::Mcts mcts(options);
    double total_seconds = 0, total_cpu = 0;
    std::size_t total_playouts = 0, searches = 0;
    while (!state.is_terminal()) {
        const std::size_t placed = state.history().size();
        const Clock::time_point start = Clock::now();
        const double cpu_start = thread_cpu_seconds();
        const game::MctsResult result = mcts.search(state);
        const double cpu = thread_cpu_seconds() - cpu_start;
        const double seconds = seconds_since(start);
        total_seconds += seconds;
        total_cpu += cpu;
        total_playouts += result.playouts;
        ++searches;
        if (placed % 8 == 0)
            std::printf("  %10zu %8zu %10.1f %10.1f %10zu %12.0f\n", placed,
                        state.legal_mask().count(), seconds * 1e3, cpu * 1e3, result.playouts,
                        double(result.playouts) / cpu);
        state.apply(*game::greedy_action(state));
    }
    std::printf(
        "  all %zu positions: %.1f ms per move (%.1f ms of processor time), %.0f "
        "playouts/s\n\n",
        searches, total_seconds * 1e3 / double(searches), total_cpu * 1e3 / double(searches),
        double(total_playouts) / total_cpu);
}

struct GameRecord {
    std::uint8_t mcts_seat = 0;
    std::array<std::int16_t, game::NUM_AGENTS> scores{};
    std::size_t moves = 0;
    std::size_t playouts = 0;
    double seconds = 0;
    double cpu_seconds = 0;
    double slowest = 0;
};

GameRecord play_against_bots(const Settings& settings, std::size_t g) {
    GameRecord record;
    record.mcts_seat = static_cast<std::uint8_t>(g % game::NUM_AGENTS);
    std::mt19937_64 generator = game::seeded_generator(settings.seed, g);
    MctsOptions options = settings.options;
    options.seed = generator();
    game::Mcts mcts(options);  // its storage serves the whole game
    State state;
    while (!state.is_terminal()) {
        std::size_t move = 0;
        if (state.history().size() < settings.opening) {
            move = *game::random_action(state, generator());
        } else if (state.seat() == record.mcts_seat) {
            const Clock::time_point start = Clock::now();
            const double cpu_start = thread_cpu_seconds();
            const game::MctsResult result = mcts.search(state);
            record.cpu_seconds += thread_cpu_seconds() - cpu_start;
            const double seconds = seconds_since(start);
            record.seconds += seconds;
            record.slowest = std::max(record.slowest, seconds);
            record.playouts += result.playouts;
            ++record.moves;
            move = *result.action;
        } else {
            move = game::bot_action(settings.opponent, state, generator);
        }
        if (state.apply(move)) {
            std::fprintf(stderr, "game %zu: an illegal move\n", g);
            std::exit(1);
        }
    }
    record.scores = *state.scores();
    return record;
}

void against_bots(const Settings& settings) {
    std::vector<GameRecord> records(settings.games);
    game::WorkerPool pool(settings.threads);
    const Clock::time_point start = Clock::now();
    pool.run(settings.games, [&](std::size_t begin, std::size_t end) {
        for (std::size_t g = begin; g < end; ++g) records[g] = play_against_bots(settings, g);
    });
    const double wall = seconds_since(start);

    std::vector<double> wins, scores, other_scores;
    std::array<double, game::NUM_AGENTS> wins_by_seat{};
    std::size_t moves = 0, playouts = 0;
    double search_seconds = 0, cpu_seconds = 0, slowest = 0;
    for (const GameRecord& r : records) {
        const double share = game::win_share(r.scores, r.mcts_seat);
        wins.push_back(share);
        wins_by_seat[r.mcts_seat] += share;
        scores.push_back(r.scores[r.mcts_seat]);
        for (std::size_t s = 0; s < game::NUM_AGENTS; ++s)
            if (s != r.mcts_seat) other_scores.push_back(r.scores[s]);
        moves += r.moves;
        playouts += r.playouts;
        search_seconds += r.seconds;
        cpu_seconds += r.cpu_seconds;
        slowest = std::max(slowest, r.slowest);
    }
    const Estimate win = estimate(wins), score = estimate(scores), others = estimate(other_scores);
    std::printf(
        "one MCTS against three %s bots, %zu games, seed %llu, %zu random opening placements, "
        "%zu threads, %.0f s:\n",
        game::name(settings.opponent).c_str(), settings.games,
        static_cast<unsigned long long>(settings.seed), settings.opening, settings.threads, wall);
    std::printf("  win rate      %.3f, 95%% interval [%.3f, %.3f] (even share 0.250)\n", win.mean,
                win.mean - 1.96 * win.error, win.mean + 1.96 * win.error);
    std::printf("  by seat       ");
    for (std::size_t s = 0; s < game::NUM_AGENTS; ++s) {
        const std::size_t at_seat = settings.games / 4 + (s < settings.games % 4 ? 1 : 0);
        std::printf(" %zu: %.3f", s, at_seat ? wins_by_seat[s] / double(at_seat) : 0.0);
    }
    std::printf("\n  mean score    %.2f +- %.2f (the other bots: %.2f +- %.2f)\n", score.mean,
                score.error, others.mean, others.error);
    std::printf(
        "  per MCTS move %.1f ms mean (%.1f ms of processor time), %.1f ms slowest, %.0f "
        "playouts, %.0f playouts/s of processor time\n",
        search_seconds * 1e3 / double(moves), cpu_seconds * 1e3 / double(moves), slowest * 1e3,
        double(playouts) / double(moves), double(playouts) / cpu_seconds);
}

}  // namespace

int main(int argc, char** argv) {
    const Settings settings = parse(argc, argv);
    const MctsOptions& o = settings.options;
    std::printf("MCTS: %zu %s, %s playouts, exploration %.2f, widening %.2f, score weight %.2f\n\n",
                o.budget, o.budget_kind == game::BudgetKind::Playouts ? "playouts" : "ms",
                game::name(o.playout), o.exploration, o.widening, o.score_weight);
    time_per_move(o);
    against_bots(settings);
    return 0;
}
