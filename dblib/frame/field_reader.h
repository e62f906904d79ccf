// The reading side of a reply, as the row cache needs it. The parameter
// buffer implements it; the row code only knows this interface.
#pragma once

#include <cstdint>

#include "frame/datetime.h"

namespace kdm {

// Transfer statuses of the getters.
enum TransferStatus : int {
    kTransferOk = 0,
    kTransferWrongType = 1, // wrong wire type, or NULL where a value was required
    kTransferBeyondEnd = 3, // payload ends early, or a length exceeds the caller's room
    kTransferNotConsumed = 6,
};

// Every getter consumes its value only on success and then returns 0;
// otherwise it returns the status and leaves its outputs and the read
// position as they were. The flags forms accept NULL values and return the
// tag's upper three bits (bit 7: present) in *flags.
class IValueReader {
public:
    virtual ~IValueReader() = default;

    // Plain Bool: a NULL is status 1.
    virtual int GetBool(bool* value) = 0;
    // Plain Bytes into at most `capacity` bytes; a longer value is status 3
    // with *length 0 and its data left unread.
    virtual int GetBytes(void* buffer, uint32_t capacity, uint32_t* length) = 0;

    virtual int GetBoolFlags(bool* value, uint8_t* flags) = 0;
    virtual int GetUInt8Flags(uint8_t* value, uint8_t* flags) = 0;
    virtual int GetInt16Flags(int16_t* value, uint8_t* flags) = 0;
    virtual int GetUInt16Flags(uint16_t* value, uint8_t* flags) = 0;
    virtual int GetInt32Flags(int32_t* value, uint8_t* flags) = 0;
    virtual int GetUInt32Flags(uint32_t* value, uint8_t* flags) = 0;
    virtual int GetInt64Flags(int64_t* value, uint8_t* flags) = 0;
    virtual int GetFloatFlags(float* value, uint8_t* flags) = 0;
    virtual int GetDoubleFlags(double* value, uint8_t* flags) = 0;
    virtual int GetDateTimeFlags(TNativeDateTime* value, uint8_t* flags) = 0;
    // Text of n characters into `buffer`, which holds capacity + 1: at most
    // `capacity` characters are copied (the rest is skipped), then a zero.
    virtual int GetStringFlags(char* buffer, uint32_t capacity, uint32_t* length,
                               uint8_t* flags) = 0;
    // Blob in place: *data points into the reply and stays valid until the
    // reader is reset or reused.
    virtual int GetBlobInPlaceFlags(uint32_t* attribute, uint32_t* length, const uint8_t** data,
                                    uint8_t* flags) = 0;
};

} // namespace kdm
