// The parameter buffer: one message payload of tagged values, kept in a
// growable block between the room for the frame header and the trailer.
// Puts append at the cursor; after a frame was received the gets consume
// from it. Every get returns a transfer status and, unless it succeeds,
// leaves the cursor, the count and its outputs as they were.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "frame/basic_string.h"
#include "frame/datetime.h"
#include "frame/field_reader.h"
#include "frame/virtual_buffer.h"

namespace kdm {

// Tag byte: bits 0-4 wire type, bit 7 value present, bits 5-6 carried
// through by the with-flags operations only.
inline constexpr uint8_t kTagTypeMask = 0x1F;
inline constexpr uint8_t kTagFlagsMask = 0xE0;
inline constexpr uint8_t kTagPresent = 0x80;

// Wire type codes; the comment gives the bytes after the tag.
enum WireType : uint8_t {
    kWireBool = 1,      // 1: 0 false, else true
    kWireUInt8 = 4,     // 1
    kWireInt8 = 5,      // 1
    kWireUInt16 = 6,    // 2
    kWireInt16 = 7,     // 2
    kWireUInt32 = 8,    // 4
    kWireInt32 = 9,     // 4
    kWireUInt64 = 10,   // 8
    kWireInt64 = 11,    // 8
    kWireDateTime = 12, // 8: native date-time as stored
    kWireFloat = 14,    // 4: IEEE single
    kWireDouble = 15,   // 8: IEEE double
    kWireString = 17,   // u32 n, n text bytes, one zero byte
    kWireBlob = 19,     // u32 attribute, u32 n, n bytes
    kWireBytes = 20,    // u32 n, n bytes
    kWireMarker21 = 21, // nothing
    kWireMarker22 = 22, // nothing
};

// ExpectTag only: the type matches but the value is NULL. The typed getters
// report it as kTransferWrongType.
inline constexpr int kTransferNullValue = 2;

// Command word: the untagged u32 that opens every payload. Bit 24 asks the
// peer to answer on the same connection.
inline constexpr uint32_t kCommandReplyFlag = 0x01000000;

// Block: [0, 8) frame header | payload | 4-byte frame trailer.
inline constexpr size_t kFrameHeaderSize = 8;
inline constexpr size_t kFrameTrailerSize = 4;
inline constexpr size_t kPayloadOffset = kFrameHeaderSize;
inline constexpr size_t kBufInitialSize = 1024;
inline constexpr size_t kBufGrowthStep = 4096;
inline constexpr size_t kBufCeiling = 1048576;
inline constexpr size_t kMaxPayload = kBufCeiling - kFrameHeaderSize - kFrameTrailerSize;

// Written when a message was not consumed completely.
inline constexpr char kTextDataLost[] = "\n### DATA IN BUFFER LOST!!! ###\n\n";

// Untagged primitives.
class CKDMIIBufGeneric {
public:
    virtual ~CKDMIIBufGeneric() = default;

