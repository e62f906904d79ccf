// Any bytes as a received payload, read by the getters in an order the input
// chooses and by the row cache with definitions the input chooses.
//
// Input: n = byte 0 % 48, then n operation bytes, then d = next byte % 6 and
// d (type, declared size) pairs of column definitions, then the payload.
//
// Beyond "no crash, no access outside the block", every step checks the
// buffer's contract: a failed get consumes nothing, a successful one
// consumes bytes, outputs stay inside the payload, and a fixed-width value
// encodes back to exactly the bytes it was read from.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "frame/exceptions.h"
#include "frame/fields.h"
#include "frame/rows.h"
#include "transport/kdmii_buf.h"

using namespace kdm;

namespace {

void Check(bool condition) {
    if (!condition)
        abort();
}

struct Input {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    bool More() const { return pos < size; }
    uint8_t Byte() { return pos < size ? data[pos++] : 0; }
};

class Driver {
public:
    Driver(const uint8_t* payload, size_t length) : m_length(length) {
        uint8_t* block = m_buf.FrameArea(kPayloadOffset + length + kFrameTrailerSize);
        if (length > 0)
            std::memcpy(block + kPayloadOffset, payload, length);
        m_buf.SetReceivedPayload(static_cast<uint32_t>(length));
        m_payload = m_buf.Block() + kPayloadOffset;
    }

    void AddDefinition(uint8_t type, uint8_t declared) {
        try {
            auto def =
                std::make_unique<TDBIFieldDef>("F", "T", type % 15, 0, declared, m_defs.Count());
            m_defs.Add(def.get());
            def.release();
        } catch (const EException&) {
            // A type without a value buffer cannot be a column.
        }
    }

    void Run(uint8_t op, Input& in) {
        State before = Snapshot();
        int status = Step(op, in);
        State after = Snapshot();
        Check(after.remaining >= 0);
        Check(after.offset >= kPayloadOffset);
        Check(after.offset + static_cast<size_t>(after.remaining) <= kPayloadOffset + m_length);
        if (status < 0)
            return; // not a getter
        if (status != kTransferOk) {
            Check(before.offset == after.offset && before.remaining == after.remaining);
        } else if (m_consumes) {
            Check(after.remaining < before.remaining ||
                  (before.remaining > 0 && after.remaining == 0));
        }
    }

private:
    struct State {
        size_t offset;
        int32_t remaining;
    };
    State Snapshot() const { return {m_buf.CursorOffset(), m_buf.Remaining()}; }

    bool InPayload(const uint8_t* p, uint32_t length) const {
        return p >= m_payload && p <= m_payload + m_length &&
               length <= static_cast<size_t>(m_payload + m_length - p);
    }

    // Re-encodes a fixed-width value with its flags and compares it with the
    // bytes it came from.
    template <class T, class Put>
    void CheckReencoded(const uint8_t* source, size_t width, T value, uint8_t flags, Put put) {
        CKDMIIBuf out;
        put(out, value, flags);
        Check(out.PayloadLength() == 1 + width);
        const uint8_t* encoded = out.Block() + kPayloadOffset;
        Check(encoded[0] == source[0]);
        Check(std::memcmp(encoded + 1, source + 1, width) == 0);
    }

    template <class T, class Get, class Put>
    int Fixed(size_t width, bool withFlags, Get get, Put put) {
        const uint8_t* source = m_buf.Cursor();
        T value{};
        uint8_t flags = 0xFF;
        int status = get(m_buf, &value, withFlags ? &flags : nullptr);
        if (status == kTransferOk && withFlags)
            CheckReencoded(source, width, value, flags, put);
        return status;
    }

