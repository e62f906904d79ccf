#include "sql/evaluator.h"

#include <cctype>
#include <cinttypes>
#include <cstring>

#include "frame/datetime.h"
#include "frame/exceptions.h"
#include "sql/schema.h"
#include "sql/sql_diag.h"
#include "sql/sql_parser.h"

namespace kdm::sql {

namespace {

// Last day number the date arithmetic yields (30 December 4516).
constexpr int64_t kLastDay = 1649434;

template <class T> T Load(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

bool IsInt(const CStackItem& i) {
    return i.type == kTypeHugeInt || i.type == kTypeQWord;
}
int64_t Signed(const CStackItem& i) {
    return static_cast<int64_t>(i.value);
}
double AsDouble(const CStackItem& i) {
    return i.type == kTypeDouble ? std::bit_cast<double>(i.value)
                                 : static_cast<double>(static_cast<int64_t>(i.value));
}

CStackItem Bool(bool v) {
    CStackItem item;
    item.type = kTypeBool;
    item.value = v ? 1 : 0;
    return item;
}

// One set of a pattern starting after its '['; returns whether c is in it
// and moves *p past the closing ']'. False in *ok for a set without end.
bool MatchSet(const char*& p, const char* end, unsigned char c, bool* ok) {
    const char* q = p;
    bool negate = q < end && *q == '!';
    if (negate)
        ++q;
    const char* first = q;
    bool in = false;
    while (q < end && (*q != ']' || q == first)) {
        unsigned char lo = static_cast<unsigned char>(*q);
        if (q + 2 < end && q[1] == '-' && q[2] != ']' && lo < static_cast<unsigned char>(q[2])) {
            if (c >= lo && c <= static_cast<unsigned char>(q[2]))
                in = true;
            q += 3;
        } else {
            if (c == lo)
                in = true;
            ++q;
        }
    }
    if (q >= end) {
        *ok = false;
        return false;
    }
    *ok = true;
    p = q + 1;
    return in != negate;
}

} // namespace

// Greedy match with one backtrack point, the last star seen: a later star
// can absorb anything an earlier one could, so one point is enough.
bool LikeMatch(const char* text, size_t textLength, const char* pattern, size_t patternLength) {
    const char* t = text;
    const char* tEnd = text + textLength;
    const char* p = pattern;
    const char* pEnd = pattern + patternLength;
    const char* starP = nullptr;
    const char* starT = nullptr;
    while (t < tEnd) {
        if (p < pEnd && *p == '*') {
            while (p < pEnd && *p == '*')
                ++p;
            starP = p;
            starT = t;
            continue;
        }
        if (p < pEnd) {
            bool matched = false;
            const char* next = p + 1;
            if (*p == '?') {
                matched = true;
            } else if (*p == '[') {
                const char* q = p + 1;
                bool ok;
                bool in = MatchSet(q, pEnd, static_cast<unsigned char>(*t), &ok);
                if (ok) {
                    matched = in;
                    next = q;
                } else {
                    matched = *t == '['; // a set without end is a plain '['
                }
            } else {
                matched = *p == *t;
            }
            if (matched) {
                p = next;
                ++t;
                continue;
            }
        }
        if (starP == nullptr)
            return false;
        p = starP;
        t = ++starT;
    }
    while (p < pEnd && *p == '*')
        ++p;
    return p == pEnd;
}

CEvaluator::CEvaluator(CSQLParser& parser) {
    CPCodeMem& code = parser.PCode();
    CLinkLists& links = parser.Links();
    const CDatabaseStructure& db = parser.Database();
    m_code.resize(static_cast<size_t>(code.Count()));
    for (int32_t i = 0; i < code.Count(); ++i) {
        Instruction& ins = m_code[static_cast<size_t>(i)];
        ins.cmd = &code.Cmd(i);
        int32_t target = ins.cmd->shortCircuit;
        if (target >= 0 && target < code.Count())
            ins.shortOr = code.Cmd(target).opcode == opOr;
        if (ins.cmd->opcode != opPush)
            continue;
        const CFieldDef* field = db.FieldById(static_cast<uint32_t>(ins.cmd->value));
        const CTableDef* table = db.FindTableOfField(static_cast<uint32_t>(ins.cmd->value));
        CTableLink* link = links.FindLinkOf(table);
        if (field == nullptr || link == nullptr)
            continue; // never compiled; the instruction then fails at run time
        ins.link = link;
        ins.offset = field->offset;
        ins.fieldType = field->type;
        ins.strSize = field->strSize;
        if (uint64_t(field->offset) + StorageSizeOrZero(field->type, field->strSize) >
            link->BufferSize())
            ins.link = nullptr;
    }
    m_stack.reserve(25);
}

void CEvaluator::PushBool(bool value, bool absent) {
    CStackItem item = Bool(value);
    item.absent = absent;
    m_stack.push_back(std::move(item));
}

bool CEvaluator::PopInto(CStackItem* item) {
    if (m_stack.empty()) {
        m_state = peStackUnderflow;
        return false;
    }
    *item = std::move(m_stack.back());
    m_stack.pop_back();
    return true;
}

// A NULL operand (or a zero divisor) rejects the row: the run ends with
// a single false on the stack, which counts as success.
void CEvaluator::Stop() {
    m_stack.clear();
    PushBool(false);
    m_state = peStopExec;
}

void CEvaluator::PushField(const Instruction& ins) {
    if (ins.link == nullptr) {
        m_state = peCritical;
        return;
    }
    CStackItem item;
    item.type = ins.fieldType;
    const uint8_t* row = ins.link->CurrentRow();
    // A row without primary key is the all-NULL row of an outer join's
    // missing side: its columns are absent like those of an unread table.
    if (!ins.link->found || (row[0] & 0x80) == 0) {
        item.absent = true;
        item.isNull = true;
    }
    const uint8_t* s = row + ins.offset;
    if (!item.absent && (s[0] & 0x80) == 0)
        item.isNull = true;
    const uint8_t* v = s + 1;
    switch (ins.fieldType) {
    case kTypeBool:
        item.value = v[0];
        break;
    case kTypeByte:
        item.type = kTypeQWord;
        item.value = v[0];
        break;
    case kTypeWord:
        item.type = kTypeQWord;
        item.value = Load<uint16_t>(v);
        break;
    case kTypeDWord:
        item.type = kTypeQWord;
        item.value = Load<uint32_t>(v);
        break;
    case kTypeSmallInt:
        item.type = kTypeHugeInt;
        item.value = static_cast<uint64_t>(int64_t(Load<int16_t>(v)));
        break;
    case kTypeInteger:
        item.type = kTypeHugeInt;
        item.value = static_cast<uint64_t>(int64_t(Load<int32_t>(v)));
        break;
    case kTypeHugeInt:
    case kTypeQWord:
    case kTypeDateTime:
        item.value = Load<uint64_t>(v);
        break;
    case kTypeDouble:
        item.value = Load<uint64_t>(v);
        break;
    case kTypeFloat:
        item.type = kTypeDouble;
        item.value = std::bit_cast<uint64_t>(double(Load<float>(v)));
        break;
    case kTypeVarChar:
        if (!item.isNull) {
            size_t n = std::min<size_t>(s[2], ins.strSize);
            item.text.assign(reinterpret_cast<const char*>(s + 3), n);
        }
        break;
    default:
        break; // blob references: only their NULL flag is used
    }
    if (item.isNull && item.type != kTypeBool)
        item.value = 0;
    m_stack.push_back(std::move(item));
}

bool CEvaluator::Compare(uint8_t opcode, const CStackItem& a, const CStackItem& b, bool* result) {
    int c;
    if (a.type == kTypeBool && b.type == kTypeBool) {
        if (opcode != opEqual && opcode != opNotEqu)
            return false;
        c = (a.value != 0) == (b.value != 0) ? 0 : 1;
    } else if (a.type == kTypeVarChar && b.type == kTypeVarChar) {
        size_t n = std::min(a.text.size(), b.text.size());
        c = std::memcmp(a.text.data(), b.text.data(), n);
        c = c < 0 ? -1 : c > 0 ? 1 : 0;
        if (c == 0)
            c = a.text.size() < b.text.size() ? -1 : a.text.size() > b.text.size() ? 1 : 0;
    } else if (a.type == kTypeDateTime && b.type == kTypeDateTime) {
        // Day number in the high word: unsigned order is date order.
        c = a.value < b.value ? -1 : a.value > b.value ? 1 : 0;
    } else if (IsInt(a) && IsInt(b)) {
        c = Signed(a) < Signed(b) ? -1 : Signed(a) > Signed(b) ? 1 : 0;
    } else if ((IsInt(a) || a.type == kTypeDouble) && (IsInt(b) || b.type == kTypeDouble)) {
        double x = AsDouble(a), y = AsDouble(b);
        c = x < y ? -1 : x > y ? 1 : 0;
        if (x != x || y != y) // NaN is equal to nothing and ordered against nothing
            c = 2;
    } else {
        return false;
    }
    switch (opcode) {
    case opEqual:
        *result = c == 0;
        break;
    case opNotEqu:
        *result = c != 0;
        break;
    case opLower:
        *result = c == -1;
        break;
    case opGreater:
        *result = c == 1;
        break;
    case opLowEqu:
        *result = c == -1 || c == 0;
        break;
    case opGrtEqu:
        *result = c == 1 || c == 0;
        break;
    default:
        return false;
    }
    return true;
}

bool CEvaluator::Arithmetic(uint8_t opcode, const CStackItem& a, const CStackItem& b,
                            CStackItem* out) {
    out->isNull = out->absent = false;
    if (a.type == kTypeDateTime || b.type == kTypeDateTime) {
        bool dateLeft = a.type == kTypeDateTime;
        const CStackItem& date = dateLeft ? a : b;
        const CStackItem& n = dateLeft ? b : a;
        if (!IsInt(n) || (opcode != opAdd && !(opcode == opSub && dateLeft)))
            return false;
        int64_t day = static_cast<int64_t>(date.value >> 32);
        int64_t delta = Signed(n);
        // Clamped both ways so that no count of days leaves the calendar.
        int64_t result;
        if (opcode == opAdd)
            result =
                delta > kLastDay ? kLastDay + 1 : day + (delta < -kLastDay ? -kLastDay : delta);
        else
            result = delta < -kLastDay ? kLastDay + 1 : day - (delta > kLastDay ? kLastDay : delta);
        result = result > kLastDay ? kLastDay : result < 1 ? 1 : result;
        out->type = kTypeDateTime;
        out->value = (static_cast<uint64_t>(result) << 32) | (date.value & 0xFFFFFFFFu);
        return true;
    }
    bool aNum = IsInt(a) || a.type == kTypeDouble;
    bool bNum = IsInt(b) || b.type == kTypeDouble;
    if (!aNum || !bNum)
        return false;
    if (a.type == kTypeDouble || b.type == kTypeDouble) {
        double x = AsDouble(a), y = AsDouble(b), r;
        switch (opcode) {
        case opAdd:
            r = x + y;
            break;
        case opSub:
            r = x - y;
            break;
        case opMul:
            r = x * y;
            break;
        default:
            if (y == 0.0) {
                Stop();
                return true;
            }
            r = x / y;
            break;
        }
        out->type = kTypeDouble;
        out->value = std::bit_cast<uint64_t>(r);
        return true;
    }
    bool bothUnsigned = a.type == kTypeQWord && b.type == kTypeQWord;
    uint64_t x = a.value, y = b.value, r;
    out->type = bothUnsigned ? kTypeQWord : kTypeHugeInt;
    switch (opcode) {
    case opAdd:
        r = x + y;
        break;
    case opSub:
        r = x - y;
        if (bothUnsigned && Signed(a) < Signed(b))
            out->type = kTypeHugeInt;
        break;
    case opMul:
        r = x * y;
        break;
    default:
        if (y == 0) {
            Stop();
            return true;
        }
        // The one quotient that does not fit wraps like the others.
        if (Signed(a) == INT64_MIN && Signed(b) == -1)
            r = x;
        else
            r = static_cast<uint64_t>(Signed(a) / Signed(b));
        break;
    }
    out->value = r;
    return true;
}

void CEvaluator::Unary(uint8_t opcode) {
    CStackItem a;
    if (!PopInto(&a))
        return;
    if (a.absent)
        return PushBool(true, true);
    if (opcode == opIsNull || opcode == opNotNull)
        return PushBool(opcode == opIsNull ? a.isNull : !a.isNull);
    if (a.isNull)
        return Stop();
    CStackItem r;
    switch (opcode) {
    case opNeg:
        if (IsInt(a)) {
            r.type = kTypeHugeInt;
            r.value = 0 - a.value;
        } else if (a.type == kTypeDouble) {
            r.type = kTypeDouble;
            r.value = std::bit_cast<uint64_t>(-std::bit_cast<double>(a.value));
        } else {
            m_state = peCritical;
            return;
        }
        break;
    case opNot:
        if (a.type != kTypeBool) {
            m_state = peCritical;
            return;
        }
        r = Bool(a.value == 0);
        break;
    case opUpper:
        if (a.type != kTypeVarChar) {
            m_state = peCritical;
            return;
        }
        r.type = kTypeVarChar;
        r.text = std::move(a.text);
        for (char& ch : r.text)
            ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        break;
    default: {
        if (a.type != kTypeDateTime) {
            m_state = peCritical;
            return;
        }
        TGenericDateTime g =
            NativeToGeneric({static_cast<uint32_t>(a.value), static_cast<uint32_t>(a.value >> 32)});
        const uint32_t parts[] = {g.year,   g.month,  g.day,        g.hour,
                                  g.minute, g.second, g.millisecond};
        r.type = kTypeQWord;
        r.value = parts[opcode - opExYear];
        break;
    }
    }
    m_stack.push_back(std::move(r));
}

void CEvaluator::Binary(uint8_t opcode) {
    CStackItem b, a;
    if (!PopInto(&b) || !PopInto(&a))
        return;
    if (opcode == opOr || opcode == opAnd) {
        if (a.type != kTypeBool || b.type != kTypeBool) {
            m_state = peCritical;
            return;
        }
        if ((a.isNull && !a.absent) || (b.isNull && !b.absent))
            return Stop();
        bool x = a.value != 0, y = b.value != 0;
        if (opcode == opOr)
            return PushBool(a.absent || b.absent || x || y);
        return PushBool((a.absent || x) && (b.absent || y));
    }
    if (a.absent || b.absent)
        return PushBool(true, true);
    if (a.isNull || b.isNull)
        return Stop();
    CStackItem r;
    switch (opcode) {
    case opEqual:
    case opNotEqu:
    case opLower:
    case opGreater:
    case opLowEqu:
    case opGrtEqu: {
        bool result;
        if (!Compare(opcode, a, b, &result)) {
            m_state = peCritical;
            return;
        }
        return PushBool(result);
    }
    case opAdd:
    case opSub:
    case opMul:
    case opDiv:
        if (!Arithmetic(opcode, a, b, &r)) {
            m_state = peCritical;
            return;
        }
        if (m_state == peStopExec)
            return;
        break;
    case opConcat:
        if (a.type != kTypeVarChar || b.type != kTypeVarChar) {
            m_state = peCritical;
            return;
        }
        r.type = kTypeVarChar;
        r.text = std::move(a.text);
        r.text += b.text;
        break;
    case opLike:
    case opNotLike: {
        if (a.type != kTypeVarChar || b.type != kTypeVarChar) {
            m_state = peCritical;
            return;
        }
        bool m = LikeMatch(a.text.data(), a.text.size(), b.text.data(), b.text.size());
        return PushBool(opcode == opLike ? m : !m);
    }
    default:
        m_state = peCritical;
        return;
    }
    m_stack.push_back(std::move(r));
}

void CEvaluator::Between() {
    if (m_stack.size() < 4) {
        m_state = peCritical;
        return;
    }
    CStackItem mode, high, low, x;
    PopInto(&mode);
    PopInto(&high);
    PopInto(&low);
    PopInto(&x);
    if (mode.absent || high.absent || low.absent || x.absent)
        return PushBool(true, true);
    if (mode.isNull || high.isNull || low.isNull || x.isNull)
        return Stop();
    bool lower, upper;
    if (mode.type != kTypeQWord ||
        !Compare((mode.value & 2) ? opGreater : opGrtEqu, x, low, &lower) ||
        !Compare((mode.value & 4) ? opLower : opLowEqu, x, high, &upper)) {
        m_state = peCritical;
        return;
    }
    bool inside = lower && upper;
    PushBool((mode.value & 1) ? !inside : inside);
}

void CEvaluator::In() {
    CStackItem count;
    if (!PopInto(&count))
        return;
    if (count.type != kTypeQWord || count.isNull || count.value >= m_stack.size()) {
        m_state = peCritical;
        return;
    }
    size_t entries = static_cast<size_t>(count.value);
    size_t base = m_stack.size() - entries; // first item; the operand is below it
    const CStackItem& x = m_stack[base - 1];
    bool absent = x.absent;
    if (!absent && x.isNull)
        return Stop();
    bool match = false;
    size_t top = m_stack.size();
    while (!absent && !match && top > base) {
        const CStackItem& marker = m_stack[top - 1];
        if (marker.type != kTypeQWord) {
            m_state = peCritical;
            return;
        }
        bool single = marker.value == 1;
        size_t need = single ? 1 : 2;
        if (top - 1 - base < need) {
            m_state = peCritical;
            return;
        }
        bool r1, r2 = true;
        const CStackItem& v1 = m_stack[top - 2];
        bool ok =
            single ? Compare(opEqual, x, v1, &r1)
                   : Compare(opLowEqu, x, v1, &r1) && Compare(opGrtEqu, x, m_stack[top - 3], &r2);
        if (!ok) {
            m_state = peCritical;
            return;
        }
        match = r1 && r2;
        top -= need + 1;
    }
    m_stack.resize(base - 1);
    PushBool(absent || match, absent);
}

void CEvaluator::Execute(const Instruction& ins) {
    const CPCodeCmd& cmd = *ins.cmd;
    switch (cmd.opcode) {
    case opPush:
        return PushField(ins);
    case opPushC: {
        CStackItem item;
        item.type = cmd.type;
        item.value = cmd.value;
        if (cmd.type == kTypeVarChar)
            item.text = cmd.text;
        m_stack.push_back(std::move(item));
        return;
    }
    case opNeg:
    case opNot:
    case opExYear:
    case opExMonth:
    case opExDay:
    case opExHour:
    case opExMin:
    case opExSec:
    case opExMsec:
    case opUpper:
    case opNotNull:
    case opIsNull:
        return Unary(cmd.opcode);
    case opBetween:
        return Between();
    case opIn:
        return In();
    case opOr:
    case opAnd:
    case opEqual:
    case opLower:
    case opGreater:
    case opLowEqu:
    case opGrtEqu:
    case opNotEqu:
    case opAdd:
    case opSub:
    case opMul:
    case opDiv:
    case opConcat:
    case opNotLike:
    case opLike:
        return Binary(cmd.opcode);
    default:
        m_state = peCritical;
        return;
    }
}

bool CEvaluator::Evaluate(uint8_t* state) {
    if (m_code.empty()) {
        *state = peNoErr;
        return true;
    }
    m_stack.clear();
    m_state = peNoErr;
    size_t pc = 0;
    const size_t n = m_code.size();
    while (pc < n && m_state == peNoErr) {
        const Instruction& ins = m_code[pc];
        Execute(ins);
        if (m_state != peNoErr)
            break;
        int32_t target = ins.cmd->shortCircuit;
        if (target < 0) {
            ++pc;
            continue;
        }
        if (m_stack.empty() || m_stack.back().type != kTypeBool) {
            m_state = peCritical;
            break;
        }
        const CStackItem& top = m_stack.back();
        bool decided = !top.isNull && !top.absent && (top.value != 0) == ins.shortOr;
        if (decided && static_cast<size_t>(target) > pc && static_cast<size_t>(target) < n) {
            CStackItem copy = top;
            m_stack.push_back(std::move(copy));
            pc = static_cast<size_t>(target);
        } else {
            ++pc;
        }
    }
    if (m_state == peStopExec)
        m_state = peNoErr;
    bool result = false;
    if (m_state == peNoErr && m_stack.size() != 1)
        m_state = peStackError;
    if (m_state == peNoErr) {
        m_last = m_stack.back();
        if (m_last.type != kTypeBool)
            m_state = peCritical;
        else
            result = m_last.absent || (!m_last.isNull && m_last.value != 0);
    }
    m_stack.clear();
    *state = m_state;
    if (EngineDiagnostics())
        WriteEngineDiagnostics(ResultText());
    return m_state == peNoErr && result;
}

std::string CEvaluator::ResultText() const {
    const std::string& rule = DiagRule();
    std::string out = rule + "Result\n" + rule;
    out += Format("%-12s", EngineTypeName(m_last.type));
    if (FormatDumpValue(m_last.type, m_last.value, m_last.text, &out))
        return out + rule;
    switch (m_last.type) {
    case kTypeHugeInt:
        out += Format("%s\n", std::to_string(static_cast<int64_t>(m_last.value)).c_str());
        break;
    case kTypeQWord:
        out += Format("%s\n", std::to_string(m_last.value).c_str());
        break;
    default:
        out += "\n";
        break;
    }
    return out + rule;
}

} // namespace kdm::sql
