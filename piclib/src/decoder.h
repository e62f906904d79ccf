// The JPEG-family decoder behind DCI_DecompressImage.
#pragma once

#include "kdmdci.h"

#include <cstddef>
#include <cstdint>

namespace kdmdci {

// Answers 0 or a DCI_ERR_/DCI_SCAN_ code; 0x20000000 for a missing or too
// small output (mapped by the export). Never reads outside the picture nor
// writes outside the output capacity, DcValues' 3168 entries or the
// CoefBuffer's 512 bytes per decoded macroblock.
int32_t decodePicture(const uint8_t* picture, size_t length, uint8_t* output, size_t capacity,
                      const DecompressParams& params, KdmBitmapInfoHeader& header);

constexpr int32_t kOutputTooSmall = 0x20000000;
constexpr int kDcValueCount = 3168;

} // namespace kdmdci