    virtual void PutRawU64(uint64_t value) = 0;
    virtual void PutRawU32(uint32_t value) = 0;
    virtual void PutRawU16(uint16_t value) = 0;
    virtual void PutRawU8(uint8_t value) = 0;
    // Status 3 when fewer bytes remain.
    virtual int GetRawU64(uint64_t* value) = 0;
    virtual int GetRawU32(uint32_t* value) = 0;
    virtual int GetRawU16(uint16_t* value) = 0;
    virtual int GetRawU8(uint8_t* value) = 0;
    virtual void PutRawI64(int64_t value) = 0;
    virtual void PutRawI32(int32_t value) = 0;
    virtual void PutRawI16(int16_t value) = 0;
    virtual void PutRawI8(int8_t value) = 0;
    // Length word, then length + 1 bytes whose last one is the terminator.
    virtual int GetRawString(CBasicString& text) = 0;
    virtual void PutRawString(const char* text) = 0;
    virtual int GetRawI64(int64_t* value) = 0;
    virtual int GetRawI32(int32_t* value) = 0;
    virtual int GetRawI16(int16_t* value) = 0;
    virtual int GetRawI8(int8_t* value) = 0;
    virtual bool IsFullyRead() const = 0;
    virtual int32_t Remaining() const = 0;
    // The word at the cursor when at least 4 bytes remain, else 0.
    virtual uint32_t PeekCommandWord() const = 0;
    // 0 and the tag consumed when type and present bit match; 1 for another
    // type, 2 for a NULL (tag left), 3 when nothing remains.
    virtual int ExpectTag(uint8_t type) = 0;
    // Consumes a tag of the type whatever its present bit; *flags gets its
    // upper three bits.
    virtual int ExpectTagFlags(uint8_t type, uint8_t* flags) = 0;
    // Negative length: 3. A null data pointer reserves zeroed bytes.
    virtual int PutRawBytes(const void* data, int32_t length) = 0;
    // A null dest skips the bytes.
    virtual int GetRawBytes(void* dest, int32_t length) = 0;
    // Length word of a Bytes value at the cursor, nothing consumed.
    virtual int PeekBytesLength(uint32_t* length) const = 0;
    // True when nothing remains; resets either way.
    virtual bool FinishReading() = 0;
    // Consumes the next raw word only when it equals `value`.
    virtual bool ConsumeWord(uint32_t value) = 0;
    // End of a message: with bytes left, writes kTextDataLost and turns a
    // status 0 into 6. Resets either way.
    virtual int CheckFullyRead(int status) = 0;
    virtual void SetMark() = 0;
    virtual bool PeekRawBytes(void* dest, int32_t length) const = 0;
    // False when no mark was set.
    virtual bool ReturnToMark() = 0;
    virtual bool Skip(int32_t length) = 0;
    virtual uint8_t* Cursor() = 0;
};

// Typed operations. Plain puts write the tag with the present bit set;
// with-flags puts write (flags & 0xE0) | type, the value bytes either way.
// Plain gets report a NULL as status 1 and leave it unread; with-flags gets
// consume it and return the tag's upper three bits.
//
// Puts raise EGrowableBuffer "TVirtualBuffer: Can't grow any more." when the
// payload would exceed kMaxPayload; nothing is written then. Pointers that
// a reserve or in-place get returns stay valid until the next put grows the
// block or the buffer is reused.
class CKDMIIBufIO : public CKDMIIBufGeneric {
public:
    virtual void PutInt64(int64_t value) = 0;
    virtual void PutInt32(int32_t value) = 0;
    virtual void PutInt16(int16_t value) = 0;
    virtual void PutInt8(int8_t value) = 0;
    virtual void PutUInt64(uint64_t value) = 0;
    virtual void PutUInt32(uint32_t value) = 0;
    virtual void PutUInt16(uint16_t value) = 0;
    virtual void PutUInt8(uint8_t value) = 0;
    virtual void PutFloat(float value) = 0;
    virtual void PutDouble(double value) = 0;
    // Null: the no-date-time value {0, 0}.
    virtual void PutDateTime(const TNativeDateTime* value) = 0;
    // A null data pointer sends zero bytes of the given length.
    virtual void PutBlob(const void* data, uint32_t attribute, uint32_t length) = 0;
    virtual void PutBytes(const void* data, uint32_t length) = 0;
    // Tag and words written; the returned `length` bytes are zeroed for the
    // caller to fill.
    virtual uint8_t* ReserveBlob(uint32_t attribute, uint32_t length) = 0;
    virtual uint8_t* ReserveBytes(uint32_t length) = 0;

    virtual int GetInt64(int64_t* value) = 0;
    virtual int GetInt32(int32_t* value) = 0;
    virtual int GetInt16(int16_t* value) = 0;
    virtual int GetInt8(int8_t* value) = 0;
    virtual int GetUInt64(uint64_t* value) = 0;
    virtual int GetUInt32(uint32_t* value) = 0;
    virtual int GetUInt16(uint16_t* value) = 0;
    virtual int GetUInt8(uint8_t* value) = 0;
    virtual int GetFloat(float* value) = 0;
    virtual int GetDouble(double* value) = 0;
    virtual int GetDateTime(TNativeDateTime* value) = 0;
    // A value longer than `capacity`: status 3, *length 0, nothing consumed.
    virtual int GetBlob(void* buffer, uint32_t capacity, uint32_t* attribute, uint32_t* length) = 0;
    virtual int GetBytes(void* buffer, uint32_t capacity, uint32_t* length) = 0;
    virtual int GetBlobInPlace(uint32_t* attribute, uint32_t* length, const uint8_t** data) = 0;
    virtual int GetBytesInPlace(uint32_t* length, const uint8_t** data) = 0;

