#include "kernels.h"

#include <cstring>
#include <immintrin.h>

// Everything below is compiled for sse2; it runs only after the processor check.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("sse2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("sse2")
#endif

namespace kdmdci {
namespace sse2 {
#define KDM_WIDE 0
#include "kernels_simd.inc"
const Kernels kSse2 = {SimdLevel::Sse2, "sse2", idctPairSimd, bgr16Simd};
} // namespace sse2

const Kernels& sse2Kernels() {
    return sse2::kSse2;
}

} // namespace kdmdci

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
