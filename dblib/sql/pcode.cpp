#include "sql/pcode.h"

#include <cinttypes>

#include "frame/datetime.h"
#include "frame/exceptions.h"
#include "sql/database_structure.h"
#include "sql/schema.h"
#include "sql/sql_diag.h"
#include "sql/sql_scanner.h"
#include "sql/sql_tokens.h"

namespace kdm::sql {

namespace {

constexpr const char* kOpcodeNames[] = {
    nullptr,  "PUSH",  "PUSHC", "NEG",     "NOT",     "EXYEAR",  "EXMONTH", "EXDAY",
    "EXHOUR", "EXMIN", "EXSEC", "EXMSEC",  "UPPER",   "NOTNULL", "ISNULL",  "OR",
    "AND",    "EQUAL", "LOWER", "GREATER", "LOWEQU",  "GRTEQU",  "NOTEQU",  "ADD",
    "SUB",    "MUL",   "DIV",   "CONCT",   "NOTLIKE", "LIKE",    "BETWEEN", "IN",
};

bool IsBool(const CStackItem& i) {
    return i.type == kTypeBool;
}
bool IsText(const CStackItem& i) {
    return i.type == kTypeVarChar;
}
bool IsDate(const CStackItem& i) {
    return i.type == kTypeDateTime;
}
bool IsNumber(const CStackItem& i) {
    return IsNumericType(i.type);
}
bool IsInteger(const CStackItem& i) {
    return IsIntegerType(i.type);
}

} // namespace

const char* OpcodeName(uint8_t opcode) {
    if (opcode == opDate)
        return "DATE";
    if (opcode == opTime)
        return "TIME";
    if (opcode >= 1 && opcode <= opIn)
        return kOpcodeNames[opcode];
    return "*** Invalid OpCode ***";
}

void CStackMem::Push(CStackItem item) {
    m_items.push_back(std::move(item));
}

bool CStackMem::Pop(CStackItem* item) {
    if (m_items.empty())
        return false;
    *item = std::move(m_items.back());
    m_items.pop_back();
    return true;
}

// A text constant becomes a date/time constant where a date/time is
// needed; its instruction is rewritten in place.
uint8_t CPCodeMem::ToDateTime(CStackItem& item) {
    if (IsDate(item))
        return peNoErr;
    if (!IsText(item) || item.instruction < 0 || item.instruction >= m_code.Count())
        return peIncompTypes;
    CPCodeCmd& cmd = m_code[item.instruction];
    if (cmd.opcode != opPushC || cmd.type != kTypeVarChar)
        return peIncompTypes;
    uint64_t value;
    uint8_t result = ParseDateTimeLiteral(m_syntax, cmd.text.c_str(), &value);
    if (result != peNoErr)
        return result;
    cmd.type = kTypeDateTime;
    cmd.value = value;
    cmd.text.clear();
    item.type = kTypeDateTime;
    return peNoErr;
}

uint8_t CPCodeMem::Comparable(CStackItem& a, CStackItem& b, bool allowBool) {
    if (IsBool(a) && IsBool(b))
        return allowBool ? peNoErr : peIncompTypes;
    if ((IsText(a) && IsText(b)) || (IsDate(a) && IsDate(b)) || (IsNumber(a) && IsNumber(b)))
        return peNoErr;
    if (IsDate(a) && IsText(b))
        return ToDateTime(b);
    if (IsText(a) && IsDate(b))
        return ToDateTime(a);
    return peIncompTypes;
}

// The value of a constant that the compiler itself pushed (markers, counts, modes).
bool CPCodeMem::ConstantValue(const CStackItem& item, uint64_t* value) const {
    if (item.type != kTypeQWord || item.instruction < 0 || item.instruction >= m_code.Count())
        return false;
    const CPCodeCmd& cmd = m_code[item.instruction];
    if (cmd.opcode != opPushC)
        return false;
    *value = cmd.value;
    return true;
}

uint8_t CPCodeMem::Check(uint8_t opcode, uint32_t type, uint32_t* result) {
    CStackItem a, b;
    switch (opcode) {
    case opPush:
    case opPushC:
        *result = type;
        return peNoErr;

    case opNeg:
    case opNot:
    case opUpper:
    case opNotNull:
    case opIsNull:
    case opExYear:
    case opExMonth:
    case opExDay:
    case opExHour:
    case opExMin:
    case opExSec:
    case opExMsec:
        if (!m_stack.Pop(&a))
            return peStackUnderflow;
        switch (opcode) {
        case opNeg:
            *result = a.type;
            return IsNumber(a) ? peNoErr : peIncompTypes;
        case opNot:
            *result = kTypeBool;
            return IsBool(a) ? peNoErr : peIncompTypes;
        case opUpper:
            *result = kTypeVarChar;
            return IsText(a) ? peNoErr : peIncompTypes;
        case opNotNull:
        case opIsNull:
            *result = kTypeBool;
            return peNoErr;
        default:
            *result = kTypeQWord;
            return ToDateTime(a);
        }

    case opDate:
    case opTime:
        // No type rule: the two pops of the check always fail.
        if (!m_stack.Pop(&a) || !m_stack.Pop(&b))
            return peStackUnderflow;
        return peCritical;

    case opBetween: {
        CStackItem mode, high, low, operand;
        if (!m_stack.Pop(&mode))
            return peStackUnderflow;
        if (mode.type != kTypeQWord || m_stack.Depth() < 3)
            return peCritical;
        m_stack.Pop(&high);
        m_stack.Pop(&low);
        m_stack.Pop(&operand);
        uint8_t r = Comparable(operand, high, false);
        if (r == peNoErr)
            r = Comparable(operand, low, false);
        *result = kTypeBool;
        return r;
    }

    case opIn: {
        CStackItem count;
        uint64_t entries;
        if (!m_stack.Pop(&count))
            return peStackUnderflow;
        if (!ConstantValue(count, &entries) || entries >= uint64_t(m_stack.Depth()))
            return peCritical;
        CStackItem operand = m_stack.FromTop(static_cast<int32_t>(entries));
        uint64_t used = 0;
        while (used < entries) {
            CStackItem marker;
            uint64_t kind;
            m_stack.Pop(&marker);
            ++used;
            if (!ConstantValue(marker, &kind) || (kind != 1 && kind != 2) || used + kind > entries)
                return peCritical;
            for (uint64_t v = 0; v < kind; ++v) {
                CStackItem item;
                m_stack.Pop(&item);
                ++used;
                uint8_t r = Comparable(operand, item, true);
                if (r != peNoErr)
                    return r;
            }
        }
        m_stack.Pop(&operand);
        *result = kTypeBool;
        return peNoErr;
    }

    default:
        break;
    }

    // Binary operators: b is the right operand, a the left one.
    if (!m_stack.Pop(&b) || !m_stack.Pop(&a))
        return peStackUnderflow;
    switch (opcode) {
    case opOr:
    case opAnd:
        *result = kTypeBool;
        if (!IsBool(a) || !IsBool(b))
            return peIncompTypes;
        if (a.instruction < 0 || a.instruction >= m_code.Count())
            return peCritical;
        m_code[a.instruction].shortCircuit = m_code.Count();
        return peNoErr;
    case opEqual:
    case opNotEqu:
    case opLower:
    case opGreater:
    case opLowEqu:
    case opGrtEqu:
        *result = kTypeBool;
        return Comparable(a, b, opcode == opEqual || opcode == opNotEqu);
    case opAdd:
    case opSub:
    case opMul:
    case opDiv:
        if (IsNumber(a) && IsNumber(b)) {
            *result = IsInteger(a) && IsInteger(b) ? kTypeQWord : kTypeDouble;
            return peNoErr;
        }
        *result = kTypeDateTime;
        if ((opcode == opAdd || opcode == opSub) && (IsDate(a) || IsText(a)) && IsInteger(b))
            return ToDateTime(a);
        if (opcode == opAdd && IsInteger(a) && (IsDate(b) || IsText(b)))
            return ToDateTime(b);
        return peIncompTypes;
    case opConcat:
        *result = kTypeVarChar;
        return IsText(a) && IsText(b) ? peNoErr : peIncompTypes;
    case opLike:
    case opNotLike:
        *result = kTypeBool;
        return IsText(a) && IsText(b) ? peNoErr : peIncompTypes;
    default:
        return peCritical;
    }
}

uint8_t CPCodeMem::Emit(uint8_t opcode, uint32_t type, uint64_t value, const char* text) {
    uint32_t result = 0;
    uint8_t error = Check(opcode, type, &result);
    if (error != peNoErr)
        return error;
    CPCodeCmd& cmd = m_code.Emplace();
    cmd.opcode = opcode;
    cmd.type = opcode == opPush || opcode == opPushC ? type : result;
    cmd.index = m_code.Count() - 1;
    cmd.value = value;
    if (text != nullptr)
        cmd.text = text;
    CStackItem item;
    item.type = result;
    item.instruction = cmd.index;
    m_stack.Push(std::move(item));
    return peNoErr;
}

std::string CPCodeMem::ListingText(const CDatabaseStructure& db) const {
    const std::string& rule = DiagRule();
    std::string out = rule + "Listing\n" + rule;
    out += "PC     Short  OpCode  Type        Value/ID  TableName        FieldName\n";
    out += "==     =====  ======  ====        ========  =========        =========\n\n";
    for (int32_t i = 0; i < m_code.Count(); ++i) {
        const CPCodeCmd& c = m_code[i];
        out += Format("%06u ", static_cast<unsigned>(c.index));
        if (c.shortCircuit >= 0)
            out += Format("%06lu ", static_cast<unsigned long>(c.shortCircuit));
        else
            out += "       ";
        const char* typeName = EngineTypeName(c.type);
        if (c.opcode == opPush) {
            std::string table, field;
            db.FindFieldById(static_cast<uint32_t>(c.value), &table, &field);
            out += Format("PUSH    %-12s[%06u]  ", typeName, static_cast<unsigned>(c.value));
            out += Format("%-17s%-17s\n", table.c_str(), field.c_str());
        } else if (c.opcode == opPushC) {
            out += Format("PUSHC   %-12s", typeName);
            if (!FormatDumpValue(c.type, c.value, c.text, &out))
                out += Format("%" PRIu64 "\n", c.value);
        } else {
            out += Format("%s\n", OpcodeName(c.opcode));
        }
    }
    out += rule + "End Listing\n" + rule;
    return out;
}

bool FormatDumpValue(uint8_t type, uint64_t value, const std::string& text, std::string* out) {
    switch (type) {
    case kTypeBool:
        *out += value != 0 ? "TRUE\n" : "FALSE\n";
        return true;
    case kTypeDouble:
        *out += Format("%E\n", std::bit_cast<double>(value));
        return true;
    case kTypeVarChar:
        *out += text + "\n";
        return true;
    case kTypeDateTime: {
        const TNativeDateTime native{static_cast<uint32_t>(value),
                                     static_cast<uint32_t>(value >> 32)};
        char when[32];
        FormatDateTimeText(when, sizeof when, NativeToGeneric(native));
        *out += Format("%u:%u(%s)\n", native.day, native.ms, when);
        return true;
    }
    default:
        return false;
    }
}

} // namespace kdm::sql