    virtual void PutInt64Flags(int64_t value, uint8_t flags) = 0;
    virtual void PutInt32Flags(int32_t value, uint8_t flags) = 0;
    virtual void PutInt16Flags(int16_t value, uint8_t flags) = 0;
    virtual void PutInt8Flags(int8_t value, uint8_t flags) = 0;
    virtual void PutUInt64Flags(uint64_t value, uint8_t flags) = 0;
    virtual void PutUInt32Flags(uint32_t value, uint8_t flags) = 0;
    virtual void PutUInt16Flags(uint16_t value, uint8_t flags) = 0;
    virtual void PutUInt8Flags(uint8_t value, uint8_t flags) = 0;
    virtual void PutFloatFlags(float value, uint8_t flags) = 0;
    virtual void PutDoubleFlags(double value, uint8_t flags) = 0;
    virtual void PutDateTimeFlags(const TNativeDateTime* value, uint8_t flags) = 0;
    virtual void PutBytesFlags(const void* data, uint32_t length, uint8_t flags) = 0;
    virtual uint8_t* ReserveBlobFlags(uint32_t attribute, uint32_t length, uint8_t flags) = 0;
    virtual uint8_t* ReserveBytesFlags(uint32_t length, uint8_t flags) = 0;
    virtual void PutBlobFlags(const void* data, uint32_t attribute, uint32_t length,
                              uint8_t flags) = 0;

    virtual int GetInt64Flags(int64_t* value, uint8_t* flags) = 0;
    virtual int GetInt32Flags(int32_t* value, uint8_t* flags) = 0;
    virtual int GetInt16Flags(int16_t* value, uint8_t* flags) = 0;
    virtual int GetInt8Flags(int8_t* value, uint8_t* flags) = 0;
    virtual int GetUInt64Flags(uint64_t* value, uint8_t* flags) = 0;
    virtual int GetUInt32Flags(uint32_t* value, uint8_t* flags) = 0;
    virtual int GetUInt16Flags(uint16_t* value, uint8_t* flags) = 0;
    virtual int GetUInt8Flags(uint8_t* value, uint8_t* flags) = 0;
    virtual int GetFloatFlags(float* value, uint8_t* flags) = 0;
    virtual int GetDoubleFlags(double* value, uint8_t* flags) = 0;
    virtual int GetDateTimeFlags(TNativeDateTime* value, uint8_t* flags) = 0;
    virtual int GetBytesFlags(void* buffer, uint32_t capacity, uint32_t* length,
                              uint8_t* flags) = 0;
    virtual int GetBlobFlags(void* buffer, uint32_t capacity, uint32_t* attribute, uint32_t* length,
                             uint8_t* flags) = 0;
    virtual int GetBlobInPlaceFlags(uint32_t* attribute, uint32_t* length, const uint8_t** data,
                                    uint8_t* flags) = 0;
    virtual int GetBytesInPlaceFlags(uint32_t* length, const uint8_t** data, uint8_t* flags) = 0;

    virtual void PutBool(bool value) = 0;
    virtual int GetBool(bool* value) = 0;
    virtual void PutBoolFlags(bool value, uint8_t flags) = 0;
    virtual int GetBoolFlags(bool* value, uint8_t* flags) = 0;

    // Strings. `buffer` holds capacity + 1 characters: at most `capacity`
    // are copied, the rest of the text is skipped, a zero always follows.
    // *length is the number copied. A null text puts the empty string; a
    // growable string is sized to the text, cut at maxLength when given.
    virtual int GetString(char* buffer, uint32_t capacity, uint32_t* length) = 0;
    virtual void PutString(const char* text) = 0;
    virtual void PutString(const char* text, uint32_t length) = 0;
    virtual int GetString(CStaticString& text) = 0;
    virtual int GetString(CBasicString& text, uint32_t maxLength) = 0;
    virtual void PutString(const CBasicString& text, uint32_t maxLength) = 0;
    virtual int GetString(CBasicString& text) = 0;
    virtual void PutString(const CBasicString& text) = 0;
    virtual int GetStringFlags(char* buffer, uint32_t capacity, uint32_t* length,
                               uint8_t* flags) = 0;
    virtual void PutStringFlags(const char* text, uint8_t flags) = 0;
    virtual void PutStringFlags(const char* text, uint32_t length, uint8_t flags) = 0;
    virtual int GetStringFlags(CStaticString& text, uint8_t* flags) = 0;
    virtual int GetStringFlags(CBasicString& text, uint32_t maxLength, uint8_t* flags) = 0;
    virtual void PutStringFlags(const CBasicString& text, uint32_t maxLength, uint8_t flags) = 0;
    virtual int GetStringFlags(CBasicString& text, uint8_t* flags) = 0;
    virtual void PutStringFlags(const CBasicString& text, uint8_t flags) = 0;

