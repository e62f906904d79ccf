// The check value of picture trailers and medium blocks: reflected CRC-32,
// generator 0xEDB88320, started at 0xFFFFFFFF and not inverted at the end.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kdmdci {

uint32_t checkValue(const uint8_t* data, size_t size, uint32_t state = 0xFFFFFFFFu);

} // namespace kdmdci
