// tavlok._core.Batch and tavlok._core.LearnerBatch: the batches of games (game::Batch, where the
// caller plays every seat, and game::LearnerBatch, where it plays one against the engine's bots)
// behind tavlok.VectorEnv and tavlok.gym_vector.LearnerVectorEnv.
//
// A batch owns one block of memory holding every output array of the batch and hands out
// read-only numpy views of it; the Python envs take them once, so they are the same objects after
// every step. step and reset release the interpreter lock while the engine works, so other Python
// threads run meanwhile; a second call on the same batch during that time is refused rather than
// queued.
//
// A reset or step that does not finish (stopped by Ctrl-C, failed inside the engine, or under way
// in the parent when this process was forked from it) leaves some games moved and others not.
// Rather than step games that are no longer where the caller's actions left them, the batch then
// refuses step until a reset has started every game anew.
#include "game/batch.hpp"

#include <nanobind/stl/array.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <vector>

#include "core.hpp"
#include "game/learner_batch.hpp"
#include "interrupt.hpp"

namespace core {

namespace {

using game::Autoreset;
using game::MaskLayout;
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

// The output arrays of a batch, carved out of one block. The room for lists is sized for the
// largest number of legal placements a seat can have (game::MAX_LEGAL_PLACEMENTS) in every env,
// but lists are packed from the start, so only the pages they reach are ever touched.
struct Outputs {
    // Leaving out the alignment: for a figure shown to people.
    static std::size_t bytes_per_env(MaskLayout layout, Autoreset autoreset) {
        std::size_t total = 0;
        for (const std::size_t size : sizes(1, layout, autoreset)) total += size;
        return total;
    }

    Outputs(std::size_t num_envs, MaskLayout layout, Autoreset autoreset) {
        const std::array<std::size_t, 13> sizes = Outputs::sizes(num_envs, layout, autoreset);
        std::size_t total = 0;
        for (const std::size_t size : sizes) total += whole_lines(size);
        block.reset(static_cast<std::uint8_t*>(std::aligned_alloc(LINE, total)));
        if (block == nullptr) throw std::bad_alloc();
        std::uint8_t* next = block.get();
        auto carve = [&, i = 0]() mutable -> std::uint8_t* {
            std::uint8_t* at = sizes[i] != 0 ? next : nullptr;
            next += whole_lines(sizes[i++]);
            return at;
        };
        buffers.planes = carve();
        buffers.masks = carve();
        buffers.legal_offsets = reinterpret_cast<std::int32_t*>(carve());
        buffers.legal_indices = reinterpret_cast<std::int32_t*>(carve());
        buffers.hands = carve();
        buffers.seats = reinterpret_cast<std::int8_t*>(carve());
        buffers.terminated = carve();
        buffers.scores = reinterpret_cast<std::int16_t*>(carve());
        buffers.placements = reinterpret_cast<std::int16_t*>(carve());
        buffers.rewards = reinterpret_cast<float*>(carve());
        buffers.final_planes = carve();
        buffers.final_hands = carve();
        buffers.final_seats = reinterpret_cast<std::int8_t*>(carve());
    }