    virtual void PutMarker21() = 0;
    virtual void PutMarker22() = 0;
    virtual int ExpectMarker22() = 0;
    virtual int ExpectMarker21() = 0;

    // Resets, then writes the command word with bit 24 = reply.
    virtual void BeginCommand(uint32_t identity, bool reply) = 0;
};

// The primitives over one block. The cursor is kept as an offset, so the
// block may move when it grows.
class CTCPBuffer : public CKDMIIBufIO {
public:
    CTCPBuffer();
    CTCPBuffer(const CTCPBuffer&) = delete;
    CTCPBuffer& operator=(const CTCPBuffer&) = delete;

    void PutRawU64(uint64_t value) override;
    void PutRawU32(uint32_t value) override;
    void PutRawU16(uint16_t value) override;
    void PutRawU8(uint8_t value) override;
    int GetRawU64(uint64_t* value) override;
    int GetRawU32(uint32_t* value) override;
    int GetRawU16(uint16_t* value) override;
    int GetRawU8(uint8_t* value) override;
    void PutRawI64(int64_t value) override;
    void PutRawI32(int32_t value) override;
    void PutRawI16(int16_t value) override;
    void PutRawI8(int8_t value) override;
    int GetRawString(CBasicString& text) override;
    void PutRawString(const char* text) override;
    int GetRawI64(int64_t* value) override;
    int GetRawI32(int32_t* value) override;
    int GetRawI16(int16_t* value) override;
    int GetRawI8(int8_t* value) override;
    bool IsFullyRead() const override { return m_count == 0; }
    int32_t Remaining() const override { return m_count; }
    uint32_t PeekCommandWord() const override;
    int ExpectTag(uint8_t type) override;
    int ExpectTagFlags(uint8_t type, uint8_t* flags) override;
    int PutRawBytes(const void* data, int32_t length) override;
    int GetRawBytes(void* dest, int32_t length) override;
    int PeekBytesLength(uint32_t* length) const override;
    bool FinishReading() override;
    bool ConsumeWord(uint32_t value) override;
    int CheckFullyRead(int status) override;
    void SetMark() override;
    bool PeekRawBytes(void* dest, int32_t length) const override;
    bool ReturnToMark() override;
    bool Skip(int32_t length) override;
    uint8_t* Cursor() override { return m_block.Data() + m_pos; }

    // Cursor to the payload start, count 0, not received. The mark stays.
    void Reset();

    // For the frame layer. The block holds header, payload and trailer.
    uint8_t* Block() { return m_block.Data(); }
    const uint8_t* Block() const { return m_block.Data(); }
    size_t BlockSize() const { return m_block.Size(); }
    size_t BlockCeiling() const { return m_block.Ceiling(); }
    size_t CursorOffset() const { return m_pos; }
    // Checked access: EGrowableBuffer "TVirtualBuffer: Index out of range."
    // unless [offset, offset + length) lies in the block.
    uint8_t* BlockAt(size_t offset, size_t length) { return m_block.At(offset, length); }
    // While building: the bytes written. After a receive: the payload
    // length that was received (0 again after a reset).
    uint32_t PayloadLength() const;
    // Grows the block to hold a frame of `frameLength` bytes and returns it.
    // Beyond the ceiling: EGrowableBuffer, the block unchanged.
    uint8_t* FrameArea(size_t frameLength);
    // A frame's payload of `length` bytes now lies at kPayloadOffset: read
    // it from its start. Beyond kMaxPayload: EGrowableBuffer, state unchanged.
    void SetReceivedPayload(uint32_t length);
    // Turns the message just built into a received one, for loopback peers.
    void RewindToRead() { SetReceivedPayload(m_count > 0 ? static_cast<uint32_t>(m_count) : 0); }
    bool Received() const { return m_received; }
    bool MarkValid() const { return m_mark.valid; }

