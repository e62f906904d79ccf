// The SQL scanner: tokens for the parser, lexical errors as a state value
// with the position of the offending token, and as a side effect the
// statement cut into its clauses for the session layer's rewriting.
#pragma once

#include <cstdint>
#include <string>

#include "sql/sql_syntax.h"
#include "sql/sql_tokens.h"

namespace kdm::sql {

inline constexpr size_t kTokenTextCapacity = 256;
inline constexpr size_t kMaxIdentLength = 32;
inline constexpr size_t kMaxStringLength = 255;
inline constexpr size_t kMaxNumberDigits = 255;

struct TSQLToken {
    uint8_t code = tkEnd;
    char text[kTokenTextCapacity + 1] = {}; // identifiers upper-cased; string contents
    int64_t intValue = 0;                   // INTNUMB
    double floatValue = 0;                  // FLTNUMB
};

class CSQLScanner {
public:
    explicit CSQLScanner(const CSQLSyntax& syntax) : m_syntax(syntax) {}
    CSQLScanner(const CSQLScanner&) = delete;
    CSQLScanner& operator=(const CSQLScanner&) = delete;

    // Copies the text (up to its NUL) and resets the scanner; null forgets
    // the previous statement.
    void SetSource(const char* text);
    // The next token, or code 0 at the end of the text or after an error.
    void NextToken(TSQLToken* token);
    // State (33 while all is well) and the position of the current token.
    void GetState(uint8_t* state, uint32_t* position) const;
    uint8_t State() const { return m_state; }
    uint32_t TokenPosition() const { return m_tokenStart; }

    const std::string& Source() const { return m_source; }
    bool HasSource() const { return m_hasSource; }
    const std::string& SelectClause() const { return m_clauses[kSelect]; }
    const std::string& FromClause() const { return m_clauses[kFrom]; }
    const std::string& WhereClause() const { return m_clauses[kWhere]; }
    const std::string& WithClause() const { return m_clauses[kWith]; }
    const std::string& OrderClause() const { return m_clauses[kOrder]; }

private:
    enum Clause { kSelect, kFrom, kWhere, kWith, kOrder, kClauseCount };

    void ReadChar();
    void PushBack();
    void ScanIdentifier(TSQLToken* token);
    void ScanNumber(TSQLToken* token);
    void ScanOperator(TSQLToken* token);
    void ScanString(TSQLToken* token);
    void CaptureClause(uint8_t keyword);
    uint8_t NumberAction(uint8_t action, TSQLToken* token);

    const CSQLSyntax& m_syntax;
    std::string m_source;
    bool m_hasSource = false;
    std::string m_clauses[kClauseCount];
    Clause m_receiver = kSelect;
    size_t m_cursor = 0;
    uint32_t m_tokenStart = 0;
    uint8_t m_state = peNoErr;
    bool m_pending = false;
    unsigned char m_pushed = ' ';
    uint32_t m_pushedPos = 0;
    unsigned char m_current = ' ';
    uint32_t m_currentPos = 0;
    std::string m_digits;
};

// Reads a string constant as a KDMDATETIME value (low word milliseconds of
// the day, high word day number): 33 and the value, 11 "DaTiSyntax" for a
// malformed text, 12 "DaTiVal" for impossible values.
uint8_t ParseDateTimeLiteral(const CSQLSyntax& syntax, const char* text, uint64_t* value);

// The compile-state report of one statement, as the diagnostic file shows it.
std::string CompileStateText(const std::string& source, uint8_t error, uint32_t position,
                             uint8_t expected);

} // namespace kdm::sql
