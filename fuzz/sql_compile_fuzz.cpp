// Any bytes as one SQL statement (a NUL ends it, as it ends a C string),
// through the scanner alone and through the whole compiler against the
// recorder catalogue, and as a date/time literal. A statement that
// compiles is executed on a small database with NULLs, extreme values and
// dangling references: a bounded number of fetches both ways, a count,
// bookmarks and a search by condition.
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
#include "sql/sql_session.h"
#include "sql/sql_syntax.h"
#include "sql/support/mem_db.h"

using namespace kdm::sql;
using namespace kdm::sql::test;

namespace {

void Check(bool condition) {
    if (!condition)
        abort();
}

// Three rows per table: one with every field set to an edge value, one
// with every field NULL but the key, one with small values whose foreign
// keys point at rows that exist or do not.
CMemDatabase& Fixture() {
    static CMemDatabase* db = [] {
        auto* d = new CMemDatabase;
        for (uint32_t t = 0; t < kCatalogueTableCount; ++t) {
            const TKdmStructTableDef& def = CatalogueTable(t);
            for (int64_t key = 0; key < 3; ++key) {
                CRecord r(t);
                for (uint32_t f = 0; f < def.fieldCount; ++f) {
                    const TKdmStructFieldDef& fd = def.fields[f];
                    if (f == 0)
                        r.Int(fd.name, key == 0 ? INT64_MIN + 1 : key == 1 ? 1 : INT64_MAX);
                    else if (key == 1)
                        r.Null(fd.name);
                    else if (fd.type == kTypeVarChar)
                        r.Text(fd.name, key == 0 ? std::string(255, '\xFF') : "a*[b");
                    else if (fd.type == kTypeDateTime)
                        r.Date(fd.name, key == 0 ? 0xFFFFFFFFu : 1, key == 0 ? 0xFFFFFFFFu : 0);
                    else if (fd.type == kTypeBlobRef)
                        r.Blob(fd.name, 12345, 0xFFFFFFFFu);
                    else if (fd.type == kTypeDouble || fd.type == kTypeFloat)
                        r.Real(fd.name, key == 0 ? -1e308 : 0.0);
                    else
                        r.Int(fd.name, key == 0 ? -1 : 2);
                }
                d->Insert(r);
            }
        }
        return d;
    }();
    return *db;
}

void Execute(const char* statement) {
    static CSQLSessionManager manager(Fixture().Engine());
    CursorHandle h;
    const std::vector<TResultColumn>* columns;
    TSQLErrorReport r;
    if (!manager.OpenCursor(statement, true, &h, &columns, &r))
        return;
    int64_t row;
    bool found, aborted;
    TSQLBookmark mark, first;
    const int32_t moves[][2] = {{0, 1}, {2, 1}, {2, 1}, {1, -1}, {2, -1}, {2, 0}, {0, 4}};
    for (const auto& mv : moves) {
        manager.FetchCursor(h, mv[0], mv[1], &row, &found, nullptr, &aborted, &mark, &r);
        Check(!aborted);
        if (found)
            for (const TResultColumn& c : *columns)
                if (c.type == kTypeBlobRef) {
                    uint8_t buf[16];
                    bool done;
                    manager.FetchCursorBlob(c, buf, sizeof buf, &done, &r);
                }
    }
    manager.FetchCursor(h, 0, 1, &row, &found, nullptr, &aborted, &first, &r);
    int64_t count = 0;
    if (manager.CountRecords(h, &count, &row, nullptr, &aborted, &mark, &r))
        Check(count >= 0 && count <= 3 * 3 * 3 * 3);
    for (int32_t kind = 0; kind <= 4; ++kind)
        manager.LocateBookmark(h, kind, first, 1, &row, &found, nullptr, &aborted, &mark, &r);
    manager.LocateWhere(h, 2, "TRUE", &row, &found, nullptr, &aborted, &mark, &r);
    manager.CloseCursor(h, &r);
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
    // The cross product of many tables has 3^n rows: execution stays
    // bounded by running only statements of at most four tables.
    if (ok && parser.Links().TableCount() <= 4)
        Execute(statement);

    uint64_t value;
    uint8_t r = ParseDateTimeLiteral(syntax, statement, &value);
    Check(r == peNoErr || r == peDaTiSyntax || r == peDaTiVal);
    return 0;
}
