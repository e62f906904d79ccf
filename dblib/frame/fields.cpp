#include "frame/fields.h"

#include <cctype>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "frame/exceptions.h"

namespace kdm {

// ---- TKdmDBIField ----------------------------------------------------------

TKdmDBIField::TKdmDBIField(int32_t type, uint32_t declaredSize, uint32_t bufferSize)
    : m_bufferSize(bufferSize), m_declaredSize(declaredSize), m_type(type) {
    // Every accessor trusts the buffer to hold its type's layout.
    if (IsValidFieldType(type) && bufferSize < FieldBufferSize(type, declaredSize))
        throw EException("Internal error: Field buffer too small.", 0, 0);
    if (type == kFieldBlob)
        m_blob = std::make_unique<TVirtualBuffer>(0, kBlobCeiling, kBlobGrowthStep);
    m_buffer.reset(new uint8_t[bufferSize > 0 ? bufferSize : 1]());
}

TKdmDBIField::TKdmDBIField(const TDBIFieldDef& def)
    : TKdmDBIField(def.type, def.declaredSize, def.bufferSize) {}

uint32_t TKdmDBIField::StringCapacity() const {
    if (m_type != kFieldString || m_bufferSize < kStringOverhead)
        return 0;
    uint32_t capacity = m_declaredSize;
    if (capacity > m_bufferSize - kStringOverhead)
        capacity = m_bufferSize - kStringOverhead;
    if (capacity > kStringMaxLength)
        capacity = kStringMaxLength;
    return capacity;
}

void TKdmDBIField::Clear() {
    std::memset(m_buffer.get(), 0, m_bufferSize);
    if (m_blob)
        m_blob->Clear();
}

// ---- TDBIFieldDef / TDBIFieldDefs ------------------------------------------

namespace {

void CopyUpper(char* dest, const char* source, size_t limit) {
    size_t n = 0;
    if (source != nullptr)
        for (; n < limit && source[n] != '\0'; ++n)
            dest[n] = static_cast<char>(std::toupper(static_cast<unsigned char>(source[n])));
    dest[n] = '\0';
}

bool EqualsIgnoringCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b)
        if (std::toupper(static_cast<unsigned char>(*a)) !=
            std::toupper(static_cast<unsigned char>(*b)))
            return false;
    return *a == *b;
}

} // namespace

TDBIFieldDef::TDBIFieldDef(const char* fieldName, const char* table, int32_t fieldType,
                           uint32_t fieldAttribute, uint32_t declared, int32_t columnIndex)
    : type(fieldType), attribute(fieldAttribute), bufferSize(FieldBufferSize(fieldType, declared)),
      declaredSize(declared), index(columnIndex), self(this) {
    CopyUpper(name, fieldName, kFieldNameCapacity);
    CopyUpper(tableName, table, kFieldNameCapacity);
}

static_assert(offsetof(TDBIFieldDef, name) == 0, "the field handle is also its name");

int32_t TDBIFieldDefs::FindColumn(const char* text) const {
    if (text == nullptr)
        return kNotFound;
    char whole[kFieldNameCapacity + 1];
    CopyUpper(whole, text, kFieldNameCapacity);
    const char* field = whole;
    const char* table = nullptr;
    if (char* dot = std::strchr(whole, '.'); dot != nullptr) {
        *dot = '\0';
        table = whole;
        field = dot + 1;
    }
    for (int32_t i = 0; i < Count(); ++i) {
        const TDBIFieldDef* def = (*this)[i];
        if (EqualsIgnoringCase(def->name, field) &&
            (table == nullptr || EqualsIgnoringCase(def->tableName, table)))
            return i;
    }
    return kNotFound;
}

void TDBIFieldDefs::UnbindAll() {
    for (TDBIFieldDef* def : *this)
        def->bound = nullptr;
}

// ---- access rules ----------------------------------------------------------

