#include "transport/kdmii_buf.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "platform/diag.h"

namespace kdm {

namespace {

// Little-endian and unaligned on the wire, whatever the host.
template <class U> void StoreLE(uint8_t* p, U value) {
    static_assert(std::is_unsigned_v<U>);
    for (size_t i = 0; i < sizeof(U); ++i)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

template <class U> U LoadLE(const uint8_t* p) {
    static_assert(std::is_unsigned_v<U>);
    U value = 0;
    for (size_t i = 0; i < sizeof(U); ++i)
        value = static_cast<U>(value | static_cast<U>(static_cast<U>(p[i]) << (8 * i)));
    return value;
}

// The unsigned type of the same width, for the byte order helpers.
template <class T> struct Bits { using type = std::make_unsigned_t<T>; };
template <> struct Bits<bool> { using type = uint8_t; };
template <> struct Bits<float> { using type = uint32_t; };
template <> struct Bits<double> { using type = uint64_t; };

template <class T> void StoreValue(uint8_t* p, T value) {
    using U = typename Bits<T>::type;
    if constexpr (std::is_same_v<T, bool>)
        p[0] = value ? 1 : 0;
    else
        StoreLE<U>(p, std::bit_cast<U>(value));
}

template <class T> T LoadValue(const uint8_t* p) {
    using U = typename Bits<T>::type;
    if constexpr (std::is_same_v<T, bool>)
        return p[0] != 0;
    else
        return std::bit_cast<T>(LoadLE<U>(p));
}

uint8_t PlainTag(uint8_t type) {
    return static_cast<uint8_t>(kTagPresent | type);
}

uint8_t FlagsTag(uint8_t type, uint8_t flags) {
    return static_cast<uint8_t>((flags & kTagFlagsMask) | type);
}

} // namespace

// ---- CTCPBuffer --------------------------------------------------------------

CTCPBuffer::CTCPBuffer() : m_block(kBufInitialSize, kBufCeiling, kBufGrowthStep) {
    Reset();
}

void CTCPBuffer::Reset() {
    m_pos = kPayloadOffset;
    m_count = 0;
    m_received = false;
    m_receivedLength = 0;
}

size_t CTCPBuffer::Avail() const {
    if (m_count <= 0 || m_pos >= m_block.Size())
        return 0;
    return std::min(static_cast<size_t>(m_count), m_block.Size() - m_pos);
}

uint8_t* CTCPBuffer::Append(uint64_t n) {
    // The payload must leave room for the trailer and its length must stay a
    // positive 32-bit count; both follow from the ceiling.
    const uint64_t need = uint64_t{m_pos} + n + kFrameTrailerSize;
    if (need > m_block.Size()) {
        if (need > m_block.Ceiling())
            m_block.Resize(m_block.Ceiling() + 1); // raises "Can't grow any more."
        // Doubling keeps the copies of a growing message linear in its size.
        size_t target =
            std::max(static_cast<size_t>(need), std::min(m_block.Ceiling(), 2 * m_block.Size()));
        m_block.Resize(target);
    }
    uint8_t* p = m_block.Data() + m_pos;
    m_pos += static_cast<size_t>(n);
    m_count += static_cast<int32_t>(n);
    return p;
}

void CTCPBuffer::Consume(size_t n) {
    m_pos += n;
    m_count -= static_cast<int32_t>(n);
    if (m_count == 0)
        Reset();
}

uint32_t CTCPBuffer::PayloadLength() const {
    if (m_received)
        return m_receivedLength;
    return m_count > 0 ? static_cast<uint32_t>(m_count) : 0;
}

uint8_t* CTCPBuffer::FrameArea(size_t frameLength) {
    if (frameLength > m_block.Size())
        m_block.Resize(frameLength);
    return m_block.Data();
}

void CTCPBuffer::SetReceivedPayload(uint32_t length) {
    if (length > kMaxPayload)
        m_block.Resize(m_block.Ceiling() + 1); // raises "Can't grow any more."
    FrameArea(kPayloadOffset + length + kFrameTrailerSize);
    m_pos = kPayloadOffset;
    m_count = static_cast<int32_t>(length);
    m_received = true;
    m_receivedLength = length;
}

template <class T> int CTCPBuffer::GetRaw(T* value) {
    if (Avail() < sizeof(T))
        return kTransferBeyondEnd;
    *value = static_cast<T>(LoadLE<std::make_unsigned_t<T>>(ReadPtr()));
    Consume(sizeof(T));
    return kTransferOk;
}

void CTCPBuffer::PutRawU64(uint64_t value) {
    StoreLE(Append(8), value);
}
void CTCPBuffer::PutRawU32(uint32_t value) {
    StoreLE(Append(4), value);
}
void CTCPBuffer::PutRawU16(uint16_t value) {
    StoreLE(Append(2), value);
}
void CTCPBuffer::PutRawU8(uint8_t value) {
    *Append(1) = value;
}
void CTCPBuffer::PutRawI64(int64_t value) {
    PutRawU64(static_cast<uint64_t>(value));
}
void CTCPBuffer::PutRawI32(int32_t value) {
    PutRawU32(static_cast<uint32_t>(value));
}
void CTCPBuffer::PutRawI16(int16_t value) {
    PutRawU16(static_cast<uint16_t>(value));
}
void CTCPBuffer::PutRawI8(int8_t value) {
    PutRawU8(static_cast<uint8_t>(value));
}

int CTCPBuffer::GetRawU64(uint64_t* value) {
    return GetRaw(value);
}
int CTCPBuffer::GetRawU32(uint32_t* value) {
    return GetRaw(value);
}
int CTCPBuffer::GetRawU16(uint16_t* value) {
    return GetRaw(value);
}
int CTCPBuffer::GetRawU8(uint8_t* value) {
    return GetRaw(value);
}
int CTCPBuffer::GetRawI64(int64_t* value) {
    return GetRaw(value);
}
int CTCPBuffer::GetRawI32(int32_t* value) {
    return GetRaw(value);
}
int CTCPBuffer::GetRawI16(int16_t* value) {
    return GetRaw(value);
}
int CTCPBuffer::GetRawI8(int8_t* value) {
    return GetRaw(value);
}

int CTCPBuffer::GetRawString(CBasicString& text) {
    const size_t avail = Avail();
    if (avail < 5)
        return kTransferBeyondEnd;
    const uint32_t n = LoadLE<uint32_t>(ReadPtr());
    if (n > avail - 5)
        return kTransferBeyondEnd;
    text = std::string_view(reinterpret_cast<const char*>(ReadPtr() + 4), n);
    Consume(size_t{n} + 5);
    return kTransferOk;
}

void CTCPBuffer::PutRawString(const char* text) {
    const size_t n = text != nullptr ? std::strlen(text) : 0;
    uint8_t* p = Append(uint64_t{n} + 5);
    StoreLE(p, static_cast<uint32_t>(n));
    if (n > 0)
        std::memcpy(p + 4, text, n);
    p[4 + n] = 0;
}

uint32_t CTCPBuffer::PeekCommandWord() const {
    // A payload of the command word alone still has a command.
    if (Avail() < 4)
        return 0;
    return LoadLE<uint32_t>(ReadPtr());
}

int CTCPBuffer::ExpectTag(uint8_t type) {
    if (Avail() < 1)
        return kTransferBeyondEnd;
    const uint8_t tag = ReadPtr()[0];
    if ((tag & kTagTypeMask) != type)
        return kTransferWrongType;
    if ((tag & kTagPresent) == 0)
        return kTransferNullValue;
    Consume(1);
    return kTransferOk;
}

int CTCPBuffer::ExpectTagFlags(uint8_t type, uint8_t* flags) {
    if (Avail() < 1)
        return kTransferBeyondEnd;
    const uint8_t tag = ReadPtr()[0];
    if ((tag & kTagTypeMask) != type)
        return kTransferWrongType;
    if (flags != nullptr)
        *flags = tag & kTagFlagsMask;
    Consume(1);
    return kTransferOk;
}

int CTCPBuffer::PutRawBytes(const void* data, int32_t length) {
    if (length < 0)
        return kTransferBeyondEnd;
    if (length == 0)
        return kTransferOk;
    uint8_t* p = Append(static_cast<uint64_t>(length));
    if (data != nullptr)
        std::memcpy(p, data, static_cast<size_t>(length));
    else
        std::memset(p, 0, static_cast<size_t>(length)); // no bytes of an older message
    return kTransferOk;
}

int CTCPBuffer::GetRawBytes(void* dest, int32_t length) {
    if (length < 0 || static_cast<size_t>(length) > Avail())
        return kTransferBeyondEnd;
    if (dest != nullptr && length > 0)
        std::memcpy(dest, ReadPtr(), static_cast<size_t>(length));
    Consume(static_cast<size_t>(length));
    return kTransferOk;
}

int CTCPBuffer::PeekBytesLength(uint32_t* length) const {
    if (Avail() < 5)
        return kTransferBeyondEnd;
    if ((ReadPtr()[0] & kTagTypeMask) != kWireBytes)
        return kTransferWrongType;
    *length = LoadLE<uint32_t>(ReadPtr() + 1);
    return kTransferOk;
}

bool CTCPBuffer::FinishReading() {
    const bool done = m_count == 0;
    Reset();
    return done;
}

bool CTCPBuffer::ConsumeWord(uint32_t value) {
    if (Avail() < 4 || LoadLE<uint32_t>(ReadPtr()) != value)
        return false;
    Consume(4);
    return true;
}

int CTCPBuffer::CheckFullyRead(int status) {
    if (m_count != 0) {
        diag::Warning("%s", kTextDataLost);
        if (status == kTransferOk)
            status = kTransferNotConsumed;
    }
    Reset();
    return status;
}

void CTCPBuffer::SetMark() {
    m_mark = Mark{m_pos, m_count, m_received, m_receivedLength, true};
}

bool CTCPBuffer::PeekRawBytes(void* dest, int32_t length) const {
    if (length < 0 || static_cast<size_t>(length) > Avail())
        return false;
    if (dest != nullptr && length > 0)
        std::memcpy(dest, ReadPtr(), static_cast<size_t>(length));
    return true;
}

bool CTCPBuffer::ReturnToMark() {
    if (!m_mark.valid)
        return false;
    m_pos = m_mark.pos;
    m_count = m_mark.count;
    m_received = m_mark.received;
    m_receivedLength = m_mark.receivedLength;
    return true;
}

bool CTCPBuffer::Skip(int32_t length) {
    if (length < 0 || static_cast<size_t>(length) > Avail())
        return false;
    Consume(static_cast<size_t>(length));
    return true;
}

// ---- CKDMIIBuf: helpers -----------------------------------------------------

template <class T> void CKDMIIBuf::PutValue(uint8_t tag, T value) {
    uint8_t* p = Append(1 + sizeof(T));
    p[0] = tag;
    StoreValue(p + 1, value);
}

int CKDMIIBuf::GetFixed(uint8_t type, bool withFlags, uint8_t* bytes, size_t width,
                        uint8_t* flags) {
    if (Avail() < 1 + width)
        return kTransferBeyondEnd;
    const uint8_t tag = ReadPtr()[0];
    if ((tag & kTagTypeMask) != type || (!withFlags && (tag & kTagPresent) == 0))
        return kTransferWrongType;
    std::memcpy(bytes, ReadPtr() + 1, width);
    if (withFlags && flags != nullptr)
        *flags = tag & kTagFlagsMask;
    Consume(1 + width);
    return kTransferOk;
}

template <class T> int CKDMIIBuf::GetValue(uint8_t type, bool withFlags, T* value, uint8_t* flags) {
    uint8_t bytes[sizeof(T)];
    int status = GetFixed(type, withFlags, bytes, sizeof bytes, flags);
    if (status == kTransferOk)
        *value = LoadValue<T>(bytes);
    return status;
}

int CKDMIIBuf::ParseItem(uint8_t type, bool withFlags, bool hasAttribute, uint32_t trailing,
                         Item* item) {
    const size_t avail = Avail();
    const size_t head = hasAttribute ? 9 : 5;
    if (avail < head)
        return kTransferBeyondEnd;
    const uint8_t* p = ReadPtr();
    const uint8_t tag = p[0];
    if ((tag & kTagTypeMask) != type || (!withFlags && (tag & kTagPresent) == 0))
        return kTransferWrongType;
    const uint32_t attribute = hasAttribute ? LoadLE<uint32_t>(p + 1) : 0;
    const uint32_t length = LoadLE<uint32_t>(p + head - 4);
    // A negative length reads as a huge one and fails the same way.
    if (uint64_t{length} + trailing > avail - head)
        return kTransferBeyondEnd;
    item->tag = tag;
    item->attribute = attribute;
    item->length = length;
    item->data = p + head;
    item->size = head + length + trailing;
    return kTransferOk;
}

uint8_t* CKDMIIBuf::PutLengthPrefixed(uint8_t tag, bool hasAttribute, uint32_t attribute,
                                      const void* data, uint32_t length) {
    const size_t head = hasAttribute ? 9 : 5;
    uint8_t* p = Append(uint64_t{head} + length);
    p[0] = tag;
    if (hasAttribute)
        StoreLE(p + 1, attribute);
    StoreLE(p + head - 4, length);
    uint8_t* area = p + head;
    if (length > 0) {
        if (data != nullptr)
            std::memcpy(area, data, length);
        else
            std::memset(area, 0, length);
    }
    return area;
}

int CKDMIIBuf::GetLengthPrefixed(uint8_t type, bool withFlags, void* buffer, uint32_t capacity,
                                 uint32_t* attribute, uint32_t* length, uint8_t* flags) {
    Item item;
    int status = ParseItem(type, withFlags, type == kWireBlob, 0, &item);
    if (status != kTransferOk)
        return status;
    if (item.length > capacity) {
        *length = 0;
        return kTransferBeyondEnd;
    }
    if (buffer != nullptr && item.length > 0)
        std::memcpy(buffer, item.data, item.length);
    if (attribute != nullptr)
        *attribute = item.attribute;
    *length = item.length;
    if (withFlags && flags != nullptr)
        *flags = item.tag & kTagFlagsMask;
    Consume(item.size);
    return kTransferOk;
}

int CKDMIIBuf::GetInPlace(uint8_t type, bool withFlags, uint32_t* attribute, uint32_t* length,
                          const uint8_t** data, uint8_t* flags) {
    Item item;
    int status = ParseItem(type, withFlags, type == kWireBlob, 0, &item);
    if (status != kTransferOk)
        return status;
    if (attribute != nullptr)
        *attribute = item.attribute;
    *length = item.length;
    *data = item.data;
    if (withFlags && flags != nullptr)
        *flags = item.tag & kTagFlagsMask;
    // The bytes stay in the block after an automatic reset.
    Consume(item.size);
    return kTransferOk;
}

void CKDMIIBuf::PutText(uint8_t tag, const char* text, uint32_t length) {
    if (text == nullptr)
        length = 0;
    uint8_t* p = Append(uint64_t{length} + 6);
    p[0] = tag;
    StoreLE(p + 1, length);
    if (length > 0)
        std::memcpy(p + 5, text, length);
    // Written, not copied: a counted text need not be terminated.
    p[5 + length] = 0;
}

int CKDMIIBuf::GetText(bool withFlags, std::string_view* text, uint8_t* flags) {
    Item item;
    int status = ParseItem(kWireString, withFlags, false, 1, &item);
    if (status != kTransferOk)
        return status;
    // The characters stay in the block after an automatic reset.
    *text = std::string_view(reinterpret_cast<const char*>(item.data), item.length);
    if (withFlags && flags != nullptr)
        *flags = item.tag & kTagFlagsMask;
    Consume(item.size);
    return kTransferOk;
}

int CKDMIIBuf::GetText(bool withFlags, char* buffer, uint32_t capacity, uint32_t* length,
                       uint8_t* flags) {
    std::string_view text;
    int status = GetText(withFlags, &text, flags);
    if (status != kTransferOk)
        return status;
    uint32_t copied = 0;
    if (buffer != nullptr) {
        copied = static_cast<uint32_t>(std::min<size_t>(text.size(), capacity));
        std::memcpy(buffer, text.data(), copied);
        buffer[copied] = '\0';
    }
    if (length != nullptr)
        *length = copied;
    return kTransferOk;
}

int CKDMIIBuf::GetText(bool withFlags, CBasicString& text, uint32_t maxLength, uint8_t* flags) {
    std::string_view view;
    int status = GetText(withFlags, &view, flags);
    if (status == kTransferOk)
        text = view.substr(0, maxLength);
    return status;
}

int CKDMIIBuf::GetText(bool withFlags, CStaticString& text, uint8_t* flags) {
    std::string_view view;
    int status = GetText(withFlags, &view, flags);
    if (status == kTransferOk)
        text.Assign(view); // cuts at its capacity
    return status;
}

// ---- CKDMIIBuf: fixed-width values ------------------------------------------

void CKDMIIBuf::PutInt64(int64_t value) {
    PutValue(PlainTag(kWireInt64), value);
}
void CKDMIIBuf::PutInt32(int32_t value) {
    PutValue(PlainTag(kWireInt32), value);
}
void CKDMIIBuf::PutInt16(int16_t value) {
    PutValue(PlainTag(kWireInt16), value);
}
void CKDMIIBuf::PutInt8(int8_t value) {
    PutValue(PlainTag(kWireInt8), value);
}
void CKDMIIBuf::PutUInt64(uint64_t value) {
    PutValue(PlainTag(kWireUInt64), value);
}
void CKDMIIBuf::PutUInt32(uint32_t value) {
    PutValue(PlainTag(kWireUInt32), value);
}
void CKDMIIBuf::PutUInt16(uint16_t value) {
    PutValue(PlainTag(kWireUInt16), value);
}
void CKDMIIBuf::PutUInt8(uint8_t value) {
    PutValue(PlainTag(kWireUInt8), value);
}
void CKDMIIBuf::PutFloat(float value) {
    PutValue(PlainTag(kWireFloat), value);
}
void CKDMIIBuf::PutDouble(double value) {
    PutValue(PlainTag(kWireDouble), value);
}
void CKDMIIBuf::PutDateTime(const TNativeDateTime* value) {
    PutDateTimeFlags(value, kTagPresent);
}
void CKDMIIBuf::PutBool(bool value) {
    PutValue(PlainTag(kWireBool), value);
}

void CKDMIIBuf::PutInt64Flags(int64_t value, uint8_t flags) {
    PutValue(FlagsTag(kWireInt64, flags), value);
}
void CKDMIIBuf::PutInt32Flags(int32_t value, uint8_t flags) {
    PutValue(FlagsTag(kWireInt32, flags), value);
}
void CKDMIIBuf::PutInt16Flags(int16_t value, uint8_t flags) {
    PutValue(FlagsTag(kWireInt16, flags), value);
}
void CKDMIIBuf::PutInt8Flags(int8_t value, uint8_t flags) {
    PutValue(FlagsTag(kWireInt8, flags), value);
}
void CKDMIIBuf::PutUInt64Flags(uint64_t value, uint8_t flags) {
    PutValue(FlagsTag(kWireUInt64, flags), value);
}
void CKDMIIBuf::PutUInt32Flags(uint32_t value, uint8_t flags) {
    PutValue(FlagsTag(kWireUInt32, flags), value);
}
void CKDMIIBuf::PutUInt16Flags(uint16_t value, uint8_t flags) {
    PutValue(FlagsTag(kWireUInt16, flags), value);
}
void CKDMIIBuf::PutUInt8Flags(uint8_t value, uint8_t flags) {
    PutValue(FlagsTag(kWireUInt8, flags), value);
}
void CKDMIIBuf::PutFloatFlags(float value, uint8_t flags) {
    PutValue(FlagsTag(kWireFloat, flags), value);
}
void CKDMIIBuf::PutDoubleFlags(double value, uint8_t flags) {
    PutValue(FlagsTag(kWireDouble, flags), value);
}
void CKDMIIBuf::PutDateTimeFlags(const TNativeDateTime* value, uint8_t flags) {
    const TNativeDateTime none{0, 0};
    uint8_t* p = Append(9);
    p[0] = FlagsTag(kWireDateTime, flags);
    std::memcpy(p + 1, value != nullptr ? value : &none, 8);
}
void CKDMIIBuf::PutBoolFlags(bool value, uint8_t flags) {
    PutValue(FlagsTag(kWireBool, flags), value);
}

int CKDMIIBuf::GetInt64(int64_t* value) {
    return GetValue(kWireInt64, false, value, nullptr);
}
int CKDMIIBuf::GetInt32(int32_t* value) {
    return GetValue(kWireInt32, false, value, nullptr);
}
int CKDMIIBuf::GetInt16(int16_t* value) {
    return GetValue(kWireInt16, false, value, nullptr);
}
int CKDMIIBuf::GetInt8(int8_t* value) {
    return GetValue(kWireInt8, false, value, nullptr);
}
int CKDMIIBuf::GetUInt64(uint64_t* value) {
    return GetValue(kWireUInt64, false, value, nullptr);
}
int CKDMIIBuf::GetUInt32(uint32_t* value) {
    return GetValue(kWireUInt32, false, value, nullptr);
}
int CKDMIIBuf::GetUInt16(uint16_t* value) {
    return GetValue(kWireUInt16, false, value, nullptr);
}
int CKDMIIBuf::GetUInt8(uint8_t* value) {
    return GetValue(kWireUInt8, false, value, nullptr);
}
int CKDMIIBuf::GetFloat(float* value) {
    return GetValue(kWireFloat, false, value, nullptr);
}
int CKDMIIBuf::GetDouble(double* value) {
    return GetValue(kWireDouble, false, value, nullptr);
}
int CKDMIIBuf::GetDateTime(TNativeDateTime* value) {
    return GetFixed(kWireDateTime, false, reinterpret_cast<uint8_t*>(value), 8, nullptr);
}
int CKDMIIBuf::GetBool(bool* value) {
    return GetValue(kWireBool, false, value, nullptr);
}

int CKDMIIBuf::GetInt64Flags(int64_t* value, uint8_t* flags) {
    return GetValue(kWireInt64, true, value, flags);
}
int CKDMIIBuf::GetInt32Flags(int32_t* value, uint8_t* flags) {
    return GetValue(kWireInt32, true, value, flags);
}
int CKDMIIBuf::GetInt16Flags(int16_t* value, uint8_t* flags) {
    return GetValue(kWireInt16, true, value, flags);
}
int CKDMIIBuf::GetInt8Flags(int8_t* value, uint8_t* flags) {
    return GetValue(kWireInt8, true, value, flags);
}
int CKDMIIBuf::GetUInt64Flags(uint64_t* value, uint8_t* flags) {
    return GetValue(kWireUInt64, true, value, flags);
}
int CKDMIIBuf::GetUInt32Flags(uint32_t* value, uint8_t* flags) {
    return GetValue(kWireUInt32, true, value, flags);
}
int CKDMIIBuf::GetUInt16Flags(uint16_t* value, uint8_t* flags) {
    return GetValue(kWireUInt16, true, value, flags);
}
int CKDMIIBuf::GetUInt8Flags(uint8_t* value, uint8_t* flags) {
    return GetValue(kWireUInt8, true, value, flags);
}
int CKDMIIBuf::GetFloatFlags(float* value, uint8_t* flags) {
    return GetValue(kWireFloat, true, value, flags);
}
int CKDMIIBuf::GetDoubleFlags(double* value, uint8_t* flags) {
    return GetValue(kWireDouble, true, value, flags);
}
int CKDMIIBuf::GetDateTimeFlags(TNativeDateTime* value, uint8_t* flags) {
    return GetFixed(kWireDateTime, true, reinterpret_cast<uint8_t*>(value), 8, flags);
}
int CKDMIIBuf::GetBoolFlags(bool* value, uint8_t* flags) {
    return GetValue(kWireBool, true, value, flags);
}

// ---- CKDMIIBuf: Blob and Bytes ----------------------------------------------

void CKDMIIBuf::PutBlob(const void* data, uint32_t attribute, uint32_t length) {
    PutLengthPrefixed(PlainTag(kWireBlob), true, attribute, data, length);
}
void CKDMIIBuf::PutBytes(const void* data, uint32_t length) {
    PutLengthPrefixed(PlainTag(kWireBytes), false, 0, data, length);
}
uint8_t* CKDMIIBuf::ReserveBlob(uint32_t attribute, uint32_t length) {
    return PutLengthPrefixed(PlainTag(kWireBlob), true, attribute, nullptr, length);
}
uint8_t* CKDMIIBuf::ReserveBytes(uint32_t length) {
    return PutLengthPrefixed(PlainTag(kWireBytes), false, 0, nullptr, length);
}
void CKDMIIBuf::PutBytesFlags(const void* data, uint32_t length, uint8_t flags) {
    PutLengthPrefixed(FlagsTag(kWireBytes, flags), false, 0, data, length);
}
uint8_t* CKDMIIBuf::ReserveBlobFlags(uint32_t attribute, uint32_t length, uint8_t flags) {
    return PutLengthPrefixed(FlagsTag(kWireBlob, flags), true, attribute, nullptr, length);
}
uint8_t* CKDMIIBuf::ReserveBytesFlags(uint32_t length, uint8_t flags) {
    return PutLengthPrefixed(FlagsTag(kWireBytes, flags), false, 0, nullptr, length);
}
void CKDMIIBuf::PutBlobFlags(const void* data, uint32_t attribute, uint32_t length, uint8_t flags) {
    PutLengthPrefixed(FlagsTag(kWireBlob, flags), true, attribute, data, length);
}

int CKDMIIBuf::GetBlob(void* buffer, uint32_t capacity, uint32_t* attribute, uint32_t* length) {
    return GetLengthPrefixed(kWireBlob, false, buffer, capacity, attribute, length, nullptr);
}
int CKDMIIBuf::GetBytes(void* buffer, uint32_t capacity, uint32_t* length) {
    return GetLengthPrefixed(kWireBytes, false, buffer, capacity, nullptr, length, nullptr);
}
int CKDMIIBuf::GetBlobInPlace(uint32_t* attribute, uint32_t* length, const uint8_t** data) {
    return GetInPlace(kWireBlob, false, attribute, length, data, nullptr);
}
int CKDMIIBuf::GetBytesInPlace(uint32_t* length, const uint8_t** data) {
    return GetInPlace(kWireBytes, false, nullptr, length, data, nullptr);
}
int CKDMIIBuf::GetBytesFlags(void* buffer, uint32_t capacity, uint32_t* length, uint8_t* flags) {
    return GetLengthPrefixed(kWireBytes, true, buffer, capacity, nullptr, length, flags);
}
int CKDMIIBuf::GetBlobFlags(void* buffer, uint32_t capacity, uint32_t* attribute, uint32_t* length,
                            uint8_t* flags) {
    return GetLengthPrefixed(kWireBlob, true, buffer, capacity, attribute, length, flags);
}
int CKDMIIBuf::GetBlobInPlaceFlags(uint32_t* attribute, uint32_t* length, const uint8_t** data,
                                   uint8_t* flags) {
    return GetInPlace(kWireBlob, true, attribute, length, data, flags);
}
int CKDMIIBuf::GetBytesInPlaceFlags(uint32_t* length, const uint8_t** data, uint8_t* flags) {
    return GetInPlace(kWireBytes, true, nullptr, length, data, flags);
}

// ---- CKDMIIBuf: String ------------------------------------------------------

namespace {
uint32_t TextLength(const char* text) {
    return text != nullptr ? static_cast<uint32_t>(std::strlen(text)) : 0;
}
uint32_t CutLength(const CBasicString& text, uint32_t maxLength) {
    return static_cast<uint32_t>(std::min<size_t>(text.Length(), maxLength));
}
} // namespace

int CKDMIIBuf::GetString(char* buffer, uint32_t capacity, uint32_t* length) {
    return GetText(false, buffer, capacity, length, nullptr);
}
void CKDMIIBuf::PutString(const char* text) {
    PutText(PlainTag(kWireString), text, TextLength(text));
}
void CKDMIIBuf::PutString(const char* text, uint32_t length) {
    PutText(PlainTag(kWireString), text, length);
}
int CKDMIIBuf::GetString(CStaticString& text) {
    return GetText(false, text, nullptr);
}
int CKDMIIBuf::GetString(CBasicString& text, uint32_t maxLength) {
    return GetText(false, text, maxLength, nullptr);
}
void CKDMIIBuf::PutString(const CBasicString& text, uint32_t maxLength) {
    PutText(PlainTag(kWireString), text.c_str(), CutLength(text, maxLength));
}
int CKDMIIBuf::GetString(CBasicString& text) {
    return GetText(false, text, UINT32_MAX, nullptr);
}
void CKDMIIBuf::PutString(const CBasicString& text) {
    PutText(PlainTag(kWireString), text.c_str(), CutLength(text, UINT32_MAX));
}
int CKDMIIBuf::GetStringFlags(char* buffer, uint32_t capacity, uint32_t* length, uint8_t* flags) {
    return GetText(true, buffer, capacity, length, flags);
}
void CKDMIIBuf::PutStringFlags(const char* text, uint8_t flags) {
    PutText(FlagsTag(kWireString, flags), text, TextLength(text));
}
void CKDMIIBuf::PutStringFlags(const char* text, uint32_t length, uint8_t flags) {
    PutText(FlagsTag(kWireString, flags), text, length);
}
int CKDMIIBuf::GetStringFlags(CStaticString& text, uint8_t* flags) {
    return GetText(true, text, flags);
}
int CKDMIIBuf::GetStringFlags(CBasicString& text, uint32_t maxLength, uint8_t* flags) {
    return GetText(true, text, maxLength, flags);
}
void CKDMIIBuf::PutStringFlags(const CBasicString& text, uint32_t maxLength, uint8_t flags) {
    PutText(FlagsTag(kWireString, flags), text.c_str(), CutLength(text, maxLength));
}
int CKDMIIBuf::GetStringFlags(CBasicString& text, uint8_t* flags) {
    return GetText(true, text, UINT32_MAX, flags);
}
void CKDMIIBuf::PutStringFlags(const CBasicString& text, uint8_t flags) {
    PutText(FlagsTag(kWireString, flags), text.c_str(), CutLength(text, UINT32_MAX));
}

// ---- CKDMIIBuf: markers and the command word --------------------------------

void CKDMIIBuf::PutMarker21() {
    PutRawU8(PlainTag(kWireMarker21));
}
void CKDMIIBuf::PutMarker22() {
    PutRawU8(PlainTag(kWireMarker22));
}
int CKDMIIBuf::ExpectMarker22() {
    int status = ExpectTag(kWireMarker22);
    return status == kTransferNullValue ? kTransferWrongType : status;
}
int CKDMIIBuf::ExpectMarker21() {
    int status = ExpectTag(kWireMarker21);
    return status == kTransferNullValue ? kTransferWrongType : status;
}

void CKDMIIBuf::BeginCommand(uint32_t identity, bool reply) {
    Reset();
    PutRawU32(reply ? (identity | kCommandReplyFlag) : (identity & ~kCommandReplyFlag));
}

} // namespace kdm
