#include "library.h"

#include "tables.h"

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#else
#include <chrono>
#endif

namespace kdmdci {

Library& library() {
    static Library lib;
    return lib;
}

void libraryInit() {
    Library& lib = library();
    if (lib.starts.fetch_add(1) + 1 != 1)
        return;
    // Tables are built before the ready counter rises, under the lock the
    // decoder checks it with, so no decode sees half-built tables.
    std::lock_guard<std::mutex> guard(lib.lock);
    if (!lib.tablesBuilt) {
        buildHuffLookups(lib.huff);
        lib.tablesBuilt = true;
    }
    lib.ready.fetch_add(1);
}

void libraryDone() {
    Library& lib = library();
    // An unmatched Done must not drive the counter negative, or the next
    // Init would no longer start the library.
    int n = lib.starts.load();
    while (n > 0 && !lib.starts.compare_exchange_weak(n, n - 1)) {
    }
    if (n == 1)
        lib.ready.fetch_sub(1);
}

ProcessTimes& threadTimes() {
    thread_local ProcessTimes times{};
    return times;
}

uint64_t ticks() {
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    return std::chrono::steady_clock::now().time_since_epoch().count();
#endif
}

void computeDequant(int level, uint32_t contrast, uint32_t saturation, int16_t* luma,
                    int16_t* chroma) {
    const uint16_t* aan = aanScale();
    const uint8_t* ql = levelQuant(level, 0);
    const uint8_t* qc = levelQuant(level, 1);
    for (int k = 0; k < 64; ++k) {
        const int i = kZigzagToNatural[k];
        luma[i] = static_cast<int16_t>((aan[i] * (ql[k] * contrast)) >> 20);
        chroma[i] = static_cast<int16_t>((aan[i] * (qc[k] * saturation)) >> 20);
    }
}

} // namespace kdmdci
