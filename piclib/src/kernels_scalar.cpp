#include "kernels.h"

namespace kdmdci {

namespace {

// One 8-point pass of the AAN inverse transform on v[0], v[s], ..., v[7s].
inline void idct8(int16_t* v, int s) {
    const int16_t in0 = v[0], in1 = v[s], in2 = v[2 * s], in3 = v[3 * s];
    const int16_t in4 = v[4 * s], in5 = v[5 * s], in6 = v[6 * s], in7 = v[7 * s];

    const int16_t t10 = add16(in0, in4), t11 = sub16(in0, in4);
    const int16_t t13 = add16(in2, in6);
    const int16_t t12 = sub16(mulc16(sub16(in2, in6), kSqrt2), t13);
    const int16_t e0 = add16(t10, t13), e3 = sub16(t10, t13);
    const int16_t e1 = add16(t11, t12), e2 = sub16(t11, t12);

    const int16_t z13 = add16(in5, in3), z10 = sub16(in5, in3);
    const int16_t z11 = add16(in1, in7), z12 = sub16(in1, in7);
    const int16_t o7 = add16(z11, z13);
    const int16_t o11 = mulc16(sub16(z11, z13), kSqrt2);
    const int16_t o10 = add16(mulc16(z12, kNeg0765), mulc16(z10, kNeg1848));
    const int16_t o12 = add16(mulc16(z10, kNeg0765), mulc16(z12, kPos1848));
    const int16_t o6 = sub16(o12, o7);
    const int16_t o5 = sub16(o11, o6);
    const int16_t o4 = add16(o10, o5);

    v[0] = add16(e0, o7);
    v[7 * s] = sub16(e0, o7);
    v[s] = add16(e1, o6);
    v[6 * s] = sub16(e1, o6);
    v[2 * s] = add16(e2, o5);
    v[5 * s] = sub16(e2, o5);
    v[4 * s] = add16(e3, o4);
    v[3 * s] = sub16(e3, o4);
}

void idctBlock(const int16_t* coef, const int16_t* deq, int16_t* out) {
    int16_t w[64];
    for (int i = 0; i < 64; ++i)
        w[i] = static_cast<int16_t>(coef[i] * deq[i]);
    for (int c = 0; c < 8; ++c)
        idct8(w + c, 8);
    for (int r = 0; r < 8; ++r)
        idct8(w + 8 * r, 1);
    for (int i = 0; i < 64; ++i)
        out[i] = static_cast<int16_t>(w[i] >> 5);
}

void idctPairScalar(const int16_t* coef, const int16_t* deq, int16_t* out) {
    idctBlock(coef, deq, out);
    idctBlock(coef + 64, deq, out + 64);
}

void bgr16Scalar(const int16_t* yl, const int16_t* yr, const int16_t* cb, const int16_t* cr,
                 int16_t bright, uint8_t* out) {
    for (int i = 0; i < 16; ++i) {
        const int16_t y = add16(i < 8 ? yl[i] : yr[i - 8], bright);
        const int16_t b = cb[i >> 1], r = cr[i >> 1];
        out[3 * i + 0] = sat8(add16(y, static_cast<int16_t>(4 * mulhi16(b, kCbToB))));
        out[3 * i + 1] =
            sat8(sub16(sub16(y, mulhi16(b, kCbToG)), static_cast<int16_t>(2 * mulhi16(r, kCrToG))));
        out[3 * i + 2] = sat8(add16(y, static_cast<int16_t>(4 * mulhi16(r, kCrToR))));
    }
}

const Kernels kScalar = {SimdLevel::None, "none", idctPairScalar, bgr16Scalar};

} // namespace

const Kernels& scalarKernels() {
    return kScalar;
}

} // namespace kdmdci
