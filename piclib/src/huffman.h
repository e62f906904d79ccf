// Huffman lookup tables and the bit reader of the entropy decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kdmdci {

constexpr int kFastBits = 10;
constexpr uint32_t kFastFull = 0x80, kFastCode = 0x40;

// Entry: code length in bits 8-15 and symbol in bits 0-7; 0 where no code
// starts, which the decoder reads as a zero-length category 0 or end of block.
struct HuffLookups {
    uint16_t dc[2][1 << 11]; // [0] luma, [1] chroma, indexed by the next 11 bits
    uint16_t ac[2][1 << 16]; // indexed by the next 16 bits
    // A cache-resident shortcut in front of `ac`, indexed by the next 10 bits:
    // value (bits 16-31), symbol (8-15), kFastFull or kFastCode, bits consumed (0-5).
    // kFastFull: code and magnitude fit, the coefficient value is ready;
    // kFastCode: only the code fits; neither: look up `ac`.
    uint32_t acFast[2][1 << kFastBits];
};

void buildHuffLookups(HuffLookups& t);

// Next unread bits left-aligned in a 64-bit buffer. Past the end of the data
// the reader delivers zero bits; decoding a truncated picture goes on.
class BitReader {
public:
    // Reads from data[start] on; positions (and the separator grid) count
    // from data[0].
    void init(const uint8_t* data, size_t size, bool wordPacked, size_t start = 0) {
        data_ = data;
        size_ = size;
        pos_ = start < size ? start : size;
        buf_ = 0;
        count_ = 0;
        word_ = wordPacked;
        exhausted_ = false;
    }

    // Guarantees at least 32 valid bits (or zero fill at the end).
    void ensure32() {
        if (count_ < 32)
            refill();
    }
    uint32_t peek(int n) const { return static_cast<uint32_t>(buf_ >> (64 - n)); }
    void skip(int n) {
        buf_ <<= n;
        count_ -= n;
    }
    uint32_t get(int n) {
        const uint32_t v = peek(n);
        skip(n);
        return v;
    }
    bool exhausted() const { return exhausted_; }
    size_t position() const { return pos_; }

    // Continues after the field separator: groups of FF FF FF D8 on a 4-byte
    // boundary, searched from a little before the read position because the
    // buffer has already taken up to eight bytes.
    void resyncAtSeparator() {
        size_t p = (pos_ >= 8 ? pos_ - 8 : 0) & ~static_cast<size_t>(3);
        size_t next = size_;
        for (; p + 4 <= size_; p += 4) {
            if (isSeparator(p)) {
                p += 4;
                while (p + 4 <= size_ && isSeparator(p))
                    p += 4;
                next = p;
                break;
            }
        }
        pos_ = next;
        buf_ = 0;
        count_ = 0;
        exhausted_ = false;
    }

private:
    bool isSeparator(size_t p) const {
        return data_[p] == 0xFF && data_[p + 1] == 0xFF && data_[p + 2] == 0xFF &&
               data_[p + 3] == 0xD8;
    }

    void refill() {
        if (word_) {
            while (count_ <= 48) {
                uint32_t w;
                if (pos_ + 1 < size_) {
                    w = data_[pos_] | (static_cast<uint32_t>(data_[pos_ + 1]) << 8);
                    pos_ += 2;
                } else if (pos_ < size_) {
                    w = data_[pos_];
                    pos_ = size_;
                } else {
                    exhausted_ = true;
                    count_ = 64;
                    return;
                }
                buf_ |= static_cast<uint64_t>(w) << (48 - count_);
                count_ += 16;
            }
            return;
        }
        if (pos_ + 8 <= size_) {
            uint64_t x;
            std::memcpy(&x, data_ + pos_, 8);
            x = __builtin_bswap64(x);
            // No 0xFF among the next 8 bytes: take as many whole bytes as fit.
            if ((((~x) - 0x0101010101010101ull) & x & 0x8080808080808080ull) == 0) {
                const int n = (64 - count_) >> 3;
                const int bits = n * 8;
                buf_ |= (x >> (64 - bits)) << (64 - count_ - bits);
                count_ += bits;
                pos_ += n;
                return;
            }
        }
        while (count_ <= 56) {
            if (pos_ >= size_) {
                exhausted_ = true;
                count_ = 64;
                return;
            }
            const uint8_t b = data_[pos_++];
            if (b == 0xFF)
                ++pos_; // the stuffed byte after 0xFF, whatever its value
            buf_ |= static_cast<uint64_t>(b) << (56 - count_);
            count_ += 8;
        }
        if (pos_ > size_)
            pos_ = size_;
    }

    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t pos_ = 0;
    uint64_t buf_ = 0;
    int count_ = 0;
    bool word_ = false;
    bool exhausted_ = false;
};

} // namespace kdmdci
