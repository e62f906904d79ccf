// WHERE conditions evaluated on rows: NULL and absent values, widening,
// date arithmetic, ranges, lists and patterns, shown as the rows delivered.
#include "sql/evaluator.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "sql/sql_diag.h"
#include "sql/support/query.h"

namespace kdm::sql::test {
namespace {

constexpr uint32_t kEvents = 1;

// Four events: kinds 1, NULL, 5, -1; one at the calendar's end, one
// without start time; texts, doubles and 64-bit extremes.
void FillEvents(CMemDatabase& db) {
    db.Insert(CRecord(kEvents)
                  .Int("EventID", 1)
                  .Int("EventKind", 1)
                  .Date("EventStartTime", 731312, 3723004)
                  .Text("EventText1", "abc")
                  .Real("EventDouble1", 1.5)
                  .Int("EventLogicalRing", 200)
                  .Int("EventParam1", 5));
    db.Insert(CRecord(kEvents)
                  .Int("EventID", 2)
                  .Null("EventKind")
                  .Date("EventStartTime", 3, 0)
                  .Text("EventText1", "Abd")
                  .Int("EventLogicalRing", 0));
    db.Insert(CRecord(kEvents)
                  .Int("EventID", 3)
                  .Int("EventKind", 5)
                  .Date("EventStartTime", 1649434, 0)
                  .Text("EventText1", "")
                  .Real("EventDouble1", 0)
                  .Int("EventParam1", INT64_MAX));
    db.Insert(CRecord(kEvents)
                  .Int("EventID", 4)
                  .Int("EventKind", -1)
                  .Text("EventText1", "b")
                  .Real("EventDouble1", -2)
                  .Int("EventParam1", INT64_MIN));
}

std::string Ids(CSQLSessionManager& m, const std::string& where) {
    std::string rows = RunAll(m, "SELECT EventID FROM EVENTS WHERE " + where);
    std::string out;
    for (size_t p = 0; (p = rows.find("EVENTID=", p)) != std::string::npos; p += 8)
        out +=
            (out.empty() ? "" : " ") + rows.substr(p + 8, rows.find_first_of(" |", p + 8) - p - 8);
    return rows.rfind("error", 0) == 0 ? rows : out;
}

struct Case {
    const char* where;
    const char* ids;
};

const Case kCases[] = {
    // NULL rejects the row, whatever else the condition says.
    {"EventKind = 1", "1"},
    {"EventKind IS NULL", "2"},
    {"EventKind IS NOT NULL", "1 3 4"},
    {"EventKind = 1 OR TRUE", "1 3 4"},
    {"NOT (EventKind = 1)", "3 4"},
    {"EventStartTime IS NULL", "4"},
    // A zero divisor rejects the row without error; short circuits skip it.
    {"EventKind / 0 = 1", ""},
    {"EventDouble1 / 0.0 = 1", ""},
    {"EventKind = 5 OR EventKind / 0 = 1", "3"},
    {"EventKind = 1 AND EventKind / 0 = 1", ""},
    // Unsigned fields widen with zero, signed with sign; ordering is signed.
    {"EventLogicalRing > -1", "1 2"},
    {"EventLogicalRing - 100 > 0", "1"},
    {"EventLogicalRing - 201 < 0", "1 2"},
    {"-EventKind = 1", "4"},
    {"EventKind = 1.0", "1"},
    {"EventDouble1 > EventKind", "1"},
    {"EventDouble1 * 2 = 3", "1"},
    // 64-bit overflow wraps, the one overflowing quotient included.
    {"EventParam1 + 1 < 0", "3 4"},
    {"EventParam1 / (0 - 1) < 0", "1 3 4"},
    {"EventParam1 * 2 = 10", "1"},
    // Dates: whole days, clamped to the calendar; parts of the value.
    {"EXTRACTDAY(EventStartTime + 1) = 8 AND EXTRACTHOUR(EventStartTime + 1) = 1", "1"},
    {"EXTRACTYEAR(EventStartTime - 5) = 1 AND EXTRACTDAY(EventStartTime - 5) = 1", "2"},
    {"EXTRACTYEAR(1000 + EventStartTime) = 4516 AND EXTRACTMONTH(EventStartTime + 100) = 12 AND "
     "EXTRACTDAY(EventStartTime + 100) = 30",
     "3"},
    {"EXTRACTHOUR(EventStartTime) = 1 AND EXTRACTMIN(EventStartTime) = 2 AND "
     "EXTRACTSEC(EventStartTime) = 3 "
     "AND EXTRACTMSEC(EventStartTime) = 4",
     "1"},
    {"EventStartTime > \"2003/04/07 00:00:00,000\"", "1 3"},
    {"EventStartTime - 731311 < \"0001/01/03\"", "1 2"},
    // Texts: byte order, case-sensitive patterns, upper case, concatenation.
    {"EventText1 < \"abd\"", "1 2 3"},
    {"EventText1 LIKE \"a*\"", "1"},
    {"EventText1 LIKE \"\"", "3"},
    {"EventText1 NOT LIKE \"*\"", ""},
    {"UPPER(EventText1) = \"ABD\"", "2"},
    {"EventText1 || \"x\" = \"abcx\"", "1"},
    // BETWEEN modes: bit 0 negates, bits 1 and 2 open the ends.
    {"EventID BETWEEN (1, 4)", "2 3"},
    {"EventID NOT BETWEEN (1, 4)", "1 4"},
    {"EventID BETWEEN [2, 3]", "2 3"},
    {"EventID BETWEEN (1, 3]", "2 3"},
    {"EventKind BETWEEN [0, 9]", "1 3"},
    // IN with single values and ranges; a NULL operand rejects the row.
    {"EventKind IN (5, -1 TO 0)", "3 4"},
    {"EventText1 IN (\"b\", \"a\" TO \"abz\")", "1 4"},
    {"NOT EventKind IN (1)", "error IncompTypes"},
};

TEST(Evaluation, ConditionsOnRows) {
    CMemDatabase db;
    FillEvents(db);
    CSQLSessionManager m(db.Engine());
    for (const Case& c : kCases)
        EXPECT_EQ(Ids(m, c.where), c.ids) << c.where;
}

TEST(Evaluation, WithCriteriaFilterInTheReaderAndInThePCode) {
    CMemDatabase db;
    FillEvents(db);
    CSQLSessionManager m(db.Engine());
    // Handed to the table's reader (key flags 1) or, with NOTOPT, compiled.
    for (const char* prefix : {"", "NOTOPT "}) {
        std::string head = std::string(prefix) + "SELECT EventID FROM EVENTS WITH ";
        EXPECT_EQ(RunAll(m, head + "EVENTS.EventKind IN (1, 4 TO 9)"), "EVENTID=1 | EVENTID=3");
        EXPECT_EQ(RunAll(m, head + "EVENTS.EventKind NOT IN (1)"), "EVENTID=3 | EVENTID=4")
            << prefix;
        EXPECT_EQ(RunAll(m, head + "EVENTS.EventKind IS NULL"), "EVENTID=2");
        EXPECT_EQ(RunAll(m, head + "EVENTS.EventID NOT BETWEEN (1, 4)"), "EVENTID=1 | EVENTID=4");
        EXPECT_EQ(RunAll(m, head + "EVENTS.EventText1 >= \"abc\" AND EVENTS.EventID < 4"),
                  "EVENTID=1");
        EXPECT_EQ(RunAll(m, head + "EVENTS.EventStartTime <= \"0001/01/03\""), "EVENTID=2");
    }
}

TEST(Evaluation, ResultDumpWhenDiagnosticsAreOn) {
    CMemDatabase db;
    FillEvents(db);
    CSQLSessionManager m(db.Engine());
    std::string path = ::testing::TempDir() + "eval_dump.kdm";
    std::remove(path.c_str());
    SetEngineDiagnosticsFile(path);
    SetEngineDiagnostics(true);
    std::string rows = Ids(m, "EventKind = 5");
    SetEngineDiagnostics(false);
    SetEngineDiagnosticsFile("");
    EXPECT_EQ(rows, "3");
    std::FILE* f = std::fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    std::string text;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        text.append(buf, n);
    std::fclose(f);
    std::remove(path.c_str());
    const std::string rule(80, '-');
    EXPECT_NE(text.find(rule + "\nResult\n" + rule + "\nBOOL        TRUE\n" + rule + "\n"),
              std::string::npos);
    EXPECT_NE(text.find("BOOL        FALSE\n"), std::string::npos);
}

TEST(Evaluation, LikePatterns) {
    struct {
        const char* text;
        const char* pattern;
        bool match;
    } cases[] = {
        {"abc", "a*", true},        {"abc", "a?c", true},    {"abc", "[a-c]bc", true},
        {"abc", "*", true},         {"abc", "[!x]bc", true}, {"abc", "A*", false},
        {"abc", "ab", false},       {"abc", "*?c", true},    {"aXbYc", "a*b*c", true},
        {"ab", "a*?*?", false},     {"", "", true},          {"", "**", true},
        {"", "?", false},           {"]", "[]]", true},      {"a", "[!]]", true},
        {"]", "[!]]", false},       {"-", "[a-]", true},     {"m", "[z-a]", false},
        {"-", "[z-a]", true},       {"[ab", "[ab", true},    {"abcabd", "*abd", true},
        {"\xE9", "[a-\xFF]", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LikeMatch(c.text, std::strlen(c.text), c.pattern, std::strlen(c.pattern)),
                  c.match)
            << c.text << " LIKE " << c.pattern;
}

} // namespace
} // namespace kdm::sql::test
