// Field type codes, their message names and the layout of the value buffer
// that holds one field's current value.
#pragma once

#include <cstdint>

namespace kdm {

enum FieldType : int32_t {
    kFieldUnknown = 0,
    kFieldBool = 1,
    kFieldUInt8 = 2,
    kFieldInt16 = 3,
    kFieldInt32 = 4,
    kFieldInt64 = 5,
    kFieldUInt16 = 6,
    kFieldUInt32 = 7,
    kFieldUnused8 = 8, // never assigned; has no wire type
    kFieldFloat = 9,
    kFieldDouble = 10,
    kFieldString = 11,
    kFieldDateTime = 12,
    kFieldBlob = 13,
};

// Value buffer, little-endian and unaligned:
//   [0]      flags: bit 7 value present, bits 5-6 carried from the wire tag
//   [1..]    fixed-width types: the value bytes
//   String:  [1] 0, [2] length n, [3..3+n) text, zero bytes to the end
//   Blob:    [1..5) attribute word, [5..9) length, [9..17) two zero words;
//            the bytes themselves live in the field's blob block
// An all-zero buffer is NULL.
inline constexpr uint32_t kValueFlagsOffset = 0;
inline constexpr uint8_t kValuePresent = 0x80;
inline constexpr uint8_t kValueTagFlagsMask = 0xE0;
inline constexpr uint32_t kValueOffset = 1;
inline constexpr uint32_t kStringLengthOffset = 2;
inline constexpr uint32_t kStringTextOffset = 3;
inline constexpr uint32_t kStringOverhead = 4; // flags, 0, length, terminator
inline constexpr uint32_t kStringMaxLength = 255;
inline constexpr uint32_t kBlobAttributeOffset = 1;
inline constexpr uint32_t kBlobLengthOffset = 5;
inline constexpr uint32_t kBlobReservedOffset = 9;
inline constexpr uint32_t kBlobBufferSize = 17;

// "Unknown" for 0, 8 and every code outside 0..13.
const char* FieldTypeName(int32_t type);

// True for the codes that have a value buffer (1..7, 9..13).
bool IsValidFieldType(int32_t type);

// Value buffer size of a field of `type`; `declaredSize` counts only for
// String. Raises EException(0, 0) "Internal error: Invalid field type."
// for a code without a value buffer.
uint32_t FieldBufferSize(int32_t type, uint32_t declaredSize);

} // namespace kdm