    // Applied by the frame layer when sending; off after construction.
    void SetPayloadCoding(bool on, uint8_t code) {
        m_codingOn = on;
        m_code = code;
    }
    bool PayloadCodingOn() const { return m_codingOn; }
    uint8_t PayloadCode() const { return m_code; }

protected:
    // Unread bytes that really lie in the block.
    size_t Avail() const;
    // The unread bytes at the cursor; only the first Avail() are valid.
    const uint8_t* ReadPtr() const { return m_block.Data() + m_pos; }
    // Grows for n more bytes (and the trailer), then advances cursor and
    // count; returns where the n bytes go.
    uint8_t* Append(uint64_t n);
    // Advances past n checked bytes; consuming the last one resets.
    void Consume(size_t n);

private:
    template <class T> int GetRaw(T* value);

    struct Mark {
        size_t pos = kPayloadOffset;
        int32_t count = 0;
        bool received = false;
        uint32_t receivedLength = 0;
        bool valid = false;
    };

    TVirtualBuffer m_block;
    size_t m_pos = kPayloadOffset;
    int32_t m_count = 0;
    bool m_received = false;
    uint32_t m_receivedLength = 0;
    Mark m_mark;
    bool m_codingOn = false;
    uint8_t m_code = 0;
};

// The buffer every connection, command and dataset uses; the row cache
// reads replies from it through IValueReader.
class CKDMIIBuf : public CTCPBuffer, public IValueReader {
public:
    CKDMIIBuf() = default;

    void PutInt64(int64_t value) override;
    void PutInt32(int32_t value) override;
    void PutInt16(int16_t value) override;
    void PutInt8(int8_t value) override;
    void PutUInt64(uint64_t value) override;
    void PutUInt32(uint32_t value) override;
    void PutUInt16(uint16_t value) override;
    void PutUInt8(uint8_t value) override;
    void PutFloat(float value) override;
    void PutDouble(double value) override;
    void PutDateTime(const TNativeDateTime* value) override;
    void PutBlob(const void* data, uint32_t attribute, uint32_t length) override;
    void PutBytes(const void* data, uint32_t length) override;
    uint8_t* ReserveBlob(uint32_t attribute, uint32_t length) override;
    uint8_t* ReserveBytes(uint32_t length) override;

    int GetInt64(int64_t* value) override;
    int GetInt32(int32_t* value) override;
    int GetInt16(int16_t* value) override;
    int GetInt8(int8_t* value) override;
    int GetUInt64(uint64_t* value) override;
    int GetUInt32(uint32_t* value) override;
    int GetUInt16(uint16_t* value) override;
    int GetUInt8(uint8_t* value) override;
    int GetFloat(float* value) override;
    int GetDouble(double* value) override;
    int GetDateTime(TNativeDateTime* value) override;
    int GetBlob(void* buffer, uint32_t capacity, uint32_t* attribute, uint32_t* length) override;
    int GetBytes(void* buffer, uint32_t capacity, uint32_t* length) override;
    int GetBlobInPlace(uint32_t* attribute, uint32_t* length, const uint8_t** data) override;
    int GetBytesInPlace(uint32_t* length, const uint8_t** data) override;

    void PutInt64Flags(int64_t value, uint8_t flags) override;
    void PutInt32Flags(int32_t value, uint8_t flags) override;
    void PutInt16Flags(int16_t value, uint8_t flags) override;
    void PutInt8Flags(int8_t value, uint8_t flags) override;
    void PutUInt64Flags(uint64_t value, uint8_t flags) override;
    void PutUInt32Flags(uint32_t value, uint8_t flags) override;
    void PutUInt16Flags(uint16_t value, uint8_t flags) override;
    void PutUInt8Flags(uint8_t value, uint8_t flags) override;
    void PutFloatFlags(float value, uint8_t flags) override;
    void PutDoubleFlags(double value, uint8_t flags) override;
    void PutDateTimeFlags(const TNativeDateTime* value, uint8_t flags) override;
    void PutBytesFlags(const void* data, uint32_t length, uint8_t flags) override;
    uint8_t* ReserveBlobFlags(uint32_t attribute, uint32_t length, uint8_t flags) override;
    uint8_t* ReserveBytesFlags(uint32_t length, uint8_t flags) override;
    void PutBlobFlags(const void* data, uint32_t attribute, uint32_t length,
                      uint8_t flags) override;