    std::unique_ptr<std::uint8_t, FreeBlock> block;
    game::BatchBuffers buffers;

private:
    // The bytes of each array, in the order of BatchBuffers.
    static std::array<std::size_t, 13> sizes(std::size_t num_envs, MaskLayout layout,
                                             Autoreset autoreset) {
        const bool listed = layout == MaskLayout::Indices;
        const bool finals = autoreset == Autoreset::SameStep;
        return {
            game::PLANE_BYTES * num_envs,
            num_envs * game::EnvBatch::mask_bytes(layout),
            listed ? sizeof(std::int32_t) * (num_envs + 1) : 0,
            listed ? sizeof(std::int32_t) * num_envs * game::MAX_LEGAL_PLACEMENTS : 0,
            game::HAND_BYTES * num_envs,
            num_envs,
            num_envs,
            sizeof(std::int16_t) * NUM_AGENTS * num_envs,
            sizeof(std::int16_t) * num_envs,
            sizeof(float) * num_envs,
            finals ? game::PLANE_BYTES * num_envs : 0,
            finals ? game::HAND_BYTES * num_envs : 0,
            finals ? num_envs : 0,
        };
    }
};

MaskLayout layout_named(std::string_view name) {
    if (name == "bytes") return MaskLayout::Bytes;
    if (name == "bits") return MaskLayout::Bits;
    if (name == "indices") return MaskLayout::Indices;
    raise_value_error("mask must be 'bytes', 'bits' or 'indices', not '%s'",
                      std::string(name).c_str());
}

// By the values of Gymnasium's AutoresetMode.
Autoreset autoreset_named(std::string_view name) {
    if (name == "NextStep") return Autoreset::NextStep;
    if (name == "SameStep") return Autoreset::SameStep;
    if (name == "Disabled") return Autoreset::Disabled;
    raise_value_error("autoreset mode must be 'NextStep', 'SameStep' or 'Disabled', not '%s'",
                      std::string(name).c_str());
}

// The batch's size, checked before anything is built.
std::size_t checked_envs(IndexArgument num_envs, MaskLayout layout) {
    const std::size_t envs = count_in(num_envs, "num_envs", 1, MAX_ENVS);
    if (layout == MaskLayout::Indices && envs > game::MAX_LISTS)
        raise_value_error("num_envs must be between 1 and %llu with mask='indices', not %zu",
                          static_cast<unsigned long long>(game::MAX_LISTS), envs);
    return envs;
}

// A batch of the engine (game::Batch or game::LearnerBatch) with its outputs.
template <class Engine>
class BatchObject {
public:
    template <class... EngineArgs>
    BatchObject(std::size_t num_envs, std::size_t num_threads, MaskLayout layout,
                Autoreset autoreset, std::uint64_t seed, const EngineArgs&... more)
        : outputs_(num_envs, layout, autoreset),
          actions_(num_envs),
          batch_(num_envs, num_threads, layout, seed, more..., autoreset) {
        batch_.stop_when(&python_signals());
        batch_.reset(outputs_.buffers);
    }

    // What a batch of num_envs games takes: the games, the output buffers and the actions.
    static double bytes_needed(std::size_t num_envs, MaskLayout layout, Autoreset autoreset) {
        return static_cast<double>(num_envs) *
               static_cast<double>(Engine::bytes_per_env(layout) +
                                   Outputs::bytes_per_env(layout, autoreset) +
                                   sizeof(std::int64_t));
    }

    std::size_t num_envs() const { return batch_.size(); }
    std::size_t num_threads() const { return batch_.num_threads(); }
    const game::BatchBuffers& buffers() const { return outputs_.buffers; }
    const Engine& engine() const { return batch_; }
    MaskLayout layout() const { return batch_.layout(); }

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
        unfinished_ = "reset()";
        without_lock([&] { batch_.reset(outputs_.buffers, each, mask); },
                     {"reset()", "envs", NO_STEP_BEFORE_RESET});
        unfinished_ = still_unfinished;
    }

