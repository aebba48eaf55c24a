// Functions built for more than one instruction set, the best picked on the processor that runs
// them. Only x86-64 has such a choice: its baseline build assumes no population count and no wide
// registers. Elsewhere (aarch64's baseline counts bits with one instruction) the one portable
// build is made.
#pragma once

// Builds of a function for each listed target, picked when the library is loaded. The loader
// calls the compiler's resolver through an ELF indirect function, which Mach-O has no form of;
// there the function is built for the baseline alone.
#if defined(__x86_64__) && defined(__ELF__)
#define TAVLOK_CLONES(...) [[gnu::target_clones(__VA_ARGS__)]]
#else
#define TAVLOK_CLONES(...)
#endif

// 1 where functions built with [[gnu::target]] may be picked by hand on __builtin_cpu_supports,
// which needs no help from the loader: every x86-64.
#if defined(__x86_64__)
#define TAVLOK_X86_DISPATCH 1
#else
#define TAVLOK_X86_DISPATCH 0
#endif
