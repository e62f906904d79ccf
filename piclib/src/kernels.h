// Per-block and per-line kernels of the decoder. Every path (scalar, SSE2,
// AVX2) does the same 16-bit wrapping arithmetic, so all give identical
// pixels; KDM_SIMD=none|sse2|avx2 forces one.
#pragma once

#include <cstdint>

namespace kdmdci {

inline int16_t add16(int a, int b) {
    return static_cast<int16_t>(a + b);
}
inline int16_t sub16(int a, int b) {
    return static_cast<int16_t>(a - b);
}
// High half of the signed 16 x 16 product.
inline int16_t mulhi16(int16_t a, int16_t b) {
    return static_cast<int16_t>((static_cast<int32_t>(a) * b) >> 16);
}
// The transform's constant multiply: ((x * 4) * c) >> 16, x * 4 wrapping.
inline int16_t mulc16(int16_t x, int16_t c) {
    return mulhi16(static_cast<int16_t>(x * 4), c);
}
inline uint8_t sat8(int16_t v) {
    return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// Transform constants, 2^14 scale.
constexpr int16_t kSqrt2 = 23170;
constexpr int16_t kPos1848 = 30273;
constexpr int16_t kNeg0765 = -12540;
constexpr int16_t kNeg1848 = -30353;
// Colour conversion constants.
constexpr int16_t kCrToR = 22462, kCbToG = 22020, kCrToG = 22872, kCbToB = 28377;
constexpr int16_t kDcCrToG = 11436, kDcCbToG = 5505;

enum class SimdLevel { None, Sse2, Avx2 };

struct Kernels {
    SimdLevel level;
    const char* name;
    // Dequantises (low 16 bits of coefficient x entry) and inverse-transforms
    // two consecutive 64-coefficient blocks with the same table; samples are
    // centred on 0.
    void (*idctPair)(const int16_t* coef, const int16_t* deq, int16_t* out);
    // 16 BGR pixels (48 bytes) of one line: luma from the 8 samples of the
    // left and of the right block, each chroma sample serving two pixels.
    void (*bgr16)(const int16_t* yLeft, const int16_t* yRight, const int16_t* cb, const int16_t* cr,
                  int16_t brightness, uint8_t* out);
};

// The kernels of one level, or null when this processor lacks it.
const Kernels* kernelsFor(SimdLevel level);
// The kernels in use: the best available, or the one KDM_SIMD names.
const Kernels& activeKernels();

const Kernels& scalarKernels();
#if defined(__x86_64__) || defined(__i386__)
const Kernels& sse2Kernels();
const Kernels& avx2Kernels();
#endif

} // namespace kdmdci