namespace {

template <class T> T LoadLE(const uint8_t* p) {
    T value;
    std::memcpy(&value, p, sizeof value); // the library runs on little-endian hosts only
    return value;
}

const TKdmDBIField* CheckedValue(const TDBIFieldDef* def) {
    if (def == nullptr)
        throw EInvalidHandle("Invalid field handle.");
    return def->bound;
}

// The present value, or null when the value is NULL or not bound.
const TKdmDBIField* PresentValue(const TDBIFieldDef* def) {
    const TKdmDBIField* field = CheckedValue(def);
    if (field == nullptr || !field->IsPresent())
        return nullptr;
    return field;
}

[[noreturn]] void ThrowMismatch(const TKdmDBIField& field, const char* method) {
    throw EException(Format("Field type does not match access method! (Field type=%s "
                            "AccessMethod=%s)",
                            FieldTypeName(field.Type()), method),
                     2, 270);
}

enum class Number { Integer, Real, None };

// Integer-valued types widen as the AsInt64 column says; Float and Double
// stay real. Bool is 1 / 0.
Number Load(const TKdmDBIField& field, int64_t* integer, double* real) {
    const uint8_t* v = field.Buffer() + kValueOffset;
    switch (field.Type()) {
    case kFieldBool:
        *integer = v[0] != 0 ? 1 : 0;
        return Number::Integer;
    case kFieldUInt8:
        *integer = v[0];
        return Number::Integer;
    case kFieldInt16:
        *integer = LoadLE<int16_t>(v);
        return Number::Integer;
    case kFieldInt32:
        *integer = LoadLE<int32_t>(v);
        return Number::Integer;
    case kFieldInt64:
        *integer = LoadLE<int64_t>(v);
        return Number::Integer;
    case kFieldUInt16:
        *integer = LoadLE<uint16_t>(v);
        return Number::Integer;
    case kFieldUInt32:
        *integer = LoadLE<uint32_t>(v);
        return Number::Integer;
    case kFieldFloat:
        *real = LoadLE<float>(v);
        return Number::Real;
    case kFieldDouble:
        *real = LoadLE<double>(v);
        return Number::Real;
    default:
        return Number::None;
    }
}

int64_t AsInteger(const TKdmDBIField& field, const char* method) {
    int64_t integer = 0;
    double real = 0;
    switch (Load(field, &integer, &real)) {
    case Number::Integer:
        return integer;
    case Number::Real:
        return TruncateToInt64(real);
    case Number::None:
        break;
    }
    ThrowMismatch(field, method);
}

TNativeDateTime AsNative(const TDBIFieldDef* def) {
    const TKdmDBIField* field = PresentValue(def);
    if (field == nullptr)
        return TNativeDateTime{0, 0};
    if (field->Type() != kFieldDateTime)
        ThrowMismatch(*field, "AsDateTime");
    const uint8_t* v = field->Buffer() + kValueOffset;
    return TNativeDateTime{LoadLE<uint32_t>(v), LoadLE<uint32_t>(v + 4)};
}

} // namespace

int64_t TruncateToInt64(double value) {
    if (std::isnan(value))
        return 0;
    // 2^63 is exact in a double; anything at or above it does not fit.
    constexpr double kLimit = 9223372036854775808.0;
    if (value >= kLimit)
        return INT64_MAX;
    if (value < -kLimit)
        return INT64_MIN;
    return static_cast<int64_t>(value);
}

const char* FieldName(const TDBIFieldDef* def) {
    if (def == nullptr)
        throw EInvalidHandle("Invalid field handle.");
    return def->name;
}

int32_t FieldType(const TDBIFieldDef* def) {
    if (def == nullptr)
        throw EInvalidHandle("Invalid field handle.");
    return def->type;
}

bool FieldIsNull(const TDBIFieldDef* def) {
    return PresentValue(def) == nullptr;
}

bool FieldAsBool(const TDBIFieldDef* def) {
    const TKdmDBIField* field = PresentValue(def);
    if (field == nullptr)
        return false;
    int64_t integer = 0;
    double real = 0;
    switch (Load(*field, &integer, &real)) {
    case Number::Integer:
        return integer != 0;
    case Number::Real:
        return real < 0 || real > 0; // NaN is false
    case Number::None:
        break;
    }
    ThrowMismatch(*field, "AsBool");
}

int32_t FieldAsInt(const TDBIFieldDef* def) {
    const TKdmDBIField* field = PresentValue(def);
    if (field == nullptr)
        return 0;
    return static_cast<int32_t>(static_cast<uint32_t>(AsInteger(*field, "AsInt")));
}

uint32_t FieldAsDWord(const TDBIFieldDef* def) {
    const TKdmDBIField* field = PresentValue(def);
    if (field == nullptr)
        return 0;
    return static_cast<uint32_t>(AsInteger(*field, "AsDWord"));
}