    int Step(uint8_t op, Input& in) {
        m_consumes = true;
        switch (op % 40) {
#define KDM_FIXED(n, T, W, Name)                                                                   \
    case n:                                                                                        \
    case n + 1:                                                                                    \
        return Fixed<T>(                                                                           \
            W, op % 40 == n + 1,                                                                   \
            [](CKDMIIBuf& b, T* v, uint8_t* f) {                                                   \
                return f != nullptr ? b.Get##Name##Flags(v, f) : b.Get##Name(v);                   \
            },                                                                                     \
            [](CKDMIIBuf& b, T v, uint8_t f) { b.Put##Name##Flags(v, f); });
            KDM_FIXED(0, int64_t, 8, Int64)
            KDM_FIXED(2, int32_t, 4, Int32)
            KDM_FIXED(4, int16_t, 2, Int16)
            KDM_FIXED(6, int8_t, 1, Int8)
            KDM_FIXED(8, uint64_t, 8, UInt64)
            KDM_FIXED(10, uint32_t, 4, UInt32)
            KDM_FIXED(12, uint16_t, 2, UInt16)
            KDM_FIXED(14, uint8_t, 1, UInt8)
            KDM_FIXED(16, float, 4, Float)
            KDM_FIXED(18, double, 8, Double)
#undef KDM_FIXED
        case 20: {
            TNativeDateTime value{};
            uint8_t flags = 0;
            return (op & 0x80) != 0 ? m_buf.GetDateTimeFlags(&value, &flags)
                                    : m_buf.GetDateTime(&value);
        }
        case 21: {
            bool value = false;
            uint8_t flags = 0;
            return (op & 0x80) != 0 ? m_buf.GetBoolFlags(&value, &flags) : m_buf.GetBool(&value);
        }
        case 22: {
            uint32_t capacity = in.Byte();
            std::vector<char> text(capacity + 1, 'X');
            uint32_t length = 0xFFFFFFFF;
            uint8_t flags = 0;
            int status = (op & 0x80) != 0
                             ? m_buf.GetStringFlags(text.data(), capacity, &length, &flags)
                             : m_buf.GetString(text.data(), capacity, &length);
            if (status == kTransferOk)
                Check(length <= capacity && text[length] == '\0');
            return status;
        }
        case 23: {
            CString32 text;
            return m_buf.GetString(text);
        }
        case 24: {
            CBasicString text;
            uint32_t max = in.Byte();
            int status = (op & 0x80) != 0 ? m_buf.GetString(text, max) : m_buf.GetString(text);
            if (status == kTransferOk && (op & 0x80) != 0)
                Check(text.Length() <= max);
            return status;
        }
        case 25: {
            uint32_t capacity = in.Byte() * 4u;
            std::vector<uint8_t> data(capacity);
            uint32_t length = 0, attribute = 0;
            uint8_t flags = 0;
            int status = (op & 0x80) != 0 ? m_buf.GetBlobFlags(data.data(), capacity, &attribute,
                                                               &length, &flags)
                                          : m_buf.GetBytes(data.data(), capacity, &length);
            if (status == kTransferOk)
                Check(length <= capacity);
            return status;
        }
        case 26: {
            uint32_t length = 0, attribute = 0;
            const uint8_t* data = nullptr;
            uint8_t flags = 0;
            int status;
            switch (op >> 6) {
            case 0:
                status = m_buf.GetBlobInPlace(&attribute, &length, &data);
                break;
            case 1:
                status = m_buf.GetBytesInPlace(&length, &data);
                break;
            case 2:
                status = m_buf.GetBlobInPlaceFlags(&attribute, &length, &data, &flags);
                break;
            default:
                status = m_buf.GetBytesInPlaceFlags(&length, &data, &flags);
                break;
            }
            if (status == kTransferOk)
                Check(InPayload(data, length));
            return status;
        }
        case 27: {
            uint8_t flags = 0;
            uint8_t type = in.Byte() & kTagTypeMask;
            return (op & 0x80) != 0 ? m_buf.ExpectTagFlags(type, &flags) : m_buf.ExpectTag(type);
        }
        case 28: {
            uint8_t raw[8];
            switch (op >> 6) {
            case 0:
                return m_buf.GetRawU64(reinterpret_cast<uint64_t*>(raw));
            case 1:
                return m_buf.GetRawI32(reinterpret_cast<int32_t*>(raw));
            case 2:
                return m_buf.GetRawU16(reinterpret_cast<uint16_t*>(raw));
            default:
                return m_buf.GetRawI8(reinterpret_cast<int8_t*>(raw));
            }
        }
        case 29: {
            CBasicString text;
            return m_buf.GetRawString(text);
        }
        case 30: {
            int32_t length = static_cast<int8_t>(in.Byte());
            std::vector<uint8_t> dest(length > 0 ? length : 1);
            m_consumes = length != 0;
            return m_buf.GetRawBytes((op & 0x80) != 0 ? dest.data() : nullptr, length);
        }
        case 31: {
            int32_t length = static_cast<int8_t>(in.Byte());
            m_consumes = length != 0;
            return m_buf.Skip(length) ? kTransferOk : kTransferBeyondEnd;
        }
        case 32: {
            m_consumes = false;
            uint8_t dest[128];
            int32_t length = static_cast<int8_t>(in.Byte());
            State before = Snapshot();
            m_buf.PeekRawBytes(dest, length);
            uint32_t bytesLength = 0;
            m_buf.PeekBytesLength(&bytesLength);
            m_buf.PeekCommandWord();
            Check(Snapshot().offset == before.offset && Snapshot().remaining == before.remaining);
            return kTransferOk;
        }
        case 33:
            m_buf.SetMark();
            return -1;
        case 34:
            m_buf.ReturnToMark();
            return -1;
        case 35: {
            uint32_t word = m_buf.PeekCommandWord();
            if (!m_buf.ConsumeWord(word))
                return kTransferBeyondEnd;
            return kTransferOk;
        }
        case 36:
            return (op & 0x80) != 0 ? m_buf.ExpectMarker21() : m_buf.ExpectMarker22();
        case 37: {
            TKdmDBIRowList cache(1 + (op >> 6), &m_defs);
            cache.Rebuild();
            int status = cache.Fill(m_buf, (op & 0x20) != 0);
            Check(cache.WindowStart() >= 0 && cache.WindowEnd() <= cache.Count());
            ReadBoundValues();
            uint8_t bookmark[kBookmarkSize];
            while (cache.Move(true, bookmark))
                ReadBoundValues();
            (void)status; // rows that were read stay consumed whatever the status
            return -1;
        }
        case 38: {
            // A type without a wire type fails without consuming.
            TKdmDBIField field(kFieldUnused8, 0, 6);
            int status = kTransferOk;
            ReadFieldValue(m_buf, field, &status);
            Check(status == kTransferWrongType);
            return status;
        }
        default: {
            TKdmDBIRow row;
            row.BuildFields(m_defs);
            int status = kTransferOk;
            ReadRow(m_buf, row, &status);
            return -1;
        }
        }
    }

    void ReadBoundValues() {
        for (const TDBIFieldDef* def : m_defs) {
            try {
                char text[256];
                uint8_t length = 255;
                FieldAsString(def, text, &length);
                Check(text[length] == '\0');
                TBlobDesc blob{};
                FieldAsBlob(def, &blob);
                if (blob.length > 0)
                    Check(def->bound->BlobBlock()->Size() == blob.length);
            } catch (const EException&) {
                // Access method and type do not match.
            }
        }
    }

    CKDMIIBuf m_buf;
    size_t m_length;
    const uint8_t* m_payload;
    TDBIFieldDefs m_defs;
    bool m_consumes = true;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    const size_t opCount = in.Byte() % 48;
    const size_t opStart = in.pos;
    in.pos = std::min(size, opStart + opCount);
    const size_t defCount = in.Byte() % 6;
    std::vector<std::pair<uint8_t, uint8_t>> defs;
    for (size_t i = 0; i < defCount; ++i) {
        uint8_t type = in.Byte();
        defs.emplace_back(type, in.Byte());
    }
    const uint8_t* payload = data + std::min(size, in.pos);
    const size_t length = size - std::min(size, in.pos);
    if (length > kMaxPayload)
        return 0;

    Driver driver(payload, length);
    for (auto [type, declared] : defs)
        driver.AddDefinition(type, declared);
    // Operation arguments are taken from the operation bytes that follow.
    Input ops{data + opStart, std::min(size, opStart + opCount) - std::min(size, opStart)};
    while (ops.More())
        driver.Run(ops.Byte(), ops);
    return 0;
}
