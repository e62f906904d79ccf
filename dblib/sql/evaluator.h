// The p-code evaluator: a stack machine that runs a compiled WHERE
// condition on the current rows of the query's tables. A NULL operand ends
// the run with a false result; a column of a table without a current row
// (the missing side of an outer join, or a table the walk has not reached)
// is absent and makes the condition it takes part in count as satisfied.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sql/link_lists.h"
#include "sql/pcode.h"
#include "sql/sql_tokens.h"

namespace kdm::sql {

class CSQLParser;

// Glob match of the whole text: * ? [set] [!set] with ranges; case-sensitive.
bool LikeMatch(const char* text, size_t textLength, const char* pattern, size_t patternLength);

class CEvaluator {
public:
    // The parser must have compiled its statement and outlive the evaluator.
    explicit CEvaluator(CSQLParser& parser);
    CEvaluator(const CEvaluator&) = delete;
    CEvaluator& operator=(const CEvaluator&) = delete;

    // The truth value for the current rows; *state is 33 on success (also
    // when a NULL operand or a zero divisor rejected the row), else the error.
    bool Evaluate(uint8_t* state);
    const CStackItem& LastResult() const { return m_last; }
    bool HasCode() const { return !m_code.empty(); }

    std::string ResultText() const;

private:
    struct Instruction {
        const CPCodeCmd* cmd;
        CTableLink* link = nullptr; // PUSH: the table that holds the field
        uint32_t offset = 0;
        uint32_t fieldType = 0;
        uint32_t strSize = 0;
        bool shortOr = false; // the short-circuit target is an OR
    };

    void Execute(const Instruction& ins);
    void PushField(const Instruction& ins);
    void Unary(uint8_t opcode);
    void Binary(uint8_t opcode);
    void Between();
    void In();
    bool Compare(uint8_t opcode, const CStackItem& a, const CStackItem& b, bool* result);
    bool Arithmetic(uint8_t opcode, const CStackItem& a, const CStackItem& b, CStackItem* out);
    void Stop();
    void PushBool(bool value, bool absent = false);
    bool PopInto(CStackItem* item);

    std::vector<Instruction> m_code;
    std::vector<CStackItem> m_stack;
    CStackItem m_last;
    uint8_t m_state = peNoErr;
};

} // namespace kdm::sql
