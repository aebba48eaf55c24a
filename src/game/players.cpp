#include "game/players.hpp"

namespace game {

const NetWeights& BotSpec::net_weights() const { return net ? *net : *NetWeights::built_in(); }

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
            action = net_action(bot.net_weights(), state, bot.temperature,
                                bot.temperature > 0 ? generator() : 0);
            break;
        case BotKind::Caller:
            fatal("the engine was asked to move for the caller's bot");
    }
    if (!action) fatal("a bot was asked to move after the game ended");
    return *action;
}

}  // namespace game
