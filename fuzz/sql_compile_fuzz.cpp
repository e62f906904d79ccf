// Any bytes as one SQL statement (a NUL ends it, as it ends a C string),
// through the scanner alone and through the whole compiler against the
// recorder catalogue, and as a date/time literal.
//
// Beyond "no crash, no overrun", each run checks the report's contract: a
// result and its error code agree, the position lies inside the text, a
// failure has its message, and a compiled statement left no type behind.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sql/database_structure.h"
#include "sql/sql_parser.h"
#include "sql/sql_scanner.h"
#include "sql/sql_syntax.h"

using namespace kdm::sql;

namespace {

void Check(bool condition) {
    if (!condition)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const CSQLSyntax syntax;
    static const CDatabaseStructure db(RecorderSchemaEngine());
    std::string text(reinterpret_cast<const char*>(data), size);
    const char* statement = text.c_str();
    size_t length = std::string(statement).size();

    CSQLScanner scanner(syntax);
    scanner.SetSource(statement);
    TSQLToken token;
    for (size_t tokens = 0;; ++tokens) {
        scanner.NextToken(&token);
        if (token.code == tkEnd)
            break;
        Check(tokens <= length);
        Check(scanner.TokenPosition() < length);
    }
    Check(scanner.State() != peNoErr);
    Check(scanner.TokenPosition() <= length);

    CSQLParser parser(db, syntax);
    bool ok = parser.Compile(statement);
    const TSQLErrorReport& report = parser.ErrorReport();
    Check(ok == (report.code == peNoErr));
    Check(report.code <= peEofSource && report.code != peEofSource);
    Check(report.position <= length);
    if (ok) {
        Check(parser.PCode().Stack().Empty());
        for (const TResultColumn& c : parser.Links().ResultColumns())
            Check(c.storage >= c.rowBuffer);
    } else {
        Check(report.message[0] != '\0');
    }
    parser.ListingText();
    parser.FieldListsText();

    uint64_t value;
    uint8_t r = ParseDateTimeLiteral(syntax, statement, &value);
    Check(r == peNoErr || r == peDaTiSyntax || r == peDaTiVal);
    return 0;
}