    int GetInt64Flags(int64_t* value, uint8_t* flags) override;
    int GetInt32Flags(int32_t* value, uint8_t* flags) override;
    int GetInt16Flags(int16_t* value, uint8_t* flags) override;
    int GetInt8Flags(int8_t* value, uint8_t* flags) override;
    int GetUInt64Flags(uint64_t* value, uint8_t* flags) override;
    int GetUInt32Flags(uint32_t* value, uint8_t* flags) override;
    int GetUInt16Flags(uint16_t* value, uint8_t* flags) override;
    int GetUInt8Flags(uint8_t* value, uint8_t* flags) override;
    int GetFloatFlags(float* value, uint8_t* flags) override;
    int GetDoubleFlags(double* value, uint8_t* flags) override;
    int GetDateTimeFlags(TNativeDateTime* value, uint8_t* flags) override;
    int GetBytesFlags(void* buffer, uint32_t capacity, uint32_t* length, uint8_t* flags) override;
    int GetBlobFlags(void* buffer, uint32_t capacity, uint32_t* attribute, uint32_t* length,
                     uint8_t* flags) override;
    int GetBlobInPlaceFlags(uint32_t* attribute, uint32_t* length, const uint8_t** data,
                            uint8_t* flags) override;
    int GetBytesInPlaceFlags(uint32_t* length, const uint8_t** data, uint8_t* flags) override;

    void PutBool(bool value) override;
    int GetBool(bool* value) override;
    void PutBoolFlags(bool value, uint8_t flags) override;
    int GetBoolFlags(bool* value, uint8_t* flags) override;

    int GetString(char* buffer, uint32_t capacity, uint32_t* length) override;
    void PutString(const char* text) override;
    void PutString(const char* text, uint32_t length) override;
    int GetString(CStaticString& text) override;
    int GetString(CBasicString& text, uint32_t maxLength) override;
    void PutString(const CBasicString& text, uint32_t maxLength) override;
    int GetString(CBasicString& text) override;
    void PutString(const CBasicString& text) override;
    int GetStringFlags(char* buffer, uint32_t capacity, uint32_t* length, uint8_t* flags) override;
    void PutStringFlags(const char* text, uint8_t flags) override;
    void PutStringFlags(const char* text, uint32_t length, uint8_t flags) override;
    int GetStringFlags(CStaticString& text, uint8_t* flags) override;
    int GetStringFlags(CBasicString& text, uint32_t maxLength, uint8_t* flags) override;
    void PutStringFlags(const CBasicString& text, uint32_t maxLength, uint8_t flags) override;
    int GetStringFlags(CBasicString& text, uint8_t* flags) override;
    void PutStringFlags(const CBasicString& text, uint8_t flags) override;

    void PutMarker21() override;
    void PutMarker22() override;
    int ExpectMarker22() override;
    int ExpectMarker21() override;

    void BeginCommand(uint32_t identity, bool reply) override;

private:
    // A length-prefixed value at the cursor, checked but not consumed.
    struct Item {
        uint8_t tag = 0;
        uint32_t attribute = 0;
        uint32_t length = 0;
        const uint8_t* data = nullptr;
        size_t size = 0; // bytes from the tag to the end of the value
    };
    int ParseItem(uint8_t type, bool withFlags, bool hasAttribute, uint32_t trailing, Item* item);
    int GetFixed(uint8_t type, bool withFlags, uint8_t* bytes, size_t width, uint8_t* flags);
    template <class T> int GetValue(uint8_t type, bool withFlags, T* value, uint8_t* flags);
    template <class T> void PutValue(uint8_t tag, T value);
    void PutText(uint8_t tag, const char* text, uint32_t length);
    // Consumes a String; the view points into the block.
    int GetText(bool withFlags, std::string_view* text, uint8_t* flags);
    int GetText(bool withFlags, char* buffer, uint32_t capacity, uint32_t* length, uint8_t* flags);
    int GetText(bool withFlags, CBasicString& text, uint32_t maxLength, uint8_t* flags);
    int GetText(bool withFlags, CStaticString& text, uint8_t* flags);
    int GetLengthPrefixed(uint8_t type, bool withFlags, void* buffer, uint32_t capacity,
                          uint32_t* attribute, uint32_t* length, uint8_t* flags);
    int GetInPlace(uint8_t type, bool withFlags, uint32_t* attribute, uint32_t* length,
                   const uint8_t** data, uint8_t* flags);
    uint8_t* PutLengthPrefixed(uint8_t tag, bool hasAttribute, uint32_t attribute, const void* data,
                               uint32_t length);
};

} // namespace kdm
