#include "frame/field_types.h"

#include "frame/exceptions.h"

namespace kdm {

namespace {
constexpr const char* kTypeNames[] = {
    "Unknown", "Bool",    "UInt8", "Int16",  "Int32",  "Int64",    "UInt16",
    "UInt32",  "Unknown", "Float", "Double", "String", "DateTime", "Blob",
};
constexpr int32_t kTypeCount = static_cast<int32_t>(sizeof kTypeNames / sizeof kTypeNames[0]);
} // namespace

const char* FieldTypeName(int32_t type) {
    if (type < 0 || type >= kTypeCount)
        return "Unknown";
    return kTypeNames[type];
}

bool IsValidFieldType(int32_t type) {
    return type >= kFieldBool && type <= kFieldBlob && type != kFieldUnused8;
}

uint32_t FieldBufferSize(int32_t type, uint32_t declaredSize) {
    switch (type) {
    case kFieldBool:
    case kFieldUInt8:
        return 2;
    case kFieldInt16:
    case kFieldUInt16:
        return 3;
    case kFieldInt32:
    case kFieldUInt32:
    case kFieldFloat:
        return 5;
    case kFieldInt64:
    case kFieldDouble:
    case kFieldDateTime:
        return 9;
    case kFieldString:
        // The length byte cannot describe more than 255 characters.
        if (declaredSize > kStringMaxLength)
            declaredSize = kStringMaxLength;
        return declaredSize + kStringOverhead;
    case kFieldBlob:
        return kBlobBufferSize;
    default:
        break;
    }
    throw EException("Internal error: Invalid field type.", 0, 0);
}

} // namespace kdm
