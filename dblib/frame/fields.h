// Field values, field definitions and the access rules behind the Field_
// exports. A field handle is the address of a TDBIFieldDef.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "frame/datetime.h"
#include "frame/field_types.h"
#include "frame/lists.h"
#include "frame/virtual_buffer.h"

namespace kdm {

struct TDBIFieldDef;

// Growth step of a blob block; its ceiling admits every 32-bit length.
inline constexpr size_t kBlobGrowthStep = 8192;
inline constexpr size_t kBlobCeiling = UINT32_MAX;

// One field value of one row.
class TKdmDBIField {
public:
    // Raises EException "Internal error: Invalid field type." when the
    // buffer is smaller than a field of that type and declared size needs.
    // A type without a value buffer (0, 8, others) is accepted: its reads
    // fail with status 1 and its accessors with the type mismatch.
    TKdmDBIField(int32_t type, uint32_t declaredSize, uint32_t bufferSize);
    explicit TKdmDBIField(const TDBIFieldDef& def);
    TKdmDBIField(const TKdmDBIField&) = delete;
    TKdmDBIField& operator=(const TKdmDBIField&) = delete;

    // Null unless the type is Blob.
    TVirtualBuffer* BlobBlock() { return m_blob.get(); }
    const TVirtualBuffer* BlobBlock() const { return m_blob.get(); }
    uint8_t* Buffer() { return m_buffer.get(); }
    const uint8_t* Buffer() const { return m_buffer.get(); }
    uint32_t BufferSize() const { return m_bufferSize; }
    uint32_t DeclaredSize() const { return m_declaredSize; }
    int32_t Type() const { return m_type; }

    bool IsPresent() const {
        return m_bufferSize > 0 && (m_buffer[kValueFlagsOffset] & kValuePresent) != 0;
    }
    // Longest text a String field can hold.
    uint32_t StringCapacity() const;

    // Zeroes the value buffer (NULL) and empties the blob block.
    void Clear();

private:
    std::unique_ptr<TVirtualBuffer> m_blob;
    std::unique_ptr<uint8_t[]> m_buffer;
    uint32_t m_bufferSize;
    uint32_t m_declaredSize;
    int32_t m_type;
};

inline constexpr size_t kFieldNameCapacity = 32;

// One column of a dataset or picture grabber. Its address is the field
// handle; the name comes first so that the handle is also the name text.
struct TDBIFieldDef {
    // Names are cut to 32 characters and upper-cased (null: empty). The
    // buffer size follows from type and declared size (FieldBufferSize
    // raises for a type without one).
    TDBIFieldDef(const char* fieldName, const char* tableName, int32_t type, uint32_t attribute,
                 uint32_t declaredSize, int32_t index);
    TDBIFieldDef(const TDBIFieldDef&) = delete;
    TDBIFieldDef& operator=(const TDBIFieldDef&) = delete;

    char name[kFieldNameCapacity + 1];
    char tableName[kFieldNameCapacity + 1];
    TKdmDBIField* bound = nullptr; // the current row's value, or none
    int32_t type;
    uint32_t attribute; // carried, not interpreted
    uint32_t bufferSize;
    uint32_t declaredSize;
    int32_t index; // position in the row
    TDBIFieldDef* self;
};

// The definitions of a statement, owned, in column order.
class TDBIFieldDefs : public CUnsortedPtrOwningList<TDBIFieldDef> {
public:
    static constexpr int32_t kNotFound = -1;

    // Column index of "FIELD" or "TABLE.FIELD" (the whole name cut to 32
    // characters first, case ignored); kNotFound when nothing matches.
    int32_t FindColumn(const char* name) const;
    void UnbindAll();
};

// Blob descriptor of Field_AsBlob; data stays valid until the row is
// refilled or cleared.
struct TBlobDesc {
    uint32_t attribute;
    uint32_t length;
    const void* data;
};

// Access rules of the Field_ exports. A null def raises EInvalidHandle
// "Invalid field handle."; a value that is NULL (or not bound) gives the
// zero result; a type without a rule raises EException(2, 270) "Field type
// does not match access method! (Field type=%s AccessMethod=%s)" and leaves
// every output untouched. Integer results of Float and Double values are
// truncated toward zero with NaN giving 0 and values beyond the int64
// range saturating.
const char* FieldName(const TDBIFieldDef* def);
int32_t FieldType(const TDBIFieldDef* def);
bool FieldIsNull(const TDBIFieldDef* def);
bool FieldAsBool(const TDBIFieldDef* def);
int32_t FieldAsInt(const TDBIFieldDef* def);
uint32_t FieldAsDWord(const TDBIFieldDef* def);
int64_t FieldAsInt64(const TDBIFieldDef* def);
double FieldAsFloat(const TDBIFieldDef* def);
TNativeDateTime FieldAsNativeDateTime(const TDBIFieldDef* def);
TGenericDateTime FieldAsGenericDateTime(const TDBIFieldDef* def);
// *length: capacity on entry (buffer holds one more for the terminator),
// characters copied on return; the text is always terminated. Null
// buffer or length raises EException "Field_AsString: Invalid buffer.".
void FieldAsString(const TDBIFieldDef* def, char* buffer, uint8_t* length);
// Null desc raises EException "Field_AsBlob: Invalid descriptor.".
void FieldAsBlob(const TDBIFieldDef* def, TBlobDesc* desc);

// Truncation used by the integer accessors.
int64_t TruncateToInt64(double value);

} // namespace kdm
