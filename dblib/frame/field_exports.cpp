// Field family. The handle is the column definition's address: no
// registry, no lock.
#include <cstring>

#include "frame/export_frame.h"
#include "frame/fields.h"

using namespace kdm;

namespace {

static_assert(sizeof(KdmNativeDateTime) == sizeof(TNativeDateTime));
static_assert(sizeof(KdmGenericDateTime) == sizeof(TGenericDateTime));

const TDBIFieldDef* Def(KdmField field, const char* function) {
    RequireArg(field, function, "field");
    return static_cast<const TDBIFieldDef*>(field);
}

// Reads one value into *out; a null out-pointer is a caller error.
template <class Out, class Read>
KdmBool32 FieldExport(KdmField field, Out* out, const char* function, Read&& read) {
    return RunExport([&] {
        const TDBIFieldDef* def = Def(field, function);
        RequireArg(out, function, "value");
        read(def, out);
    });
}

} // namespace

extern "C" {

KDMDBI_FUNC Field_FieldName(KdmField field, const char** name) {
    return FieldExport(field, name, "Field_FieldName",
                       [](const TDBIFieldDef* d, const char** out) { *out = FieldName(d); });
}
KDMDBI_FUNC Field_FieldType(KdmField field, int32_t* type) {
    return FieldExport(field, type, "Field_FieldType",
                       [](const TDBIFieldDef* d, int32_t* out) { *out = FieldType(d); });
}
KDMDBI_FUNC Field_IsNull(KdmField field, KdmBool* isNull) {
    return FieldExport(field, isNull, "Field_IsNull",
                       [](const TDBIFieldDef* d, KdmBool* out) { *out = FieldIsNull(d) ? 1 : 0; });
}
KDMDBI_FUNC Field_AsBool(KdmField field, KdmBool* value) {
    return FieldExport(field, value, "Field_AsBool",
                       [](const TDBIFieldDef* d, KdmBool* out) { *out = FieldAsBool(d) ? 1 : 0; });
}
KDMDBI_FUNC Field_AsInt(KdmField field, int32_t* value) {
    return FieldExport(field, value, "Field_AsInt",
                       [](const TDBIFieldDef* d, int32_t* out) { *out = FieldAsInt(d); });
}
KDMDBI_FUNC Field_AsInt64(KdmField field, int64_t* value) {
    return FieldExport(field, value, "Field_AsInt64",
                       [](const TDBIFieldDef* d, int64_t* out) { *out = FieldAsInt64(d); });
}
KDMDBI_FUNC Field_AsDWord(KdmField field, uint32_t* value) {
    return FieldExport(field, value, "Field_AsDWord",
                       [](const TDBIFieldDef* d, uint32_t* out) { *out = FieldAsDWord(d); });
}
KDMDBI_FUNC Field_AsFloat(KdmField field, double* value) {
    return FieldExport(field, value, "Field_AsFloat",
                       [](const TDBIFieldDef* d, double* out) { *out = FieldAsFloat(d); });
}
KDMDBI_FUNC Field_AsNativeDateTime(KdmField field, KdmNativeDateTime* value) {
    return FieldExport(field, value, "Field_AsNativeDateTime",
                       [](const TDBIFieldDef* d, KdmNativeDateTime* out) {
                           TNativeDateTime v = FieldAsNativeDateTime(d);
                           std::memcpy(out, &v, sizeof v);
                       });
}
KDMDBI_FUNC Field_AsGenericDateTime(KdmField field, KdmGenericDateTime* value) {
    return FieldExport(field, value, "Field_AsGenericDateTime",
                       [](const TDBIFieldDef* d, KdmGenericDateTime* out) {
                           TGenericDateTime v = FieldAsGenericDateTime(d);
                           std::memcpy(out, &v, sizeof v);
                       });
}
KDMDBI_FUNC Field_AsString(KdmField field, char* buffer, uint8_t* length) {
    return RunExport([&] {
        const TDBIFieldDef* def = Def(field, "Field_AsString");
        RequireArg(buffer, "Field_AsString", "buffer");
        RequireArg(length, "Field_AsString", "length");
        FieldAsString(def, buffer, length);
    });
}
KDMDBI_FUNC Field_AsBlob(KdmField field, KdmBlobDesc* blob) {
    return FieldExport(field, blob, "Field_AsBlob", [](const TDBIFieldDef* d, KdmBlobDesc* out) {
        TBlobDesc v{};
        FieldAsBlob(d, &v);
        out->attribute = v.attribute;
        out->length = v.length;
        out->data = v.data;
    });
}

} // extern "C"
