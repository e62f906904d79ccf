#include "kernels.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace kdmdci {

const Kernels* kernelsFor(SimdLevel level) {
    switch (level) {
    case SimdLevel::None:
        return &scalarKernels();
#if defined(__x86_64__) || defined(__i386__)
    case SimdLevel::Sse2:
        return __builtin_cpu_supports("sse2") ? &sse2Kernels() : nullptr;
    case SimdLevel::Avx2:
        return __builtin_cpu_supports("avx2") ? &avx2Kernels() : nullptr;
#endif
    default:
        return nullptr;
    }
}

namespace {
const Kernels& choose() {
    const char* forced = std::getenv("KDM_SIMD");
    if (forced) {
        const Kernels* k = nullptr;
        if (std::strcmp(forced, "none") == 0)
            k = kernelsFor(SimdLevel::None);
        else if (std::strcmp(forced, "sse2") == 0)
            k = kernelsFor(SimdLevel::Sse2);
        else if (std::strcmp(forced, "avx2") == 0)
            k = kernelsFor(SimdLevel::Avx2);
        // A level this processor lacks falls back to the best one it has.
        if (k)
            return *k;
    }
    for (SimdLevel l : {SimdLevel::Avx2, SimdLevel::Sse2})
        if (const Kernels* k = kernelsFor(l))
            return *k;
    return scalarKernels();
}
} // namespace

const Kernels& activeKernels() {
    static const Kernels& k = choose();
    return k;
}

} // namespace kdmdci
