#include "sql/sql_tokens.h"

#include <cstdio>
#include <cstring>

#include "frame/exceptions.h"

namespace kdm::sql {

namespace {

constexpr const char* kKeywords[kKeywordCount] = {
    "SELECT",     "FROM",       "WHERE",       "INNER",        "JOIN",       "AND",
    "OR",         "COUNT",      "MIN",         "MAX",          "AVG",        "ORDER",
    "BY",         "ASC",        "DESC",        "TRUE",         "FALSE",      "NOT",
    "DATE",       "TIME",       "EXTRACTYEAR", "EXTRACTMONTH", "EXTRACTDAY", "EXTRACTHOUR",
    "EXTRACTMIN", "EXTRACTSEC", "EXTRACTMSEC", "UPPER",        "IS",         "NULL",
    "LIKE",       "ON",         "LEFT",        "RIGHT",        "OUTER",      "WITH",
    "IN",         "TO",         "BETWEEN",     "NOTOPT",
};

// Printed names of the codes after the keywords, from 41 on.
constexpr const char* kOtherTokens[] = {
    "=",       "<",     ">",      "+",     "-",   "*",     "/",     "<=",     ">=",    "<>",
    "||",      "(",     ")",      ",",     ".",   "[",     "]",     "IDENT",  "STR",   "INTNUMB",
    "FLTNUMB", "DIGIT", "HEXDIG", "EXPON", "HEX", "SPACE", "COLON", "STREND", "EMPTY",
};

constexpr const char* kErrorNames[] = {
    "Critical",     "StackUndrflw", "StackError",  "Str",           "IdentLen",
    "UnknownChar",  "NumSyntax",    "NumOverflow", "InvalidCmdEnd", "InvalRsltType",
    "IncompTypes",  "DaTiSyntax",   "DaTiVal",     "InvalidField",  "InvalSelField",
    "UnknownTable", "JoinErr1",     "JoinErr2",    "MissPrimKey",   "DuplicJoin",
    "InvalJoin",    "WrongOuter",   "OuterJoin",   "InvalBookmark", "Bookm2Big",
    "Syntax",       "NoIndex",      "MissOperand", "InvalCurHan",   "NotExecAble",
    "WrongBlobRef", "MissWhere",    "StopExec",    "NoErr",         "EofSource",
};

static_assert(sizeof kOtherTokens / sizeof kOtherTokens[0] == tkEmpty - tkEqual + 1);
static_assert(sizeof kErrorNames / sizeof kErrorNames[0] == peEofSource + 1);

} // namespace

const char* KeywordText(uint8_t code) {
    if (code < 1 || code > kKeywordCount)
        return "";
    return kKeywords[code - 1];
}

uint8_t KeywordCode(const char* upperWord) {
    for (uint8_t i = 0; i < kKeywordCount; ++i)
        if (std::strcmp(kKeywords[i], upperWord) == 0)
            return static_cast<uint8_t>(i + 1);
    return 0;
}

const char* TokenName(uint8_t code) {
    if (code == tkEnd)
        return "NULL";
    if (code <= kKeywordCount)
        return kKeywords[code - 1];
    if (code <= tkEmpty)
        return kOtherTokens[code - tkEqual];
    return "???";
}

const char* ErrorName(uint8_t code) {
    if (code > peEofSource)
        return "Unknown";
    return kErrorNames[code];
}

std::string ErrorMessage(uint8_t code, uint8_t expected, uint32_t position) {
    return Format("Error: class=%s, type=%s, parameters=%s(Expected Token), %u(Position)",
                  kErrorClass, ErrorName(code), TokenName(expected), position);
}

void SetErrorReport(TSQLErrorReport* report, uint8_t code, uint8_t expected, uint32_t position) {
    report->code = code;
    report->zero = 0;
    report->message[0] = '\0';
    if (code == peNoErr) {
        report->expected = 0;
        report->position = 0;
        return;
    }
    report->expected = expected;
    report->position = position;
    if (code == peEofSource)
        return;
    std::snprintf(report->message, sizeof report->message, "%s",
                  ErrorMessage(code, expected, position).c_str());
}

} // namespace kdm::sql
