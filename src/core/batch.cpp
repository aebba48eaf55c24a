// tavlok._core.Batch: the batch of games (game::Batch) behind tavlok.VectorEnv.
//
// A Batch owns one block of memory holding every output array of the batch and hands out
// read-only numpy views of it; tavlok.vector takes them once, so they are the same objects after
// every step. step and reset release the interpreter lock while the engine works, so other Python
// threads run meanwhile; a second call on the same Batch during that time is refused rather than
// queued.
//
// A reset or step that does not finish (stopped by Ctrl-C, failed inside the engine, or under way
// in the parent when this process was forked from it) leaves some games moved and others not.
// Rather than step games that are no longer where the caller's actions left them, the batch then
// refuses step until a reset has started every game anew.
#include "game/batch.hpp"

#include <nanobind/stl/optional.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <type_traits>
#include <vector>

#include "core.hpp"
#include "interrupt.hpp"

namespace core {

namespace {

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

// The output arrays of a batch, carved out of one block.
struct Outputs {
    // Leaving out the alignment: for a figure shown to people.
    static constexpr std::size_t bytes_per_env(std::size_t mask_bytes) {
        return game::PLANE_BYTES + mask_bytes + 1 + sizeof(std::int16_t) * NUM_AGENTS + 1 +
               sizeof(std::int16_t);
    }

    Outputs(std::size_t num_envs, std::size_t mask_bytes) {
        const std::size_t sizes[] = {
            game::PLANE_BYTES * num_envs,
            num_envs * mask_bytes,
            num_envs,
            sizeof(std::int16_t) * NUM_AGENTS * num_envs,
            num_envs,
            sizeof(std::int16_t) * num_envs,
        };
        std::size_t total = 0;
        for (const std::size_t size : sizes) total += whole_lines(size);
        block.reset(static_cast<std::uint8_t*>(std::aligned_alloc(LINE, total)));
        if (block == nullptr) throw std::bad_alloc();
        std::uint8_t* next = block.get();
        auto carve = [&, i = 0]() mutable {
            std::uint8_t* at = next;
            next += whole_lines(sizes[i++]);
            return at;
        };
        buffers.planes = carve();
        buffers.masks = carve();
        buffers.seats = reinterpret_cast<std::int8_t*>(carve());
        buffers.rewards = reinterpret_cast<std::int16_t*>(carve());
        buffers.terminated = carve();
        buffers.placements = reinterpret_cast<std::int16_t*>(carve());
    }

    std::unique_ptr<std::uint8_t, FreeBlock> block;
    game::BatchBuffers buffers;
};

class Batch {
public:
    Batch(std::size_t num_envs, std::size_t num_threads, game::MaskLayout mask, std::uint64_t seed)
        : batch_(num_envs, num_threads, mask, seed),
          outputs_(num_envs, game::Batch::mask_bytes(mask)),
          actions_(num_envs) {
        batch_.stop_when(&python_signals());
        batch_.reset(outputs_.buffers);
    }

    // What a batch of num_envs games takes: the games, the output buffers and the actions.
    static double bytes_needed(std::size_t num_envs, game::MaskLayout mask) {
        return static_cast<double>(num_envs) *
               static_cast<double>(game::Batch::bytes_per_env() +
                                   Outputs::bytes_per_env(game::Batch::mask_bytes(mask)) +
                                   sizeof(std::int64_t));
    }

    std::size_t num_envs() const { return batch_.size(); }
    std::size_t num_threads() const { return batch_.num_threads(); }
    const game::BatchBuffers& buffers() const { return outputs_.buffers; }
    game::MaskLayout layout() const { return batch_.layout(); }
    bool bits() const { return layout() == game::MaskLayout::Bits; }

    void reset(std::optional<std::uint64_t> seed) {
        const ExclusiveUse use = take();
        unfinished_ = "reset()";
        without_lock([&] { batch_.reset(outputs_.buffers, seed); },
                     {"reset()", "envs", NO_STEP_BEFORE_RESET});
        unfinished_ = nullptr;
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
        if (result.refused)
            refuse(result.refused->env, std::to_string(result.refused->action),
                   result.refused->seat);
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
                if (value > static_cast<std::uint64_t>(INT64_MAX))
                    refuse(i, std::to_string(value), batch_.game(i).agent_selection);
            }
            actions_[i] = static_cast<std::int64_t>(value);
        }
    }

