// Process-wide state of the picture library: start counters, lock, entropy
// lookup tables, dequantisation table cache and per-thread timing.
#pragma once

#include "huffman.h"
#include "kdmdci.h"

#include <atomic>
#include <cstdint>
#include <mutex>

namespace kdmdci {

constexpr int kCacheSlots = 37;

struct TableSlot {
    uint32_t keyLuma = 0;   // quantiser scale x Contrast
    uint32_t keyChroma = 0; // quantiser scale x Saturation
    int level = -1;         // quantisation level the tables were made for
    int16_t luma[64] = {};
    int16_t chroma[64] = {};
};

struct Library {
    std::atomic<int> starts{0};
    std::atomic<int> ready{0};
    std::mutex lock;
    bool tablesBuilt = false;
    HuffLookups huff;
    TableSlot slots[kCacheSlots];
    std::atomic<uint64_t> tableFills{0}; // how often a slot was (re)computed
};

Library& library();

void libraryInit();
void libraryDone();

ProcessTimes& threadTimes();
uint64_t ticks();

// Fills a slot's tables for a level (0-12) with the given multipliers.
void computeDequant(int level, uint32_t contrast, uint32_t saturation, int16_t* luma,
                    int16_t* chroma);

} // namespace kdmdci
