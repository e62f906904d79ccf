// Token codes, reserved words and error codes of the SQL engine, and the
// error report that callers of the engine receive.
#pragma once

#include <cstdint>
#include <string>

namespace kdm::sql {

enum Token : uint8_t {
    tkEnd = 0,
    tkSelect = 1,
    tkFrom,
    tkWhere,
    tkInner,
    tkJoin,
    tkAnd,
    tkOr,
    tkCount,
    tkMin,
    tkMax,
    tkAvg,
    tkOrder,
    tkBy,
    tkAsc,
    tkDesc,
    tkTrue,
    tkFalse,
    tkNot,
    tkDate,
    tkTime,
    tkExtractYear,
    tkExtractMonth,
    tkExtractDay,
    tkExtractHour,
    tkExtractMin,
    tkExtractSec,
    tkExtractMsec,
    tkUpper,
    tkIs,
    tkNull,
    tkLike,
    tkOn,
    tkLeft,
    tkRight,
    tkOuter,
    tkWith,
    tkIn,
    tkTo,
    tkBetween,
    tkNotOpt = 40,
    tkEqual = 41,
    tkLess,
    tkGreater,
    tkPlus,
    tkMinus,
    tkStar,
    tkSlash,
    tkLessEqual,
    tkGreaterEqual,
    tkNotEqual,
    tkConcat,
    tkLParen,
    tkRParen,
    tkComma,
    tkDot,
    tkLBracket,
    tkRBracket,
    tkIdent = 58,
    tkString,
    tkIntNumber,
    tkFloatNumber,
    // Character classes of number and date/time literals.
    tkDigit = 62,
    tkHexDigit,
    tkExponent,
    tkHex,
    tkSpace,
    tkColon,
    tkStringEnd,
    tkEmpty = 69,
};

inline constexpr uint8_t kKeywordCount = 40;

// The keyword of code 1..40 ("SELECT" ... "NOTOPT").
const char* KeywordText(uint8_t code);
// Keyword code of an upper-case word, or 0.
uint8_t KeywordCode(const char* upperWord);
// What messages print as the expected token.
const char* TokenName(uint8_t code);

enum ParserError : uint8_t {
    peCritical = 0,
    peStackUnderflow = 1,
    peStackError = 2,
    peStr = 3,
    peIdentLen = 4,
    peUnknownChar = 5,
    peNumSyntax = 6,
    peNumOverflow = 7,
    peInvalidCmdEnd = 8,
    peInvalidResultType = 9,
    peIncompTypes = 10,
    peDaTiSyntax = 11,
    peDaTiVal = 12,
    peInvalidField = 13,
    peInvalidSelField = 14,
    peUnknownTable = 15,
    peJoinErr1 = 16,
    peJoinErr2 = 17,
    peMissPrimKey = 18,
    peDuplicJoin = 19,
    peInvalJoin = 20,
    peWrongOuter = 21,
    peOuterJoin = 22,
    peInvalBookmark = 23,
    peBookm2Big = 24,
    peSyntax = 25,
    peNoIndex = 26,
    peMissOperand = 27,
    peInvalCurHan = 28,
    peNotExecAble = 29,
    peWrongBlobRef = 30,
    peMissWhere = 31,
    peStopExec = 32,
    peNoErr = 33,
    peEofSource = 34,
};

// "Critical" ... "EofSource"; "Unknown" outside 0..34.
const char* ErrorName(uint8_t code);
inline constexpr const char kErrorClass[] = "ParserErrors";

inline constexpr size_t kErrorMessageCapacity = 255;

struct TSQLErrorReport {
    uint8_t code = peNoErr;
    uint8_t zero = 0;
    uint8_t expected = 0;
    uint32_t position = 0;
    char message[kErrorMessageCapacity + 1] = {};
};

// Fills the report; codes 33 and 34 get an empty message, and code 33
// zero position and expected token.
void SetErrorReport(TSQLErrorReport* report, uint8_t code, uint8_t expected, uint32_t position);
// "Error: class=ParserErrors, type=<name>, parameters=<token>(Expected Token),
// <position>(Position)"
std::string ErrorMessage(uint8_t code, uint8_t expected, uint32_t position);

} // namespace kdm::sql
