// The names users write for the engine's bots, read into a BotSpec and written back: the one
// grammar that the arena, the batches, the package and the command line share.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "game/players.hpp"

namespace game {

// A bot's name: "random", "greedy", "net" or "mcts"; the last two may be followed by ':' and
// settings that differ from their defaults, separated by commas. The search's: playouts=N
// (playouts a move; a bare N says the same, so "mcts:400" is 400 playouts), ms=N (milliseconds a
// move instead), playout=random|largest|greedy, exploration=X, widening=X, score_weight=X and
// prior=net|greedy (the built-in net's order of the root's moves, or greedy's: MctsOptions). The
// net's: path=FILE (weights of the same features to play instead of the built-in ones, read when
// the name is, so that a file that cannot be played is refused before any game starts) and
// temperature=X. Each setting is given once at most (playouts and ms are one budget).
//
// A value may be written in single quotes, and then holds anything, commas included, with two
// quotes standing for one: path='a,b.tvln' is the file a,b.tvln, path='it''s.tvln' the file
// it's.tvln. A NUL is refused wherever it is: in a path by NetWeights::load (the path would end
// there and name another file), elsewhere by the setting or the kind it spoils.
//
// name() writes the settings that differ from the defaults in that order, each value as
// setting_text writes it, so that bot_named(name(bot)) is the same bot; the caller's bot is
// "caller", which names none.
std::string name(const BotSpec& bot);
// The bot that `name` names; nothing if none, with the reason in *why when it is given.
std::optional<BotSpec> bot_named(std::string_view name, std::string* why = nullptr);
// The names of a list of bots separated by commas, as a command line takes them ("greedy,mcts:ms=5,
// playout=random,net" is three): a piece of the form key=value, outside single quotes, is a setting
// of the name before it, and any other piece begins a name. Spaces before a piece are dropped; the
// names are not checked (bot_named does that), and a list of names joined by commas splits back
// into them.
std::vector<std::string> bot_names_in(std::string_view list);
// A setting's value as a name writes it: as it is, or in single quotes (a quote inside doubled)
// when it holds a comma or begins with a quote, so that it reads back whole.
std::string setting_text(std::string_view value);

}  // namespace game
