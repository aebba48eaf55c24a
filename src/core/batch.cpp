// tavlok._core.Batch: the engine's batch of games (game::Batch), in which the caller plays every
// seat or one seat against the engine's bots; the engine side of tavlok.VectorEnv and
// tavlok.gym_vector.LearnerVectorEnv.
//
// A batch writes every output array into one block of memory, laid out from the engine's table
// of fields (game::FIELDS), and hands out numpy views of it. In place, it has one block, which
// every reset and step rewrites: the views are read-only and the Python envs take them once, so
// they are the same objects after every step. Otherwise every reset and step writes a block that
// no view handed out still uses (a new one when all are held), and the views are the caller's to
// keep and write: a block is written again only once Python has let go of every view of it, so a
// loop that drops each step's arrays before the next step's goes between two blocks. step and
// reset release the interpreter lock while the engine works, so other Python threads run
// meanwhile; a second call on the same batch during that time is refused rather than queued.
//
// A reset or step that does not finish (stopped by Ctrl-C, failed inside the engine, or under way
// in the parent when this process was forked from it) leaves some games moved and others not.
// Rather than step games that are no longer where the caller's actions left them, the batch then
// refuses step until a reset has started every game anew.
#include "game/batch.hpp"

#include <nanobind/stl/array.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cmath>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <vector>

#include "core.hpp"
#include "interrupt.hpp"

namespace core {

namespace {

using game::Autoreset;
using game::MaskLayout;
using game::ViewLayout;
using game::NUM_AGENTS;

// The largest batch whose block size cannot overflow: far beyond any memory.
constexpr std::uint64_t MAX_ENVS = (std::uint64_t{1} << 40) / (64 * 1024);

constexpr const char* NO_STEP_BEFORE_RESET = "the batch takes no step() before the next reset()";

// Arrays start on cache-line boundaries, so the small per-env arrays do not share a line with
// the end of the masks.
constexpr std::size_t LINE = 64;
constexpr std::size_t whole_lines(std::size_t bytes) { return (bytes + LINE - 1) / LINE * LINE; }

struct FreeBlock {
    void operator()(std::uint8_t* block) const { std::free(block); }
};

// The output arrays of a batch, carved out of one block: every field of the engine's table that
// the layout has, and under same-step autoreset the copies kept at the end. The room for lists
// is sized for the largest number of legal placements a seat can have in every env, but lists
// are packed from the start, so only the pages they reach are ever touched.
struct Outputs {
    Outputs(std::size_t num_envs, ViewLayout layout, Autoreset autoreset) {
        block.reset(static_cast<std::uint8_t*>(
            std::aligned_alloc(LINE, block_bytes(num_envs, layout, autoreset))));
        if (block == nullptr) throw std::bad_alloc();
        arrays.candidates = layout.candidates;
        std::uint8_t* next = block.get();
        for_each_array(layout, autoreset, [&](const game::FieldSpec& field, bool kept) {
            (kept ? arrays.kept : arrays.at)[static_cast<std::size_t>(field.field)] = next;
            next += whole_lines(field.array_bytes(num_envs, layout.candidates));
        });
    }

    static std::size_t block_bytes(std::size_t num_envs, ViewLayout layout, Autoreset autoreset) {
        std::size_t total = 0;
        for_each_array(layout, autoreset, [&](const game::FieldSpec& field, bool) {
            total += whole_lines(field.array_bytes(num_envs, layout.candidates));
        });
        return total;
    }

    // Calls f(field, kept) for each array a batch has: the fields of its layout, then the copies
    // kept at the end.
    template <class F>
    static void for_each_array(ViewLayout layout, Autoreset autoreset, F&& f) {
        for (const game::FieldSpec& field : game::FIELDS)
            if (field.in(layout)) f(field, false);
        if (autoreset != Autoreset::SameStep) return;
        for (const game::FieldSpec& field : game::FIELDS)
            if (field.in(layout) && field.kept_at_end) f(field, true);
    }

