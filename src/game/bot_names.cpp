#include "game/bot_names.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <vector>

#include "game/errors.hpp"
#include "game/numbers.hpp"

namespace game {

namespace {

constexpr std::size_t MAX_PLAYOUTS = 1'000'000'000;
constexpr std::size_t MAX_MILLISECONDS = 86'400'000;  // a day
constexpr char QUOTE = '\'';

// The shortest text that reads back as the same double.
std::string number_text(double x) {
    std::array<char, 32> text;
    return {text.data(), std::to_chars(text.data(), text.data() + text.size(), x).ptr};
}

// Reads a number from 0 to `most` into `out`; returns why it cannot when it cannot.
std::optional<std::string> read_bounded(std::string_view key, std::string_view value,
                                        std::size_t most, double& out) {
    double number = 0;
    if (!read_number(value, number) || !(number >= 0 && number <= static_cast<double>(most)))
        return std::string(key) + " must be a number from 0 to " + std::to_string(most) + ", not " +
               quoted(value);
    out = number;
    return std::nullopt;
}

// Takes the value at the start of `text` (up to a comma, or a quoted one: setting_text) off it
// into `value`; returns why it cannot when it cannot.
std::optional<std::string> take_value(std::string_view& text, std::string& value) {
    if (!text.starts_with(QUOTE)) {
        value = text.substr(0, text.find(','));
        text.remove_prefix(value.size());
        return std::nullopt;
    }
    value.clear();
    std::size_t at = 1;
    for (;; ++at) {
        if (at == text.size()) return std::string("a quoted setting has no closing quote");
        if (text[at] != QUOTE) {
            value += text[at];
        } else if (at + 1 < text.size() && text[at + 1] == QUOTE) {
            value += QUOTE;
            ++at;
        } else {
            break;
        }
    }
    text.remove_prefix(at + 1);
    if (!text.empty() && text.front() != ',')
        return "a quoted setting ends at a comma or at the end, not before " +
               quoted(text.substr(0, text.find(',')));
    return std::nullopt;
}

// Reads the settings of a bot's name, the text after its colon, one at a time with read(key,
// value) (a bare value has the key ""); returns why one cannot be read. A setting given twice is
// refused: `setting(key)` names the setting a key gives, for that and for the message.
template <class Setting, class Read>
std::optional<std::string> read_settings(std::string_view text, Setting&& setting, Read&& read) {
    std::vector<std::string> given;
    for (;;) {
        if (text.empty() || text.front() == ',')
            return std::string("a setting is missing between commas or at an end");
        std::string_view key;
        const std::size_t stop = text.find_first_of("=,");
        if (!text.starts_with(QUOTE) && stop != std::string_view::npos && text[stop] == '=') {
            key = text.substr(0, stop);
            text.remove_prefix(stop + 1);
        }
        std::string value;
        if (std::optional<std::string> refused = take_value(text, value)) return refused;
        std::string named = setting(key);
        if (std::find(given.begin(), given.end(), named) != given.end()) return "give one " + named;
        given.push_back(std::move(named));
        if (std::optional<std::string> refused = read(key, value)) return refused;
        if (text.empty()) return std::nullopt;
        text.remove_prefix(1);  // the comma
    }
}

// Reads one setting of the search (a bare value is a number of playouts) into `options`;
// returns why it cannot when it cannot.
std::optional<std::string> read_mcts_setting(std::string_view key, std::string_view value,
                                             MctsOptions& options) {
    if (key.empty()) key = "playouts";
    const auto refused = [&](const std::string& expected) {
        return std::string(key) + " must be " + expected + ", not " + quoted(value);
    };
    if (key == "playouts" || key == "ms") {
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

// The setting a key of the search gives: a bare number, playouts and ms are all its budget.
std::string mcts_setting(std::string_view key) {
    return key.empty() || key == "playouts" || key == "ms" ? "budget, playouts or ms"
                                                           : std::string(key);
}

// Reads one setting of the net ("path=FILE" or "temperature=X") into `bot`; returns why it
// cannot when it cannot.
std::optional<std::string> read_net_setting(std::string_view key, const std::string& value,
                                            BotSpec& bot) {
    if (key != "path" && key != "temperature")
        return "unknown setting " + quoted(key.empty() ? value : key) + ": path or temperature";
    if (key == "temperature") return read_bounded(key, value, 1'000'000, bot.temperature);
    std::string why;
    bot.net = NetWeights::load(value, &why);
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
    if (bot.net && !bot.net->path().empty()) settings.add("path=" + setting_text(bot.net->path()));
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

// Where the piece at the start of `text` ends: at its first comma outside a quoted value. A value
// may be quoted only where it begins: after a name's colon or a setting's key and '='. A quote that
// never closes, or text after a closing one, leaves the rest as one piece, for bot_named to refuse.
std::size_t piece_end(std::string_view text) {
    std::size_t at = 0;
    const std::size_t colon = text.find_first_of(":=,'");
    if (colon != std::string_view::npos && text[colon] == ':') at = colon + 1;
    const std::size_t equals = text.find_first_of("=,'", at);
    if (equals != std::string_view::npos && text[equals] == '=') at = equals + 1;
    if (at < text.size() && text[at] == QUOTE) {
        std::string_view rest = text.substr(at);
        std::string value;
        return take_value(rest, value) ? text.size() : text.size() - rest.size();
    }
    return std::min(text.find(',', at), text.size());
}

}  // namespace

std::vector<std::string> bot_names_in(std::string_view list) {
    std::vector<std::string> names;
    for (;;) {
        const std::size_t end = piece_end(list);
        std::string_view piece = list.substr(0, end);
        // No name or key begins with a space; a value may end with one, so the end stays.
        piece.remove_prefix(std::min(piece.find_first_not_of(' '), piece.size()));
        const std::size_t key_end = piece.find_first_of(":=,'");
        const bool setting =
            key_end != std::string_view::npos && key_end > 0 && piece[key_end] == '=';
        if (setting && !names.empty())
            (names.back() += ',') += piece;
        else
            names.emplace_back(piece);
        if (end == list.size()) return names;
        list.remove_prefix(end + 1);
    }
}

std::string setting_text(std::string_view value) {
    if (value.find(',') == std::string_view::npos && !value.starts_with(QUOTE))
        return std::string(value);
    std::string text(1, QUOTE);
    for (const char c : value) {
        if (c == QUOTE) text += QUOTE;
        text += c;
    }
    return text + QUOTE;
}

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

std::optional<BotSpec> bot_named(std::string_view name, std::string* why) {
    const auto fail = [&](std::string reason) -> std::optional<BotSpec> {
        if (why != nullptr) *why = std::move(reason);
        return std::nullopt;
    };
    if (name == "random") return BotSpec{BotKind::Random};
    if (name == "greedy") return BotSpec{BotKind::Greedy};
    const std::size_t colon = name.find(':');
    const std::string_view kind = name.substr(0, colon);
    const std::string_view settings =
        colon == std::string_view::npos ? std::string_view() : name.substr(colon + 1);
    BotSpec bot;
    std::optional<std::string> refused;
    if (kind == "mcts") {
        bot.kind = BotKind::Mcts;
        if (colon != std::string_view::npos)
            refused = read_settings(settings, mcts_setting,
                                    [&](std::string_view key, const std::string& value) {
                                        return read_mcts_setting(key, value, bot.mcts);
                                    });
    } else if (kind == "net") {
        bot.kind = BotKind::Net;
        const auto setting = [](std::string_view key) { return std::string(key); };
        if (colon != std::string_view::npos)
            refused = read_settings(settings, setting,
                                    [&](std::string_view key, const std::string& value) {
                                        return read_net_setting(key, value, bot);
                                    });
    } else {
        return fail("the engine plays random, greedy, net and mcts");
    }
    if (refused) return fail(*refused);
    return bot;
}

}  // namespace game
