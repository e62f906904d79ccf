#include "jpegscan.h"

#include "kdmdci.h"
#include "tables.h"

#include <algorithm>

namespace kdmdci {

namespace {

void parseDqt(const uint8_t* p, size_t n, JpegScan& s) {
    // Each table: precision-and-index byte, then 64 values in zigzag order.
    const uint16_t* aan = aanScale();
    while (n > 0) {
        if (n <= 64) {
            s.problems |= DCI_SCAN_BAD_DQT;
            return;
        }
        int16_t* dst = p[0] == 0 ? s.luma : s.chroma;
        for (int k = 0; k < 64; ++k) {
            const int i = kZigzagToNatural[k];
            dst[i] = static_cast<int16_t>((p[1 + k] * aan[i]) >> 12);
        }
        const size_t take = std::min<size_t>(65, n);
        p += take;
        n -= take;
    }
}

void parseDht(const uint8_t* p, size_t n, JpegScan& s) {
    // Each table: class-and-index byte, 16 counts, then the symbols.
    while (n > 0) {
        if (n < 17) {
            s.problems |= DCI_SCAN_BAD_DHT;
            return;
        }
        size_t total = 0;
        for (int i = 1; i <= 16; ++i)
            total += p[i];
        if (total > 256 || 17 + total > n) {
            s.problems |= DCI_SCAN_BAD_DHT;
            return;
        }
        p += 17 + total;
        n -= 17 + total;
    }
}

bool hasSegment(uint8_t m) {
    return m == 0xC0 || m == 0xC4 || m == 0xDB || m == 0xDA || (m >= 0xE0 && m <= 0xEF) ||
           m == 0xFE;
}

} // namespace

JpegScan scanJpeg(const uint8_t* d, size_t size) {
    JpegScan s;
    s.problems = DCI_SCAN_NO_SOI | DCI_SCAN_NO_EOI | DCI_SCAN_NO_SOF0 | DCI_SCAN_NO_SOS |
                 DCI_SCAN_NO_DHT | DCI_SCAN_NO_DQT;
    s.scanData = size;
    bool haveSof0 = false, haveSos = false;
    size_t i = 0;
    while (i + 1 < size) {
        if (d[i] != 0xFF) {
            ++i;
            continue;
        }
        const uint8_t m = d[i + 1];
        if (m == 0x00 || m == 0xD8 || m == 0xD9) {
            if (m == 0xD8)
                s.problems &= ~DCI_SCAN_NO_SOI;
            else if (m == 0xD9)
                s.problems &= ~DCI_SCAN_NO_EOI;
            i += 2;
            continue;
        }
        if (!hasSegment(m)) {
            ++i; // unrecognised: the walk goes on from the marker byte itself
            continue;
        }
        // Segment: 2-byte big-endian length counting itself. One that runs
        // past the end is read as far as it goes and not skipped.
        size_t length = 0;
        if (i + 3 < size)
            length = (static_cast<size_t>(d[i + 2]) << 8) | d[i + 3];
        const size_t payload = std::min(i + 4, size);
        const size_t declaredEnd = i + 2 + std::max<size_t>(length, 2);
        const size_t end = std::min(declaredEnd, size);
        const size_t n = end > payload ? end - payload : 0;
        const size_t next = declaredEnd <= size ? declaredEnd : i + 2;
        switch (m) {
        case 0xC0:
            s.problems &= ~DCI_SCAN_NO_SOF0;
            if (!haveSof0) {
                s.sof0 = payload;
                s.sof0Length = n;
                haveSof0 = true;
            }
            break;
        case 0xC4:
            s.problems &= ~DCI_SCAN_NO_DHT;
            parseDht(d + payload, n, s);
            break;
        case 0xDB:
            s.problems &= ~DCI_SCAN_NO_DQT;
            parseDqt(d + payload, n, s);
            break;
        case 0xDA:
            s.problems &= ~DCI_SCAN_NO_SOS;
            if (!haveSos) {
                s.sos = i;
                s.scanData = declaredEnd <= size ? declaredEnd : size;
                haveSos = true;
            }
            break;
        case 0xE0:
            s.app0 = i;
            break;
        default:
            s.lastApp = i;
            break;
        }
        i = next;
    }
    if (s.problems)
        return s;
    // SOF0 payload: precision, height, width, component count, then
    // (identifier, sampling, table) per component.
    const uint8_t* f = d + s.sof0;
    if (s.sof0Length < 6 || f[5] != 3 || s.sof0Length < 15) {
        s.problems |= DCI_SCAN_NOT_3_COMPONENTS;
        return s;
    }
    s.height = (f[1] << 8) | f[2];
    s.width = (f[3] << 8) | f[4];
    if (f[7] != 0x21 || f[10] != 0x11 || f[13] != 0x11)
        s.problems |= DCI_SCAN_BAD_SAMPLING;
    return s;
}

} // namespace kdmdci
