// A small benchmark harness: runs a body in timed batches and reports the median batch time per
// call, so that one slow batch (a page fault, the other core's noise) does not move the figure.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <vector>

namespace bench {

// Keeps the compiler from discarding a computed value.
template <class T>
inline void keep(const T& value) {
    asm volatile("" : : "r,m"(value) : "memory");
}

struct Result {
    double median_ns = 0;
};

// setup(n) prepares n calls and returns nothing; body(i) is the i-th timed call.
template <class Setup, class Body>
Result measure(std::size_t calls_per_batch, std::size_t batches, Setup&& setup, Body&& body) {
    std::vector<double> per_call;
    per_call.reserve(batches);
    for (std::size_t b = 0; b < batches + 1; ++b) {
        setup(calls_per_batch);
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < calls_per_batch; ++i) body(i);
        const auto stop = std::chrono::steady_clock::now();
        if (b == 0) continue;  // warm-up batch
        per_call.push_back(std::chrono::duration<double, std::nano>(stop - start).count() /
                           static_cast<double>(calls_per_batch));
    }
    std::nth_element(per_call.begin(), per_call.begin() + per_call.size() / 2, per_call.end());
    return Result{per_call[per_call.size() / 2]};
}

inline void report(const char* name, const Result& r, double floor_ns) {
    std::printf("%-34s %12.1f ns %10.2f x floor\n", name, r.median_ns, r.median_ns / floor_ns);
}

}  // namespace bench