    // Its arrays as Python sees them: numpy arrays by name.
    using Views = nb::typed<nb::dict, nb::str, nb::ndarray<nb::numpy>>;

    std::unique_ptr<std::uint8_t, FreeBlock> block;
    game::FieldArrays arrays;
};

// The value of an enum whose values are 0 to N - 1 that `value` names, in the order of `names`;
// ValueError "<what> must be 'a', 'b' or 'c', not <repr of value>" for anything else (the wording
// of the package's own choices).
template <class Enum, std::size_t N>
Enum named(NameArgument name, const std::array<std::string_view, N>& names, const char* what) {
    const nb::handle value = name.value;
    Py_ssize_t size = 0;
    // Null for what is not text, or text that is not UTF-8 (a lone surrogate): no name either way.
    const char* text = PyUnicode_Check(value.ptr()) ? PyUnicode_AsUTF8AndSize(value.ptr(), &size)
                                                    : nullptr;
    PyErr_Clear();
    for (std::size_t i = 0; i < N && text != nullptr; ++i)
        if (std::string_view(text, static_cast<std::size_t>(size)) == names[i])
            return static_cast<Enum>(i);
    std::string choices;
    for (std::size_t i = 0; i < N; ++i)
        choices += (i == 0 ? "'" : i + 1 < N ? ", '" : " or '") + std::string(names[i]) + "'";
    raise_value_error("%s must be %s, not %R", what, choices.c_str(), value.ptr());
}

}  // namespace

ViewLayout view_layout(NameArgument mask, const std::optional<IndexArgument>& candidates) {
    const auto layout = named<MaskLayout>(mask, game::MASK_LAYOUT_NAMES, "mask");
    if (!candidates) {
        if (layout == MaskLayout::Candidates)
            raise_value_error("mask='candidates' needs candidates, from 1 to %zu",
                              game::MAX_CANDIDATES);
        return layout;
    }
    return {layout, count_in(*candidates, "candidates", 1, game::MAX_CANDIDATES)};
}

namespace {

// Opponents as the caller names them: three bots by seat, or a pool with weights.
using Pool = std::vector<std::pair<BotName, double>>;
struct OpponentsArgument {
    std::array<game::BotSpec, NUM_AGENTS - 1> fixed{game::BotSpec{game::BotKind::Caller},
                                                    game::BotSpec{game::BotKind::Caller},
                                                    game::BotSpec{game::BotKind::Caller}};
    std::vector<game::WeightedBot> pool;
};

// The bots that names and a pool name; ValueError for an unknown bot, an empty pool or a weight
// that is not a finite number above 0.
OpponentsArgument opponents_of(const std::optional<std::array<BotName, NUM_AGENTS - 1>>& names,
                               const std::optional<Pool>& pool) {
    OpponentsArgument opponents;
    if (names)
        for (std::size_t k = 0; k < opponents.fixed.size(); ++k)
            opponents.fixed[k] = engine_bot((*names)[k]);
    if (!pool) return opponents;
    if (pool->empty()) raise_value_error("a pool of opponents needs at least one bot");
    for (const auto& [name, weight] : *pool) {
        game::BotSpec bot = engine_bot(name);
        if (!(weight > 0 && std::isfinite(weight)))
            raise_value_error("a pool's weights must be finite and above 0, not %R for %s",
                              nb::float_(weight).ptr(), game::quoted(name.bytes).c_str());
        opponents.pool.push_back({std::move(bot), weight});
    }
    return opponents;
}

// The engine's batch with its blocks of output arrays (see the top of the file).
class BatchObject {
public:
    BatchObject(std::size_t num_envs, std::size_t num_threads, ViewLayout layout,
                Autoreset autoreset, std::uint64_t seed, const game::Seating& seating,
                bool in_place)
        : blocks_{std::make_shared<Outputs>(num_envs, layout, autoreset)},
          actions_(num_envs),
          batch_(num_envs, num_threads, layout, seed, seating, autoreset),
          in_place_(in_place),
          learner_(seating.pool.size() > 0 ||
                   seating.opponents[0].kind != game::BotKind::Caller) {
        batch_.stop_when(&python_signals());
        batch_.reset(blocks_.front()->arrays);
    }

