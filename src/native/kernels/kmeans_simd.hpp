// Hot loops of the k-means kernels compiled twice on x86-64: for any
// processor, and for processors with AVX2 and fused multiply-add, picked at
// run time.  Fused multiply-adds must be the instruction for speed (the
// portable std::fma is a library call); plain arithmetic is never contracted
// (the kernels build with -ffp-contract=off), so both builds give the same
// values.
//
// Pure C++17; no Python headers.
#pragma once

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#include <immintrin.h>
#define CL_KMEANS_X86 1
#define CL_KMEANS_FMA_TARGET __attribute__((target("avx2,fma")))
#define CL_KMEANS_INLINE __attribute__((always_inline)) inline
namespace chromalens::kernels::kmeans {
inline bool has_fma_instructions() {
    static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return has;
}
}  // namespace chromalens::kernels::kmeans
#else
#define CL_KMEANS_FMA_TARGET
#define CL_KMEANS_INLINE inline
namespace chromalens::kernels::kmeans {
inline bool has_fma_instructions() { return false; }
}  // namespace chromalens::kernels::kmeans
#endif
