#include "game/bot_spec.hpp"

#include <charconv>

#include "game/numbers.hpp"

namespace game {

namespace {

constexpr std::size_t MAX_PLAYOUTS = 1'000'000'000;
constexpr std::size_t MAX_MILLISECONDS = 86'400'000;  // a day

// The shortest text that reads back as the same double.
std::string number_text(double x) {
    std::array<char, 32> text;
    return {text.data(), std::to_chars(text.data(), text.data() + text.size(), x).ptr};
}

// Reads one setting of the search ("key=value", or a bare number of playouts) into `options`;
// returns why it cannot when it cannot.
std::optional<std::string> read_setting(std::string_view item, MctsOptions& options,
                                        bool& budget_given) {
    if (item.empty()) return std::string("a setting is missing between commas or at an end");
    const std::size_t equals = item.find('=');
    const bool bare = equals == std::string_view::npos;
    const std::string key(bare ? "playouts" : item.substr(0, equals));
    const std::string_view value = bare ? item : item.substr(equals + 1);
    const auto refused = [&](const std::string& expected) {
        return key + " must be " + expected + ", not " + quoted(value);
    };
    if (key == "playouts" || key == "ms") {
        if (budget_given) return std::string("give one budget, playouts or ms");
        budget_given = true;
        const std::size_t most = key == "ms" ? MAX_MILLISECONDS : MAX_PLAYOUTS;
        std::size_t budget = 0;
        if (!read_number(value, budget) || budget < 1 || budget > most)
            return refused("a whole number from 1 to " + std::to_string(most));
        options.budget_kind = key == "ms" ? BudgetKind::Milliseconds : BudgetKind::Playouts;
        options.budget = budget;
        return std::nullopt;
    }
    if (key == "playout") {
        const std::optional<PlayoutKind> playout = playout_named(value);
        if (!playout) return refused("random, largest or greedy");
        options.playout = *playout;
        return std::nullopt;
    }
    double* setting = key == "exploration"    ? &options.exploration
                      : key == "widening"     ? &options.widening
                      : key == "score_weight" ? &options.score_weight
                                              : nullptr;
    if (setting == nullptr)
        return "unknown setting " + quoted(key) +
               ": playouts, ms, playout, exploration, widening or score_weight";
    const std::size_t most = key == "score_weight" ? 1 : 1'000'000;
    double number = 0;
    if (!read_number(value, number) || !(number >= 0 && number <= static_cast<double>(most)))
        return refused("a number from 0 to " + std::to_string(most));
    *setting = number;
    return std::nullopt;
}

std::string mcts_name(const MctsOptions& options) {
    const MctsOptions defaults;
    std::string settings;
    const auto add = [&](const std::string& setting) {
        settings += (settings.empty() ? "" : ",") + setting;
    };
    if (options.budget_kind != defaults.budget_kind || options.budget != defaults.budget)
        add((options.budget_kind == BudgetKind::Milliseconds ? "ms=" : "playouts=") +
            std::to_string(options.budget));
    if (options.playout != defaults.playout) add(std::string("playout=") + name(options.playout));
    if (options.exploration != defaults.exploration)
        add("exploration=" + number_text(options.exploration));
    if (options.widening != defaults.widening) add("widening=" + number_text(options.widening));
    if (options.score_weight != defaults.score_weight)
        add("score_weight=" + number_text(options.score_weight));
    if (settings.empty()) return "mcts";
    // Playouts alone, the setting people change, in its short form.
    constexpr std::string_view PLAYOUTS = "playouts=";
    if (settings.starts_with(PLAYOUTS) && settings.find(',') == std::string::npos)
        return "mcts:" + settings.substr(PLAYOUTS.size());
    return "mcts:" + settings;
}

}  // namespace

std::string name(const BotSpec& bot) {
    switch (bot.kind) {
        case BotKind::Random:
            return "random";
        case BotKind::Greedy:
            return "greedy";
        case BotKind::Mcts:
            return mcts_name(bot.mcts);
        case BotKind::Caller:
            break;
    }
    return "caller";
}

std::string quoted(std::string_view text) {
    constexpr std::string_view HEX = "0123456789abcdef";
    std::string out = "'";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f)
            out += c;
        else
            out += {'\\', 'x', HEX[byte >> 4], HEX[byte & 15]};
    }
    return out + "'";
}

std::optional<BotSpec> bot_named(std::string_view name, std::string* why) {
    if (name == "random") return BotSpec{BotKind::Random};
    if (name == "greedy") return BotSpec{BotKind::Greedy};
    const auto fail = [&](std::string reason) -> std::optional<BotSpec> {
        if (why != nullptr) *why = std::move(reason);
        return std::nullopt;
    };
    constexpr std::string_view MCTS = "mcts";
    if (!name.starts_with(MCTS) || (name.size() > MCTS.size() && name[MCTS.size()] != ':'))
        return fail("the engine plays random, greedy and mcts");
    BotSpec bot{BotKind::Mcts};
    bool budget_given = false;
    if (name.size() > MCTS.size()) {
        for (std::string_view rest = name.substr(MCTS.size() + 1);;) {
            const std::size_t comma = rest.find(',');
            if (std::optional<std::string> refused =
                    read_setting(rest.substr(0, comma), bot.mcts, budget_given))
                return fail(*refused);
            if (comma == std::string_view::npos) break;
            rest.remove_prefix(comma + 1);
        }
    }
    return bot;
}

std::size_t bot_action(const BotSpec& bot, const State& state, std::mt19937_64& generator,
                       const StopHook& stop) {
    std::optional<std::size_t> action;
    switch (bot.kind) {
        case BotKind::Random:
            action = random_action(state, generator());
            break;
        case BotKind::Greedy:
            action = greedy_action(state);
            break;
        case BotKind::Mcts: {
            MctsOptions options = bot.mcts;
            options.seed = generator();
            const MctsResult result = Mcts(options).search(state, stop);
            if (result.stopped) throw Interrupted(0, 1);
            action = result.action;
            break;
        }
        case BotKind::Caller:
            fatal("the engine was asked to move for the caller's bot");
    }
    if (!action) fatal("a bot was asked to move after the game ended");
    return *action;
}

std::mt19937_64 seeded_generator(std::uint64_t seed, std::uint64_t index) {
    std::seed_seq words{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32),
                        static_cast<std::uint32_t>(index), static_cast<std::uint32_t>(index >> 32)};
    return std::mt19937_64(words);
}

}  // namespace game