    // What a batch of num_envs games takes: the games, the output arrays and the actions.
    static double bytes_needed(std::size_t num_envs, ViewLayout layout, Autoreset autoreset,
                               const game::Seating& seating) {
        return static_cast<double>(num_envs) *
                   static_cast<double>(game::Batch::bytes_per_env(layout, seating) +
                                       sizeof(std::int64_t)) +
               static_cast<double>(Outputs::block_bytes(num_envs, layout, autoreset));
    }

    std::size_t num_envs() const { return batch_.size(); }
    std::size_t num_threads() const { return batch_.num_threads(); }

    // Views of every output array that the last reset or step wrote, by name (the copies kept
    // at the end as "final_" and the name): read-only and keeping `self` alive in place,
    // otherwise writable and keeping their block from being written again.
    static Outputs::Views outputs(nb::pointer_and_handle<BatchObject> self) {
        BatchObject& b = *self.p;
        const ExclusiveUse use(b.in_use_, "batch");
        nb::object owner = nb::borrow(self.h);
        if (!b.in_place_) {
            auto held = std::make_unique<std::shared_ptr<Outputs>>(b.blocks_.front());
            owner = nb::capsule(held.get(), [](void* p) noexcept {
                delete static_cast<std::shared_ptr<Outputs>*>(p);
            });
            held.release();
        }
        const game::FieldArrays& arrays = b.blocks_.front()->arrays;
        Outputs::Views views;
        Outputs::for_each_array(
            b.batch_.layout(), b.batch_.autoreset(), [&](const game::FieldSpec& field, bool kept) {
                const auto f = static_cast<std::size_t>(field.field);
                void* data = kept ? arrays.kept[f] : arrays.at[f];
                const std::string name = (kept ? "final_" : "") + std::string(field.name);
                const ArrayShape shape =
                    array_shape(field, b.num_envs(), b.batch_.layout().candidates);
                if (b.in_place_)
                    views[name.c_str()] = field_array<nb::ro>(field, data, shape, owner);
                else
                    views[name.c_str()] = field_array<>(field, data, shape, owner);
            });
        return views;
    }

    // Taken as step is, so that a copy never catches a game part-way through a move.
    game::State state(IndexArgument env) {
        const ExclusiveUse use(in_use_, "batch");
        return batch_.state(index_below(env, "env", num_envs()));
    }

    // Taken as step is: the games under way keep their opponents, and every game started from
    // then on draws from the new ones.
    void set_opponents(const std::optional<std::array<BotName, NUM_AGENTS - 1>>& names,
                       const std::optional<Pool>& pool) {
        if (!learner_) raise_value_error("a self-play batch has no opponents to change");
        if (names.has_value() == pool.has_value())
            raise_value_error("set_opponents takes three bot names or a pool, one of the two");
        OpponentsArgument opponents = opponents_of(names, pool);
        const ExclusiveUse use = take();
        batch_.set_opponents(opponents.fixed, std::move(opponents.pool));
    }

    void reset(
        std::optional<std::vector<std::optional<std::uint64_t>>> seeds,
        std::optional<nb::ndarray<const bool, nb::ndim<1>, nb::c_contig, nb::device::cpu>> only) {
        const ExclusiveUse use = take();
        if (seeds && seeds->size() != num_envs())
            raise_value_error("reset needs one seed per env, %zu, not %zu", num_envs(),
                              seeds->size());
        if (only && only->shape(0) != num_envs())
            raise_value_error("the envs to reset must be a bool array of shape (%zu,), not (%zu,)",
                              num_envs(), only->shape(0));
        const auto* mask = only ? reinterpret_cast<const std::uint8_t*>(only->data()) : nullptr;
        const auto each = seeds ? std::span<const std::optional<std::uint64_t>>(*seeds)
                                : std::span<const std::optional<std::uint64_t>>();
        // Only a reset of every env brings back games that an unfinished call left apart.
        const bool every =
            mask == nullptr || std::all_of(mask, mask + num_envs(), [](auto b) { return b != 0; });
        const char* still_unfinished = every ? nullptr : unfinished_;
        const game::FieldArrays& out = next_arrays();
        unfinished_ = "reset()";
        without_lock([&] { batch_.reset(out, each, mask); },
                     {"reset()", "envs", NO_STEP_BEFORE_RESET});
        unfinished_ = still_unfinished;
    }

