// Header scan of family-3 pictures (baseline JPEG files).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kdmdci {

struct JpegScan {
    uint32_t problems = 0; // DCI_SCAN_... bits, 0 when usable
    int width = 0;
    int height = 0;
    size_t scanData = 0;                   // first byte of entropy-coded data
    size_t sof0 = 0, sof0Length = 0;       // SOF0 payload
    size_t sos = 0, app0 = 0, lastApp = 0; // marker positions, 0 when absent
    int16_t luma[64] = {};                 // dequantisation tables, natural order
    int16_t chroma[64] = {};
};

// Walks the file marker by marker; never reads outside [data, data + size).
JpegScan scanJpeg(const uint8_t* data, size_t size);

} // namespace kdmdci
