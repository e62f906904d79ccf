#include "kernels.h"

#include <cstring>
#include <immintrin.h>

// Everything below is compiled for avx2; it runs only after the processor check.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

namespace kdmdci {
namespace avx2 {
#define KDM_WIDE 1
#include "kernels_simd.inc"
const Kernels kAvx2 = {SimdLevel::Avx2, "avx2", idctPairSimd, bgr16Simd};
} // namespace avx2

const Kernels& avx2Kernels() {
    return avx2::kAvx2;
}

} // namespace kdmdci

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