    game::Batch batch_;
    Outputs outputs_;
    game::SizedByCaller<std::int64_t> actions_;  // the converted actions of the current step
    ExclusiveUse::Mark in_use_{0};
    // The call that has not finished ("step()", "reset()"), or nullptr: see the top of the file.
    const char* unfinished_ = nullptr;
    bool closed_ = false;
};

// Read-only numpy views of the output arrays, with the env as the first dimension. Returned with
// the reference_internal policy, a view keeps the batch alive.
template <class T, std::int64_t... Extents>
using View = nb::ndarray<nb::numpy, const T, nb::shape<-1, Extents...>>;
constexpr std::int64_t SIDE = game::BOARD_SIZE, SEATS = NUM_AGENTS;

}  // namespace

void bind_batch(nb::module_& module) {
    using namespace nb::literals;
    constexpr auto internal = nb::rv_policy::reference_internal;
    nb::class_<Batch>(module, "Batch", nb::is_final(),
                      "num_envs games stepped together; the engine side of tavlok.VectorEnv.")
        .def(
            "__init__",
            [](Batch* self, IndexArgument num_envs, IndexArgument num_threads, bool bits,
               std::uint64_t seed) {
                const std::size_t envs = count_in(num_envs, "num_envs", 1, MAX_ENVS);
                const std::size_t threads = count_in(num_threads, "num_threads", 1, MAX_THREADS);
                const auto mask = bits ? game::MaskLayout::Bits : game::MaskLayout::Bytes;
                try {
                    without_lock([&] { new (self) Batch(envs, threads, mask, seed); },
                                 {"making the batch", "games", "no batch was made"});
                } catch (const std::bad_alloc&) {
                    raise_too_large(std::to_string(envs) + " envs", Batch::bytes_needed(envs, mask),
                                    "for their games and buffers");
                } catch (const std::system_error& failure) {
                    raise_threads_failed(std::min(envs, threads), failure);
                }
            },
            "num_envs"_a, "num_threads"_a, "bits"_a, "seed"_a)
        .def("reset", &Batch::reset, "seed"_a.none(),
             "Starts every game anew; an int seed reseeds every env.")
        .def("step", &Batch::step, "actions"_a,
             "Plays one grid index per env; returns how many games ended.")
        .def("close", &Batch::close, "Ends the worker threads; the batch refuses later calls.")
        .def_prop_ro("num_envs", &Batch::num_envs, "Number of games.")
        .def_prop_ro("num_threads", &Batch::num_threads, "Threads that step the games.")
        .def_prop_ro(
            "observation",
            [](const Batch& b) {
                return View<std::uint8_t, SEATS, SIDE, SIDE>(
                    b.buffers().planes,
                    {b.num_envs(), NUM_AGENTS, game::BOARD_SIZE, game::BOARD_SIZE});
            },
            internal, "(num_envs, 4, 20, 20) uint8: the mover's planes in its frame.")
        .def_prop_ro(
            "action_mask",
            [](const Batch& b) {
                // Bytes are int8, as PettingZoo's masks; packed bits are uint8, as numpy packs.
                const std::size_t shape[] = {b.num_envs(), game::Batch::mask_bytes(b.layout())};
                return nb::ndarray<nb::numpy, nb::ro, nb::shape<-1, -1>>(
                    b.buffers().masks, 2, shape, nb::handle(), nullptr,
                    b.bits() ? nb::dtype<std::uint8_t>() : nb::dtype<std::int8_t>());
            },
            internal,
            "(num_envs, 36400) int8, or (num_envs, 4550) uint8 of packed bits: the mover's legal "
            "grid indices.")
        .def_prop_ro(
            "seat",
            [](const Batch& b) { return View<std::int8_t>(b.buffers().seats, {b.num_envs()}); },
            internal, "(num_envs,) int8: the seat to move.")
        .def_prop_ro(
            "rewards",
            [](const Batch& b) {
                return View<std::int16_t, SEATS>(b.buffers().rewards, {b.num_envs(), NUM_AGENTS});
            },
            internal, "(num_envs, 4) int16: the final scores of the games that ended, else 0.")
        .def_prop_ro(
            "terminated",
            [](const Batch& b) { return View<bool>(b.buffers().terminated, {b.num_envs()}); },
            internal, "(num_envs,) bool: whether the env's game ended in the last step.")
        .def_prop_ro(
            "placements",
            [](const Batch& b) {
                return View<std::int16_t>(b.buffers().placements, {b.num_envs()});
            },
            internal, "(num_envs,) int16: the pieces placed in the games that ended, else 0.");
}

}  // namespace core