    std::size_t step(nb::handle given) {
        // Taken by hand, so that what is not an integer array is refused in the wording of the
        // dtypes that are.
        AnyArray actions;
        if (!nb::try_cast(given, actions)) refuse_dtype(given);
        const ExclusiveUse use = take();
        if (unfinished_ != nullptr)
            nb::raise(
                "the batch's last %s did not finish (interrupted, failed, or under way in the "
                "process this one was forked from), so its games are no longer one step apart; "
                "reset() starts them anew",
                unfinished_);
        read_actions(actions, given);
        const game::FieldArrays& out = next_arrays();
        game::BatchStep result;
        unfinished_ = "step()";
        without_lock([&] { result = batch_.step(actions_, out); },
                     {"step()", "envs", NO_STEP_BEFORE_RESET});
        unfinished_ = nullptr;
        if (const std::optional<game::Refusal> refused = result.refused) {
            // Nothing was written: the last step's arrays are still the latest.
            std::rotate(blocks_.begin(), blocks_.begin() + 1, blocks_.end());
            if (refused->game_over)
                raise_value_error(
                    "env %zu's game is over and autoreset is disabled: reset it first; no env "
                    "was stepped",
                    refused->game);
            refuse(refused->game, std::to_string(refused->action), refused->seat);
        }
        return result.finished;
    }

    void close() {
        if (closed_) return;
        const ExclusiveUse use = take();
        {
            nb::gil_scoped_release unlocked;
            batch_.stop_threads();
        }
        closed_ = true;
    }

private:
    // Takes the batch for one call (see ExclusiveUse), once it is known to be open.
    ExclusiveUse take() {
        if (closed_) nb::raise("the batch is closed");
        return ExclusiveUse(in_use_, "batch");
    }

    // The arrays that the next reset or step writes, whose block is first in blocks_ from then
    // on: in place the one block; otherwise a block that only the batch holds, or a new one.
    // Blocks held by nothing beyond that one are freed, so that arrays a caller kept for a while
    // do not hold their memory once let go of.
    const game::FieldArrays& next_arrays() {
        if (in_place_) return blocks_.front()->arrays;
        std::shared_ptr<Outputs> idle;
        std::erase_if(blocks_, [&](std::shared_ptr<Outputs>& block) {
            if (block.use_count() > 1) return false;
            if (idle == nullptr) idle = std::move(block);
            return true;
        });
        if (idle == nullptr)
            idle = std::make_shared<Outputs>(num_envs(), batch_.layout(), batch_.autoreset());
        blocks_.insert(blocks_.begin(), std::move(idle));
        return blocks_.front()->arrays;
    }

    [[noreturn]] static void refuse(std::size_t env, const std::string& action, std::size_t seat) {
        raise_value_error("illegal action %s for env %zu (seat %zu to move); no env was stepped",
                          action.c_str(), env, seat);
    }

    // TypeError "actions must be integers, not <its dtype>" (or its type, without one).
    [[noreturn]] static void refuse_dtype(nb::handle actions) {
        const nb::object dtype = nb::getattr(actions, "dtype", nb::none());
        if (dtype.is_none())
            PyErr_Format(PyExc_TypeError, "actions must be integers, not %.200s",
                         Py_TYPE(actions.ptr())->tp_name);
        else
            PyErr_Format(PyExc_TypeError, "actions must be integers, not %S", dtype.ptr());
        throw nb::python_error();
    }

