// Growable arrays of the engine. Running out of memory is not recoverable: the allocator reports
// the requested size and aborts instead of throwing, so no allocation failure can surface as a
// Python exception halfway through an operation.
//
// The exception is an array whose length a caller chooses (the games of a batch): asking for more
// than the machine holds is the caller's mistake, made before any work starts, so it throws
// std::bad_alloc for the binding to report as a MemoryError that names the request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "game/errors.hpp"

namespace game {

template <class T>
struct AbortingAllocator {
    using value_type = T;

    AbortingAllocator() = default;
    template <class U>
    constexpr AbortingAllocator(const AbortingAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        const std::size_t bytes = n * sizeof(T);
        if (n > SIZE_MAX / sizeof(T)) allocation_failed(SIZE_MAX);
        void* p = std::malloc(bytes == 0 ? 1 : bytes);
        if (p == nullptr) allocation_failed(bytes);
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t) noexcept { std::free(p); }

    // Elements made without a value are default-initialised, not zeroed: a buffer that is about
    // to be written whole (an observation) is not cleared first. Pass a value to fill.
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    template <class U>
    bool operator==(const AbortingAllocator<U>&) const noexcept {
        return true;
    }
};

template <class T>
using Vec = std::vector<T, AbortingAllocator<T>>;

// An array sized by a caller's request: std::vector's own allocator, which throws.
template <class T>
using SizedByCaller = std::vector<T>;

using Bytes = Vec<std::uint8_t>;

}  // namespace game
