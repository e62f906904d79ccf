#include "sql/row_filter.h"

#include <algorithm>
#include <cstring>

#include "sql/schema.h"

namespace kdm::sql {

namespace {

template <class T> T Load(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The field's value in a form that orders like the field's type: integers
// and date/times as 64-bit integers (date/times unsigned), floats as double,
// texts as bytes.
struct Value {
    enum Kind { kSigned, kUnsigned, kFloat, kText } kind = kSigned;
    int64_t i = 0;
    uint64_t u = 0;
    double f = 0;
    const uint8_t* text = nullptr;
    size_t length = 0;
};

bool Read(const CFieldDef& field, const uint8_t* s, Value* v) {
    const uint8_t* p = s + 1;
    switch (field.type) {
    case kTypeByte:
    case kTypeBool:
        v->kind = Value::kSigned, v->i = p[0];
        return true;
    case kTypeWord:
        v->kind = Value::kSigned, v->i = Load<uint16_t>(p);
        return true;
    case kTypeDWord:
        v->kind = Value::kSigned, v->i = Load<uint32_t>(p);
        return true;
    case kTypeSmallInt:
        v->kind = Value::kSigned, v->i = Load<int16_t>(p);
        return true;
    case kTypeInteger:
        v->kind = Value::kSigned, v->i = Load<int32_t>(p);
        return true;
    case kTypeHugeInt:
    case kTypeQWord:
        v->kind = Value::kSigned, v->i = Load<int64_t>(p);
        return true;
    case kTypeDateTime:
        v->kind = Value::kUnsigned, v->u = Load<uint64_t>(p);
        return true;
    case kTypeFloat:
        v->kind = Value::kFloat, v->f = Load<float>(p);
        return true;
    case kTypeDouble:
        v->kind = Value::kFloat, v->f = Load<double>(p);
        return true;
    case kTypeVarChar:
        v->kind = Value::kText, v->text = s + 3, v->length = std::min<size_t>(s[2], field.strSize);
        return true;
    default:
        return false;
    }
}

// -1, 0, 1; 2 when unordered (NaN).
int Compare(const Value& v, const CFieldDef& field, const TCritValue& c) {
    switch (v.kind) {
    case Value::kSigned:
        return v.i < c.intValue ? -1 : v.i > c.intValue ? 1 : 0;
    case Value::kUnsigned: {
        uint64_t w = static_cast<uint64_t>(c.intValue);
        return v.u < w ? -1 : v.u > w ? 1 : 0;
    }
    case Value::kFloat:
        if (v.f < c.floatValue)
            return -1;
        if (v.f > c.floatValue)
            return 1;
        return v.f == c.floatValue ? 0 : 2;
    case Value::kText: {
        size_t n = std::min<size_t>(c.text.size(), field.strSize);
        size_t common = std::min(n, v.length);
        int r = std::memcmp(v.text, c.text.data(), common);
        if (r != 0)
            return r < 0 ? -1 : 1;
        return v.length < n ? -1 : v.length > n ? 1 : 0;
    }
    }
    return 2;
}

bool InRange(const Value& v, const CFieldDef& f, const TCritValue& lo, const TCritValue& hi,
             bool lowOpen, bool highOpen) {
    int a = Compare(v, f, lo), b = Compare(v, f, hi);
    if (a == 2 || b == 2)
        return false;
    return (lowOpen ? a > 0 : a >= 0) && (highOpen ? b < 0 : b <= 0);
}

bool Passes(const CWithCrit& crit, const uint8_t* record, uint32_t recordSize) {
    const CFieldDef* field = crit.field;
    if (field == nullptr ||
        uint64_t(field->offset) + StorageSizeOrZero(field->type, field->strSize) > recordSize)
        return false;
    const uint8_t* s = record + field->offset;
    bool present = (s[0] & 0x80) != 0;
    if (crit.op == coIsNull)
        return !present;
    if (crit.op == coIsNotNull)
        return present;
    Value v;
    if (!present || !Read(*field, s, &v))
        return false;
    int c;
    switch (crit.op) {
    case coEqual:
        return Compare(v, *field, crit.current) == 0;
    case coNotEqual:
        c = Compare(v, *field, crit.current);
        return c != 0;
    case coGreaterEqual:
        c = Compare(v, *field, crit.current);
        return c == 0 || c == 1;
    case coLessEqual:
        c = Compare(v, *field, crit.current);
        return c == 0 || c == -1;
    case coGreater:
        return Compare(v, *field, crit.current) == 1;
    case coLess:
        return Compare(v, *field, crit.current) == -1;
    case coIn:
    case coNotIn: {
        bool hit = false;
        for (const CInListVal& single : crit.inValues)
            if (Compare(v, *field, single.value) == 0) {
                hit = true;
                break;
            }
        for (size_t i = 0; !hit && i < crit.inRanges.size(); ++i)
            hit = InRange(v, *field, crit.inRanges[i].lower, crit.inRanges[i].upper, false, false);
        return crit.op == coIn ? hit : !hit;
    }
    default:
        if (crit.op >= coBetween && crit.op < coBetween + 8) {
            int bits = crit.op - coBetween;
            bool inside = InRange(v, *field, crit.lower, crit.upper, bits & 2, bits & 1);
            return (bits & 4) ? !inside : inside;
        }
        return false;
    }
}

} // namespace

bool PassesCriteria(const std::vector<CWithCrit>& criteria, const uint8_t* record,
                    uint32_t recordSize) {
    for (const CWithCrit& crit : criteria)
        if (!Passes(crit, record, recordSize))
            return false;
    return true;
}

} // namespace kdm::sql