int64_t FieldAsInt64(const TDBIFieldDef* def) {
    const TKdmDBIField* field = PresentValue(def);
    if (field == nullptr)
        return 0;
    return AsInteger(*field, "AsInt64");
}

double FieldAsFloat(const TDBIFieldDef* def) {
    const TKdmDBIField* field = PresentValue(def);
    if (field == nullptr)
        return 0.0;
    int64_t integer = 0;
    double real = 0;
    switch (Load(*field, &integer, &real)) {
    case Number::Integer:
        return static_cast<double>(integer);
    case Number::Real:
        return real;
    case Number::None:
        break;
    }
    ThrowMismatch(*field, "AsFloat");
}

TNativeDateTime FieldAsNativeDateTime(const TDBIFieldDef* def) {
    return AsNative(def);
}

TGenericDateTime FieldAsGenericDateTime(const TDBIFieldDef* def) {
    return NativeToGeneric(AsNative(def));
}

void FieldAsString(const TDBIFieldDef* def, char* buffer, uint8_t* length) {
    const TKdmDBIField* field = CheckedValue(def);
    if (buffer == nullptr || length == nullptr)
        throw EException("Field_AsString: Invalid buffer.", 0, 0);
    size_t capacity = *length;
    if (field == nullptr || !field->IsPresent()) {
        buffer[0] = '\0';
        *length = 0;
        return;
    }
    // Longest text: 255 string characters, a 20-digit integer, a "%.15g"
    // double or a date-time.
    char text[kStringMaxLength + 1];
    const char* source = text;
    size_t n = 0;
    int64_t integer = 0;
    double real = 0;
    switch (field->Type()) {
    case kFieldString:
        source = reinterpret_cast<const char*>(field->Buffer() + kStringTextOffset);
        n = field->Buffer()[kStringLengthOffset];
        if (n > field->StringCapacity())
            n = field->StringCapacity();
        break;
    case kFieldDateTime: {
        const uint8_t* v = field->Buffer() + kValueOffset;
        TGenericDateTime g = NativeToGeneric({LoadLE<uint32_t>(v), LoadLE<uint32_t>(v + 4)});
        n = static_cast<size_t>(FormatDateTimeText(text, sizeof text, g));
        break;
    }
    case kFieldBool:
        n = static_cast<size_t>(std::snprintf(text, sizeof text, "%s",
                                              field->Buffer()[kValueOffset] ? "TRUE" : "FALSE"));
        break;
    case kFieldFloat:
        Load(*field, &integer, &real);
        n = static_cast<size_t>(std::snprintf(text, sizeof text, "%.7g", real));
        break;
    case kFieldDouble:
        Load(*field, &integer, &real);
        n = static_cast<size_t>(std::snprintf(text, sizeof text, "%.15g", real));
        break;
    default:
        if (Load(*field, &integer, &real) != Number::Integer)
            ThrowMismatch(*field, "String");
        n = static_cast<size_t>(std::snprintf(text, sizeof text, "%" PRId64, integer));
        break;
    }
    if (n > capacity)
        n = capacity;
    std::memcpy(buffer, source, n);
    buffer[n] = '\0';
    *length = static_cast<uint8_t>(n);
}

void FieldAsBlob(const TDBIFieldDef* def, TBlobDesc* desc) {
    const TKdmDBIField* field = CheckedValue(def);
    if (desc == nullptr)
        throw EException("Field_AsBlob: Invalid descriptor.", 0, 0);
    if (field == nullptr || !field->IsPresent()) {
        *desc = TBlobDesc{0, 0, nullptr};
        return;
    }
    if (field->Type() != kFieldBlob)
        ThrowMismatch(*field, "AsBlob");
    const uint8_t* b = field->Buffer();
    uint32_t length = LoadLE<uint32_t>(b + kBlobLengthOffset);
    const TVirtualBuffer* block = field->BlobBlock();
    // The caller reads `length` bytes: never promise more than the block holds.
    if (length > block->Size())
        length = static_cast<uint32_t>(block->Size());
    *desc = TBlobDesc{LoadLE<uint32_t>(b + kBlobAttributeOffset), length, block->Data()};
}

} // namespace kdm
