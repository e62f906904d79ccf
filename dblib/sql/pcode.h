// P-code of a compiled WHERE condition: instructions in postfix order,
// type-checked against a stack of value types while they are emitted.
#pragma once

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "sql/dyn_arr.h"
#include "sql/sql_syntax.h"

namespace kdm::sql {

class CDatabaseStructure;

enum Opcode : uint8_t {
    opPush = 1,
    opPushC = 2,
    opNeg = 3,
    opNot = 4,
    opExYear = 5,
    opExMonth = 6,
    opExDay = 7,
    opExHour = 8,
    opExMin = 9,
    opExSec = 10,
    opExMsec = 11,
    opUpper = 12,
    opNotNull = 13,
    opIsNull = 14,
    opOr = 15,
    opAnd = 16,
    opEqual = 17,
    opLower = 18,
    opGreater = 19,
    opLowEqu = 20,
    opGrtEqu = 21,
    opNotEqu = 22,
    opAdd = 23,
    opSub = 24,
    opMul = 25,
    opDiv = 26,
    opConcat = 27,
    opNotLike = 28,
    opLike = 29,
    opBetween = 30,
    opIn = 31,
    opDate = 73,
    opTime = 74,
};

// "PUSH" ... "TIME"; "*** Invalid OpCode ***" for any other code.
const char* OpcodeName(uint8_t opcode);

struct CPCodeCmd {
    uint8_t opcode = 0;
    uint32_t type = 0;         // PUSH: the field's type; PUSHC: the constant's
    int32_t shortCircuit = -1; // the AND or OR that takes this result as left operand
    int32_t index = 0;
    std::string text;   // KDMVARCHAR constants
    uint64_t value = 0; // PUSH: field id; PUSHC: the constant (DOUBLE as its bits)

    double DoubleValue() const { return std::bit_cast<double>(value); }
};

// One value on the stack. While compiling only the type and the producing
// instruction are used; the evaluator fills the rest.
struct CStackItem {
    uint32_t type = 0;
    bool isNull = false;
    bool absent = false;
    int32_t instruction = -1;
    std::string text;
    uint64_t value = 0;
};

class CStackMem {
public:
    CStackMem() { m_items.reserve(25); }
    int32_t Depth() const { return static_cast<int32_t>(m_items.size()); }
    bool Empty() const { return m_items.empty(); }
    void Push(CStackItem item);
    // False on an empty stack.
    bool Pop(CStackItem* item);
    CStackItem& FromTop(int32_t n) { return m_items[m_items.size() - 1 - static_cast<size_t>(n)]; }
    void Clear() { m_items.clear(); }

    // The open ends of the BETWEEN range being compiled.
    bool lowerOpen = false;
    bool upperOpen = false;

private:
    std::vector<CStackItem> m_items;
};

class CPCodeMem {
public:
    explicit CPCodeMem(const CSQLSyntax& syntax) : m_syntax(syntax), m_code(25, 10) {}
    CPCodeMem(const CPCodeMem&) = delete;
    CPCodeMem& operator=(const CPCodeMem&) = delete;

    int32_t Count() const { return m_code.Count(); }
    const CPCodeCmd& Cmd(int32_t index) const { return m_code[index]; }
    CStackMem& Stack() { return m_stack; }
    const CStackMem& Stack() const { return m_stack; }

    // Type-checks the instruction against the stack and appends it: 33, or
    // the error that rejects it (the instruction is then not appended).
    uint8_t Emit(uint8_t opcode, uint32_t type = 0, uint64_t value = 0, const char* text = nullptr);
    uint8_t EmitDouble(double value) { return Emit(opPushC, 10, std::bit_cast<uint64_t>(value)); }

    std::string ListingText(const CDatabaseStructure& db) const;

private:
    uint8_t Check(uint8_t opcode, uint32_t type, uint32_t* result);
    uint8_t ToDateTime(CStackItem& item);
    uint8_t Comparable(CStackItem& a, CStackItem& b, bool allowBool);
    bool ConstantValue(const CStackItem& item, uint64_t* value) const;

    const CSQLSyntax& m_syntax;
    CDynArr<CPCodeCmd> m_code;
    CStackMem m_stack;
};

// The value part of a dump line for BOOL, DOUBLE, KDMVARCHAR and
// KDMDATETIME, newline included; false for the other types, whose form
// differs between the dumps.
bool FormatDumpValue(uint8_t type, uint64_t value, const std::string& text, std::string* out);

} // namespace kdm::sql
