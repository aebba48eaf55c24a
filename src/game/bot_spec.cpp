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

// Reads a number from 0 to `most` into `out`; returns why it cannot when it cannot.
std::optional<std::string> read_bounded(const std::string& key, std::string_view value,
                                        std::size_t most, double& out) {
    double number = 0;
    if (!read_number(value, number) || !(number >= 0 && number <= static_cast<double>(most)))
        return key + " must be a number from 0 to " + std::to_string(most) + ", not " +
               quoted(value);
    out = number;
    return std::nullopt;
}

// Reads the settings of a bot's name, the text after its colon, one at a time with read(item);
// returns why one cannot be read.
template <class Read>
std::optional<std::string> read_settings(std::string_view settings, Read&& read) {
    for (;;) {
        const std::size_t comma = settings.find(',');
        const std::string_view item = settings.substr(0, comma);
        if (item.empty()) return std::string("a setting is missing between commas or at an end");
        if (std::optional<std::string> refused = read(item)) return refused;
        if (comma == std::string_view::npos) return std::nullopt;
        settings.remove_prefix(comma + 1);
    }
}

// Reads one setting of the search ("key=value", or a bare number of playouts) into `options`;
// returns why it cannot when it cannot.
std::optional<std::string> read_setting(std::string_view item, MctsOptions& options,
                                        bool& budget_given) {
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
    if (key == "prior") {
        if (value != "net" && value != "greedy") return refused("net or greedy");
        options.prior = value == "net" ? NetWeights::built_in() : nullptr;
        return std::nullopt;
    }
    double* setting = key == "exploration"    ? &options.exploration
                      : key == "widening"     ? &options.widening
                      : key == "score_weight" ? &options.score_weight
                                              : nullptr;
    if (setting == nullptr)
        return "unknown setting " + quoted(key) +
               ": playouts, ms, playout, exploration, widening, score_weight or prior";
    return read_bounded(key, value, key == "score_weight" ? 1 : 1'000'000, *setting);
}

// Reads one setting of the net ("path=FILE" or "temperature=X") into `bot`; returns why it
// cannot when it cannot.
std::optional<std::string> read_net_setting(std::string_view item, BotSpec& bot) {
    const std::size_t equals = item.find('=');
    const std::string key(item.substr(0, equals));
    if (equals == std::string_view::npos || (key != "path" && key != "temperature"))
        return "unknown setting " + quoted(key) + ": path or temperature";
    const std::string_view value = item.substr(equals + 1);
    if (key == "temperature") return read_bounded(key, value, 1'000'000, bot.temperature);
    if (bot.net) return std::string("give one path");
    std::string why;
    bot.net = NetWeights::load(std::string(value), &why);
    if (!bot.net) return why;
    return std::nullopt;
}

// Settings written back into a name, separated by commas.
struct Settings {
    std::string text;
    void add(const std::string& setting) { text += (text.empty() ? "" : ",") + setting; }
    std::string after(const std::string& kind) const {
        return text.empty() ? kind : kind + ":" + text;
    }
};

std::string net_name(const BotSpec& bot) {
    Settings settings;
    if (bot.net && !bot.net->path().empty()) settings.add("path=" + bot.net->path());
    if (bot.temperature != 0) settings.add("temperature=" + number_text(bot.temperature));
    return settings.after("net");
}

std::string mcts_name(const MctsOptions& options) {
    const MctsOptions defaults;
    Settings settings;
    if (options.budget_kind != defaults.budget_kind || options.budget != defaults.budget)
        settings.add((options.budget_kind == BudgetKind::Milliseconds ? "ms=" : "playouts=") +
                     std::to_string(options.budget));
    if (options.playout != defaults.playout)
        settings.add(std::string("playout=") + name(options.playout));
    if (options.exploration != defaults.exploration)
        settings.add("exploration=" + number_text(options.exploration));
    if (options.widening != defaults.widening)
        settings.add("widening=" + number_text(options.widening));
    if (options.score_weight != defaults.score_weight)
        settings.add("score_weight=" + number_text(options.score_weight));
    if (options.prior) settings.add("prior=net");
    // Playouts alone, the setting people change, in its short form.
    constexpr std::string_view PLAYOUTS = "playouts=";
    if (settings.text.starts_with(PLAYOUTS) && settings.text.find(',') == std::string::npos)
        settings.text.erase(0, PLAYOUTS.size());
    return settings.after("mcts");
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
        case BotKind::Net:
            return net_name(bot);
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
    const std::size_t colon = name.find(':');
    const std::string_view kind = name.substr(0, colon);
    const std::string_view settings =
        colon == std::string_view::npos ? std::string_view() : name.substr(colon + 1);
    BotSpec bot;
    std::optional<std::string> refused;
    bool budget_given = false;
    if (kind == "mcts") {
        bot.kind = BotKind::Mcts;
        if (colon != std::string_view::npos)
            refused = read_settings(settings, [&](std::string_view item) {
                return read_setting(item, bot.mcts, budget_given);
            });
    } else if (kind == "net") {
        bot.kind = BotKind::Net;
        if (colon != std::string_view::npos)
            refused = read_settings(
                settings, [&](std::string_view item) { return read_net_setting(item, bot); });
    } else {
        return fail("the engine plays random, greedy, net and mcts");
    }
    if (refused) return fail(*refused);
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
        case BotKind::Net:
            action = net_action(bot.net ? *bot.net : *NetWeights::built_in(), state,
                                bot.temperature, bot.temperature > 0 ? generator() : 0);
            break;
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