    std::size_t step(const nb::ndarray<nb::ro, nb::device::cpu>& actions) {
        const ExclusiveUse use = take();
        if (unfinished_ != nullptr)
            nb::raise(
                "the batch's last %s did not finish (interrupted, failed, or under way in the "
                "process this one was forked from), so its games are no longer one step apart; "
                "reset() starts them anew",
                unfinished_);
        read_actions(actions);
        game::BatchStep result;
        unfinished_ = "step()";
        without_lock([&] { result = batch_.step(actions_, outputs_.buffers); },
                     {"step()", "envs", NO_STEP_BEFORE_RESET});
        unfinished_ = nullptr;
        if (const std::optional<game::RefusedAction> refused = result.refused) {
            if (refused->game_over)
                raise_value_error(
                    "env %zu's game is over and autoreset is disabled: reset it first; no env "
                    "was stepped",
                    refused->env);
            refuse(refused->env, std::to_string(refused->action), refused->seat);
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

    [[noreturn]] static void refuse(std::size_t env, const std::string& action, std::size_t seat) {
        raise_value_error("illegal action %s for env %zu (seat %zu to move); no env was stepped",
                          action.c_str(), env, seat);
    }

    // Copies one integer per env into actions_, whatever its integer type and stride.
    void read_actions(const nb::ndarray<nb::ro, nb::device::cpu>& actions) {
        if (actions.ndim() != 1 || actions.shape(0) != num_envs())
            raise_value_error(
                "actions must hold one grid index per env, shape (%zu,), not %zu dimension(s) of "
                "length %zu",
                num_envs(), actions.ndim(), actions.ndim() >= 1 ? actions.shape(0) : 1);
        const nb::dlpack::dtype type = actions.dtype();
        const auto code = static_cast<nb::dlpack::dtype_code>(type.code);
        const bool is_signed = code == nb::dlpack::dtype_code::Int;
        if ((!is_signed && code != nb::dlpack::dtype_code::UInt) || type.lanes != 1)
            nb::raise_type_error("actions must be integers");
        switch (type.bits) {
            case 8:
                return is_signed ? widen<std::int8_t>(actions) : widen<std::uint8_t>(actions);
            case 16:
                return is_signed ? widen<std::int16_t>(actions) : widen<std::uint16_t>(actions);
            case 32:
                return is_signed ? widen<std::int32_t>(actions) : widen<std::uint32_t>(actions);
            case 64:
                return is_signed ? widen<std::int64_t>(actions) : widen<std::uint64_t>(actions);
            default:
                nb::raise_type_error("actions must be integers of 8 to 64 bits");
        }
    }

    template <class T>
    void widen(const nb::ndarray<nb::ro, nb::device::cpu>& actions) {
        const auto* data = static_cast<const std::uint8_t*>(actions.data());
        const std::int64_t stride = actions.stride(0) * static_cast<std::int64_t>(sizeof(T));
        for (std::size_t i = 0; i < actions_.size(); ++i) {
            T value;
            std::memcpy(&value, data + static_cast<std::int64_t>(i) * stride, sizeof(T));
            if constexpr (std::is_same_v<T, std::uint64_t>) {
                // Only a game that is over takes any number; it is not played.
                if (value > static_cast<std::uint64_t>(INT64_MAX)) {
                    if (!batch_.over(i)) refuse(i, std::to_string(value), batch_.view(i).seat);
                    value = 0;
                }
            }
            actions_[i] = static_cast<std::int64_t>(value);
        }
    }

    // The buffers first: the engine's batch starts threads last, once everything is allocated.
    Outputs outputs_;
    game::SizedByCaller<std::int64_t> actions_;  // the converted actions of the current step
    Engine batch_;
    ExclusiveUse::Mark in_use_{0};
    // The call that has not finished ("step()", "reset()"), or nullptr: see the top of the file.
    const char* unfinished_ = nullptr;
    bool closed_ = false;
};

using SelfPlay = BatchObject<game::Batch>;
using Learner = BatchObject<game::LearnerBatch>;

// Makes a batch in `self` with the interpreter lock released, and reports what it could not get.
template <class Object, class... More>
void construct(Object* self, std::size_t envs, std::size_t threads, MaskLayout layout,
               Autoreset autoreset, std::uint64_t seed, const More&... more) {
    try {
        without_lock([&] { new (self) Object(envs, threads, layout, autoreset, seed, more...); },
                     {"making the batch", "games", "no batch was made"});
    } catch (const std::bad_alloc&) {
        raise_too_large(std::to_string(envs) + " envs",
                        Object::bytes_needed(envs, layout, autoreset),
                        "for their games and buffers");
    } catch (const std::system_error& failure) {
        raise_threads_failed(std::min(envs, threads), failure);
    }
}

// Read-only numpy views of the output arrays, with the env as the first dimension. Returned with
// the reference_internal policy, a view keeps the batch alive.
template <class T, std::int64_t... Extents>
using View = nb::ndarray<nb::numpy, const T, nb::shape<-1, Extents...>>;
constexpr std::int64_t SIDE = game::BOARD_SIZE, SEATS = NUM_AGENTS, KINDS = game::NUM_PIECE_TYPES;

// What both batches offer, on their class.
// One of the arrays of the indices layout, `size` entries of the batch's own; None in the others.
template <class Object>
std::optional<nb::ndarray<nb::numpy, const std::int32_t, nb::ndim<1>>> list_array(
    const Object& b, const std::int32_t* data, std::size_t size) {
    if (b.layout() != MaskLayout::Indices) return std::nullopt;
    return nb::ndarray<nb::numpy, const std::int32_t, nb::ndim<1>>(data, {size});
}

template <class Object>
void bind_common(nb::class_<Object>& cls) {
    using namespace nb::literals;
    constexpr auto internal = nb::rv_policy::reference_internal;
    cls.def("reset", &Object::reset, "seeds"_a.none(), "only"_a.none(),
            "Starts a new game in every env, or in those where `only` is true. `seeds`, one per\n"
            "env: an int reseeds that env's generator from (seed, env index), None lets it carry\n"
            "on.")
        .def("step", &Object::step, "actions"_a,
             "Plays one grid index per env; returns how many games ended.")
        .def("close", &Object::close, "Ends the worker threads; the batch refuses later calls.")
        .def_prop_ro("num_envs", &Object::num_envs, "Number of games.")
        .def_prop_ro("num_threads", &Object::num_threads, "Threads that step the games.")
        .def_prop_ro(
            "observation",
            [](const Object& b) {
                return View<std::uint8_t, SEATS, SIDE, SIDE>(
                    b.buffers().planes,
                    {b.num_envs(), NUM_AGENTS, game::BOARD_SIZE, game::BOARD_SIZE});
            },
            internal, "(num_envs, 4, 20, 20) uint8: the player's planes in its frame.")
        .def_prop_ro(
            "action_mask",
            [](const Object& b) -> std::optional<nb::ndarray<nb::numpy, nb::ro, nb::ndim<2>>> {
                if (b.layout() == MaskLayout::Indices) return std::nullopt;
                // Bytes are int8, as PettingZoo's masks; packed bits are uint8, as numpy packs.
                const std::size_t shape[] = {b.num_envs(), game::EnvBatch::mask_bytes(b.layout())};
                return nb::ndarray<nb::numpy, nb::ro, nb::ndim<2>>(
                    b.buffers().masks, 2, shape, nb::handle(), nullptr,
                    b.layout() == MaskLayout::Bits ? nb::dtype<std::uint8_t>()
                                                   : nb::dtype<std::int8_t>());
            },
            internal,
            "(num_envs, 36400) int8, or (num_envs, 4550) uint8 of packed bits: the player's legal\n"
            "grid indices; None with lists.")
        .def_prop_ro(
            "legal_offsets",
            [](const Object& b) {
                return list_array(b, b.buffers().legal_offsets, b.num_envs() + 1);
            },
            internal,
            "(num_envs + 1,) int32: env i's legal grid indices are legal_indices[offsets[i]:\n"
            "offsets[i + 1]]; None without lists.")
        .def_prop_ro(
            "legal_indices",
            [](const Object& b) {
                return list_array(b, b.buffers().legal_indices,
                                  b.num_envs() * game::MAX_LEGAL_PLACEMENTS);
            },
            internal,
            "(num_envs * max_legal_placements,) int32: room for every env's legal grid indices,\n"
            "ascending, end to end; the first legal_offsets[-1] hold them. None without lists.")
        .def_prop_ro(
            "hands",
            [](const Object& b) {
                return View<std::uint8_t, SEATS, KINDS>(b.buffers().hands,
                                                        {b.num_envs(), NUM_AGENTS, KINDS});
            },
            internal,
            "(num_envs, 4, 21) uint8: row k for the seat k turns after the player, 1 for each\n"
            "kind it still holds.")
        .def_prop_ro(
            "seat",
            [](const Object& b) { return View<std::int8_t>(b.buffers().seats, {b.num_envs()}); },
            internal, "(num_envs,) int8: the player's seat.")
        .def_prop_ro(
            "scores",
            [](const Object& b) {
                return View<std::int16_t, SEATS>(b.buffers().scores, {b.num_envs(), NUM_AGENTS});
            },
            internal, "(num_envs, 4) int16: the final scores of the games that ended, else 0.")
        .def_prop_ro(
            "terminated",
            [](const Object& b) { return View<bool>(b.buffers().terminated, {b.num_envs()}); },
            internal, "(num_envs,) bool: whether the env's game ended in the last call.")
        .def_prop_ro(
            "placements",
            [](const Object& b) {
                return View<std::int16_t>(b.buffers().placements, {b.num_envs()});
            },
            internal, "(num_envs,) int16: the pieces placed in the games that ended, else 0.")
        .def_prop_ro(
            "final_observation",
            [](const Object& b) -> std::optional<View<std::uint8_t, SEATS, SIDE, SIDE>> {
                if (b.buffers().final_planes == nullptr) return std::nullopt;
                return View<std::uint8_t, SEATS, SIDE, SIDE>(
                    b.buffers().final_planes,
                    {b.num_envs(), NUM_AGENTS, game::BOARD_SIZE, game::BOARD_SIZE});
            },
            internal,
            "With same-step autoreset, the planes of each game that ended in the last call, in\n"
            "its rows; None otherwise.")
        .def_prop_ro(
            "final_hands",
            [](const Object& b) -> std::optional<View<std::uint8_t, SEATS, KINDS>> {
                if (b.buffers().final_hands == nullptr) return std::nullopt;
                return View<std::uint8_t, SEATS, KINDS>(b.buffers().final_hands,
                                                        {b.num_envs(), NUM_AGENTS, KINDS});
            },
            internal, "As final_observation, for hands.")
        .def_prop_ro(
            "final_seat",
            [](const Object& b) -> std::optional<View<std::int8_t>> {
                if (b.buffers().final_seats == nullptr) return std::nullopt;
                return View<std::int8_t>(b.buffers().final_seats, {b.num_envs()});
            },
            internal, "As final_observation, for the player's seat.");
}

// By the names the arena reads (engine_bot), "mcts:400" and the like included.
std::array<game::BotSpec, NUM_AGENTS - 1> opponents_named(
    const std::array<std::string, NUM_AGENTS - 1>& names) {
    std::array<game::BotSpec, NUM_AGENTS - 1> opponents;
    for (std::size_t k = 0; k < opponents.size(); ++k) opponents[k] = engine_bot(names[k]);
    return opponents;
}

game::Reward reward_named(std::string_view name) {
    if (name == "score") return game::Reward::Score;
    if (name == "win") return game::Reward::Win;
    raise_value_error("reward must be 'score' or 'win', not '%s'", std::string(name).c_str());
}

}  // namespace

void bind_batch(nb::module_& module) {
    using namespace nb::literals;
    module.attr("MAX_LEGAL_PLACEMENTS") = game::MAX_LEGAL_PLACEMENTS;

    nb::class_<SelfPlay> self_play(module, "Batch", nb::is_final(),
                                   "num_envs games in which the caller plays every seat; the "
                                   "engine side of tavlok.VectorEnv.");
    self_play.def(
        "__init__",
        [](SelfPlay* self, IndexArgument num_envs, IndexArgument num_threads, std::string_view mask,
           std::string_view autoreset, std::uint64_t seed) {
            const MaskLayout layout = layout_named(mask);
            const Autoreset mode = autoreset_named(autoreset);
            const std::size_t envs = checked_envs(num_envs, layout);
            const std::size_t threads = count_in(num_threads, "num_threads", 1, MAX_THREADS);
            construct(self, envs, threads, layout, mode, seed);
        },
        "num_envs"_a, "num_threads"_a, "mask"_a, "autoreset"_a, "seed"_a);
    bind_common(self_play);

    nb::class_<Learner> learner(module, "LearnerBatch", nb::is_final(),
                                "num_envs games in which the caller plays one seat, the learner,\n"
                                "and the engine's bots the other three; the engine side of\n"
                                "tavlok.gym_vector.LearnerVectorEnv.");
    learner
        .def(
            "__init__",
            [](Learner* self, IndexArgument num_envs, IndexArgument num_threads,
               std::string_view mask, std::string_view autoreset, std::uint64_t seed,
               const std::array<std::string, NUM_AGENTS - 1>& opponents,
               std::optional<IndexArgument> seat, std::string_view reward) {
                const MaskLayout layout = layout_named(mask);
                const Autoreset mode = autoreset_named(autoreset);
                const std::size_t envs = checked_envs(num_envs, layout);
                const std::size_t threads = count_in(num_threads, "num_threads", 1, MAX_THREADS);
                game::LearnerOptions options;
                options.opponents = opponents_named(opponents);
                if (seat) options.seat = index_below(*seat, "seat", NUM_AGENTS);
                options.reward = reward_named(reward);
                construct(self, envs, threads, layout, mode, seed, options);
            },
            "num_envs"_a, "num_threads"_a, "mask"_a, "autoreset"_a, "seed"_a, "opponents"_a,
            "seat"_a.none(), "reward"_a)
        .def_prop_ro(
            "rewards",
            [](const Learner& b) { return View<float>(b.buffers().rewards, {b.num_envs()}); },
            nb::rv_policy::reference_internal,
            "(num_envs,) float32: the learner's reward for the games that ended, else 0.")
        .def(
            "state",
            [](const Learner& b, IndexArgument env) {
                return b.engine().state(index_below(env, "env", b.num_envs()));
            },
            "env"_a, "A copy of env `env`'s game.");
    bind_common(learner);
}

}  // namespace core
