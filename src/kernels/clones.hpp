// Hot loops compiled more than once on x86-64 and picked when the module loads, by what the processor
// has: LQ_CLONES for AVX2 and FMA (x86-64-v3) or any, LQ_FMA_CLONES for FMA or any, LQ_POPCNT_CLONES for
// the population count instruction or any (the compiler turns the bit-counting idiom into it). Every clone gives
// the same values: the loops are element-wise or sum integers, and no floating-point operation is
// contracted (-ffp-contract=off), so only std::fma fuses, in every clone. Elsewhere (aarch64 has FMA in
// every processor) one build serves.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__)
#define LQ_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#define LQ_FMA_CLONES __attribute__((target_clones("fma", "default")))
#define LQ_POPCNT_CLONES __attribute__((target_clones("popcnt", "default")))
#else
#define LQ_CLONES
#define LQ_FMA_CLONES
#define LQ_POPCNT_CLONES
#endif