    // Copies one integer per env into actions_, whatever its integer type and stride.
    void read_actions(const AnyArray& actions, nb::handle given) {
        if (actions.ndim() != 1 || actions.shape(0) != num_envs())
            raise_value_error(
                "actions must hold one grid index per env, shape (%zu,), not %zu dimension(s) of "
                "length %zu",
                num_envs(), actions.ndim(), actions.ndim() >= 1 ? actions.shape(0) : 1);
        if (!holds_integers(actions)) refuse_dtype(given);
        for_each_integer(actions, [&](std::size_t i, auto value) {
            if constexpr (std::is_same_v<decltype(value), std::uint64_t>) {
                // Only a game that is over takes any number; it is not played.
                if (value > static_cast<std::uint64_t>(INT64_MAX)) {
                    if (!batch_.over(i)) refuse(i, std::to_string(value), batch_.seat(i));
                    value = 0;
                }
            }
            actions_[i] = static_cast<std::int64_t>(value);
        });
    }

    // The arrays first: the engine's batch starts threads last, once everything is allocated.
    // The block last written comes first; in place, it is the only one.
    std::vector<std::shared_ptr<Outputs>> blocks_;
    game::SizedByCaller<std::int64_t> actions_;  // the converted actions of the current step
    game::Batch batch_;
    bool in_place_;
    bool learner_;  // whether the engine plays the opponents (not self-play)
    ExclusiveUse::Mark in_use_{0};
    // The call that has not finished ("step()", "reset()"), or nullptr: see the top of the file.
    const char* unfinished_ = nullptr;
    bool closed_ = false;
};

// Makes a batch in `self` with the interpreter lock released, and reports what it could not get.
void construct(BatchObject* self, std::size_t envs, std::size_t threads, ViewLayout layout,
               Autoreset autoreset, std::uint64_t seed, const game::Seating& seating,
               bool in_place) {
    try {
        without_lock(
            [&] {
                new (self) BatchObject(envs, threads, layout, autoreset, seed, seating, in_place);
            },
            {"making the batch", "games", "no batch was made"});
    } catch (const std::bad_alloc&) {
        raise_too_large(std::to_string(envs) + " envs",
                        BatchObject::bytes_needed(envs, layout, autoreset, seating),
                        "for their games and buffers");
    } catch (const std::system_error& failure) {
        raise_threads_failed(std::min(envs, threads), failure);
    }
}

// By game::Rows.
constexpr const char* ROWS_NAMES[] = {"env", "packed", "offsets"};

// The engine's table of fields, for the layout named `mask` with `candidates` shown.
nb::typed<nb::list, nb::typed<nb::dict, nb::str, nb::object>> view_fields(
    NameArgument mask, std::optional<IndexArgument> candidates) {
    const ViewLayout layout = view_layout(mask, candidates);
    nb::typed<nb::list, nb::typed<nb::dict, nb::str, nb::object>> fields;
    for (const game::FieldSpec& field : game::FIELDS) {
        if (!field.in(layout)) continue;
        nb::list shape;
        const std::array<std::size_t, 3> extents = field.shape_with(layout.candidates);
        for (std::size_t d = 0; d < field.ndim; ++d) shape.append(extents[d]);
        nb::dict row;
        row["name"] = nb::str(field.name.data(), field.name.size());
        row["dtype"] = game::DTYPE_NAMES[static_cast<std::size_t>(field.dtype)];
        row["shape"] = nb::tuple(shape);
        row["low"] = field.low;
        row["high"] = field.high;
        row["part"] = field.part == game::Part::View ? "view" : "result";
        row["rows"] = ROWS_NAMES[static_cast<std::size_t>(field.rows)];
        row["kept_at_end"] = field.kept_at_end;
        row["per_candidate"] = field.per_candidate;
        row["meaning"] = nb::str(field.meaning.data(), field.meaning.size());
        fields.append(row);
    }
    return fields;
}

}  // namespace

void bind_batch(nb::module_& module) {
    using namespace nb::literals;
    module.attr("MAX_LEGAL_PLACEMENTS") = game::MAX_LEGAL_PLACEMENTS;
    // The words and limits that the batch's arguments take, for the package to offer as its own.
    module.attr("MASK_LAYOUTS") = names_tuple(game::MASK_LAYOUT_NAMES);
    module.attr("AUTORESET_MODES") = names_tuple(game::AUTORESET_NAMES);
    module.attr("REWARDS") = names_tuple(game::REWARD_NAMES);
    nb::dict illegal;
    for (std::size_t kind = 0; kind < game::REWARD_NAMES.size(); ++kind)
        illegal[nb::str(game::REWARD_NAMES[kind].data(), game::REWARD_NAMES[kind].size())] =
            game::ILLEGAL_MOVE_REWARDS[kind];
    module.attr("ILLEGAL_MOVE_REWARDS") = illegal;
    module.attr("MAX_THREADS") = MAX_THREADS;
    // The names are taken as any object, None too, for view_fields to refuse in its own words;
    // the stubs say what they should be.
    module.attr("MAX_OPENING") = game::MAX_OPENING;
    module.def("view_fields", view_fields, "mask"_a.none(), "candidates"_a.none() = nb::none(),
               nb::sig("def view_fields(mask: str, candidates: typing.SupportsIndex | None = "
                       "None) -> list[dict[str, object]]"),
               "The output fields of a batch whose legal actions are in layout `mask` (one of\n"
               "MASK_LAYOUTS) and that lists `candidates` candidates (None: none), in order, as\n"
               "dicts: name; dtype (numpy's name); shape (one\n"
               "env's); low and high (bounds of the values); part ('view': what the env's seat\n"
               "sees, 'result': what a step ended); rows ('env': one entry per env, 'packed':\n"
               "lists end to end with room for shape entries per env, 'offsets': num_envs + 1\n"
               "list starts); kept_at_end (whether same-step autoreset keeps a 'final_' copy);\n"
               "meaning (a sentence, as the docs' table of fields gives it); per_candidate\n"
               "(whether the first dimension has one entry per candidate).");

    nb::class_<BatchObject>(
        module, "Batch", nb::is_final(),
        "num_envs games in which the caller plays every seat (opponents None) or one seat\n"
        "against three of the engine's bots; the engine side of tavlok.VectorEnv and\n"
        "tavlok.gym_vector.LearnerVectorEnv.")
        .def(
            "__init__",
            [](BatchObject* self, IndexArgument num_envs, IndexArgument num_threads,
               NameArgument mask, NameArgument autoreset_mode, std::uint64_t seed,
               const std::optional<std::array<BotName, NUM_AGENTS - 1>>& opponents,
               std::optional<IndexArgument> seat, NameArgument reward, bool in_place,
               std::optional<IndexArgument> candidates, const std::optional<Pool>& pool,
               IndexArgument opening) {
                const ViewLayout layout = view_layout(mask, candidates);
                const auto mode =
                    named<Autoreset>(autoreset_mode, game::AUTORESET_NAMES, "autoreset_mode");
                const std::size_t envs = count_in(num_envs, "num_envs", 1, MAX_ENVS);
                if (layout.mask == MaskLayout::Indices && envs > game::MAX_LISTS)
                    raise_value_error(
                        "num_envs must be between 1 and %llu with mask='indices', not %zu",
                        static_cast<unsigned long long>(game::MAX_LISTS), envs);
                const std::size_t threads = count_in(num_threads, "num_threads", 1, MAX_THREADS);
                if (opponents && pool)
                    raise_value_error("a batch takes three opponents or a pool, not both");
                game::Seating seating;
                OpponentsArgument named_opponents = opponents_of(opponents, pool);
                seating.opponents = named_opponents.fixed;
                seating.pool = std::move(named_opponents.pool);
                seating.opening = index_below(opening, "opening", game::MAX_OPENING + 1);
                if (seat) seating.seat = index_below(*seat, "seat", NUM_AGENTS);
                seating.reward = named<game::Reward>(reward, game::REWARD_NAMES, "reward");
                construct(self, envs, threads, layout, mode, seed, seating, in_place);
            },
            "num_envs"_a, "num_threads"_a, "mask"_a.none(), "autoreset_mode"_a.none(), "seed"_a,
            "opponents"_a.none() = nb::none(), "seat"_a.none() = nb::none(),
            "reward"_a.none() = nb::str("score"), "in_place"_a = true,
            "candidates"_a.none() = nb::none(), "pool"_a.none() = nb::none(), "opening"_a = 0,
            nb::sig("def __init__(self, num_envs: typing.SupportsIndex, num_threads: "
                    "typing.SupportsIndex, mask: str, autoreset_mode: str, seed: int, opponents: "
                    "collections.abc.Sequence[str] | None = None, seat: typing.SupportsIndex | "
                    "None = None, reward: str = 'score', in_place: bool = True, candidates: "
                    "typing.SupportsIndex | None = None, pool: "
                    "collections.abc.Sequence[tuple[str, float]] | None = None, opening: "
                    "typing.SupportsIndex = 0) -> None"),
            "mask: one of MASK_LAYOUTS; autoreset_mode: one of AUTORESET_MODES; opponents: None\n"
            "for self-play, or the names of the engine's bots (as the arena\n"
            "reads them) for the seats 1, 2 and 3 turns after the caller's; seat: the caller's\n"
            "seat, None to rotate it game by game; reward: one of REWARDS; in_place: whether\n"
            "every call rewrites the same output arrays (see outputs); candidates: None, or\n"
            "how many of the mover's candidates each view lists, 1 to MAX_CANDIDATES\n"
            "(mask='candidates' needs them: its actions are candidate numbers); pool: instead\n"
            "of opponents, (bot name, weight) pairs, each opponent of each game drawn from them\n"
            "with probability weight / sum from the env's generator; opening: uniform random\n"
            "placements, 0 to MAX_OPENING, that begin every game, from the env's generator.")
        .def("set_opponents", &BatchObject::set_opponents, "opponents"_a.none() = nb::none(),
             "pool"_a.none() = nb::none(),
             nb::sig("def set_opponents(self, opponents: collections.abc.Sequence[str] | None = "
                     "None, pool: collections.abc.Sequence[tuple[str, float]] | None = None) -> "
                     "None"),
             "New opponents (three names) or a new pool ((name, weight) pairs) for every game\n"
             "from its next start on; the games under way keep theirs. Refused for self-play.")
        .def("reset", &BatchObject::reset, "seeds"_a.none(), "only"_a.none(),
             "Starts a new game in every env, or in those where `only` is true. `seeds`, one per\n"
             "env: an int reseeds that env's generator from (seed, env index), None lets it carry\n"
             "on.")
        .def("step", &BatchObject::step, "actions"_a,
             nb::sig("def step(self, actions: Annotated[NDArray, dict(device='cpu', "
                     "writable=False)]) -> int"),
             "Plays one grid index per env; returns how many games ended.")
        .def("close", &BatchObject::close,
             "Ends the worker threads; the batch refuses later calls.")
        .def_prop_ro("num_envs", &BatchObject::num_envs, "Number of games.")
        .def_prop_ro("num_threads", &BatchObject::num_threads, "Threads that step the games.")
        .def_prop_ro("outputs", &BatchObject::outputs,
                     "Views of the output arrays of the last reset or step, by the names of\n"
                     "view_fields(mask) (and 'final_' and the name of those kept at the end\n"
                     "under same-step autoreset). In place: read-only, and rewritten by every\n"
                     "reset and step. Otherwise: writable, and never written by the batch again\n"
                     "while any of them is alive.")
        .def("state", &BatchObject::state, "env"_a,
             "A copy of env `env`'s game; refused while a reset or step is under way.");
}

}  // namespace core
