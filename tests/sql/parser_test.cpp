#include "sql/sql_parser.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "sql/schema.h"
#include "sql/sql_diag.h"

namespace kdm::sql {
namespace {

const CSQLSyntax& Syntax() {
    static const CSQLSyntax syntax;
    return syntax;
}
const CDatabaseStructure& Recorder() {
    static const CDatabaseStructure db(RecorderSchemaEngine());
    return db;
}

// The p-code in one line: PUSH:TABLE.FIELD, constants as type letter and
// value (Q integer shown signed, D double, S text, B bool, T day:ms), other
// instructions by name; ">n" is a short-circuit target.
std::string Code(const CSQLParser& p) {
    std::string out;
    const CPCodeMem& code = p.PCode();
    for (int32_t i = 0; i < code.Count(); ++i) {
        const CPCodeCmd& c = code.Cmd(i);
        if (!out.empty())
            out += ' ';
        if (c.opcode == opPush) {
            std::string t, f;
            Recorder().FindFieldById(static_cast<uint32_t>(c.value), &t, &f);
            out += "PUSH:" + t + "." + f;
        } else if (c.opcode == opPushC) {
            char buf[64];
            switch (c.type) {
            case kTypeQWord:
                std::snprintf(buf, sizeof buf, "Q%" PRId64, static_cast<int64_t>(c.value));
                break;
            case kTypeDouble:
                std::snprintf(buf, sizeof buf, "D%g", c.DoubleValue());
                break;
            case kTypeBool:
                std::snprintf(buf, sizeof buf, "B%d", int(c.value));
                break;
            case kTypeDateTime:
                std::snprintf(buf, sizeof buf, "T%u:%u", unsigned(c.value >> 32),
                              unsigned(c.value & 0xFFFFFFFF));
                break;
            default:
                std::snprintf(buf, sizeof buf, "S'%s'", c.text.c_str());
                break;
            }
            out += buf;
        } else {
            out += OpcodeName(c.opcode);
        }
        if (c.shortCircuit >= 0)
            out += ">" + std::to_string(c.shortCircuit);
    }
    return out;
}

std::string ErrorOf(const CSQLParser& p) {
    uint8_t code, expected;
    uint32_t position;
    p.GetError(&code, &position, &expected);
    return std::string(ErrorName(code)) + "@" + std::to_string(position) + " " +
           TokenName(expected);
}

// ---- statement -> (error, position, expected token) ------------------------------

struct ErrorCase {
    std::string sql;
    std::string error; // "Name@position EXPECTED"
};
void PrintTo(const ErrorCase& c, std::ostream* os) {
    *os << c.sql.substr(0, 80);
}

class CompileErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(CompileErrors, Report) {
    CSQLParser p(Recorder(), Syntax());
    EXPECT_FALSE(p.Compile(GetParam().sql.c_str()));
    EXPECT_EQ(ErrorOf(p), GetParam().error) << GetParam().sql;
}

const char kJoinPE[] = "SELECT * FROM PICTURES JOIN EVENTS ON PICTURES.EventID = EVENTS.EventID";

INSTANTIATE_TEST_SUITE_P(
    Grammar, CompileErrors,
    ::testing::Values(
        ErrorCase{"", "Syntax@0 SELECT"}, ErrorCase{"DELETE FROM PICTURES", "Syntax@0 SELECT"},
        ErrorCase{"NOTOPT NOTOPT SELECT * FROM PICTURES", "Syntax@7 SELECT"},
        ErrorCase{"SELECT * FROM", "Syntax@9 IDENT"},
        ErrorCase{"SELECT FROM PICTURES", "Syntax@7 IDENT"},
        ErrorCase{"SELECT * FROM ORDER", "Syntax@14 IDENT"},
        ErrorCase{"SELECT * FROM PICTURES WHERE", "Syntax@23 UPPER"},
        ErrorCase{"SELECT * FROM PICTURES WHERE PicID = ", "Syntax@35 UPPER"},
        ErrorCase{"SELECT * FROM PICTURES WHERE (PicID = 1", "Syntax@38 )"},
        ErrorCase{"SELECT * FROM PICTURES WHERE PicID IS 1", "Syntax@38 NULL"},
        ErrorCase{"SELECT * FROM PICTURES WHERE PicID NOT IN (1)", "Syntax@39 BETWEEN"},
        ErrorCase{"SELECT * FROM PICTURES ORDER PicID", "Syntax@29 BY"},
        ErrorCase{"SELECT * FROM PICTURES WITH PICTURES.PicID", "Syntax@37 BETWEEN"},
        ErrorCase{"SELECT * FROM PICTURES WITH PICTURES.PicID = 1 OR PICTURES.PicID = 2",
                  "InvalidCmdEnd@47 AND"},
        ErrorCase{"SELECT * FROM PICTURES WITH PICTURES.PicID = \"1\"", "IncompTypes@45 STR"},
        ErrorCase{"SELECT * FROM PICTURES SELECT * FROM PICTURES", "InvalidCmdEnd@23 WITH"},
        ErrorCase{"SELECT * FROM PICTURES; SELECT", "InvalidCmdEnd@22 WITH"},
        ErrorCase{"SELECT * FROM PICTURES WHERE PicID = 1 @", "InvalidCmdEnd@39 WITH"},
        ErrorCase{"SELECT * FROM PICTURES WHERE PicID = 1x", "NumSyntax@37 UPPER"},
        ErrorCase{"SELECT * FROM PICTURES WHERE PicID = \"open", "Str@37 UPPER"},
        ErrorCase{"SELECT * FROM PICTURES WHERE PicID = 99999999999999999999",
                  "NumOverflow@37 UPPER"}));

INSTANTIATE_TEST_SUITE_P(
    Names, CompileErrors,
    ::testing::Values(
        ErrorCase{"SELECT * FROM NOSUCH", "UnknownTable@14 IDENT"},
        ErrorCase{"SELECT * FROM PICTURES, NOSUCH WHERE PicID = 1", "UnknownTable@24 IDENT"},
        ErrorCase{"SELECT NoSuchField FROM PICTURES", "InvalidField@19 ."},
        ErrorCase{"SELECT EventName FROM PICTURES", "InvalSelField@22 ,"},
        ErrorCase{"SELECT EVENTS.EventID FROM PICTURES", "InvalSelField@27 ,"},
        ErrorCase{"SELECT PICTURES.EventName FROM PICTURES", "InvalidField@16 IDENT"},
        ErrorCase{"SELECT NOSUCH.* FROM PICTURES", "UnknownTable@14 *"},
        ErrorCase{"SELECT EVENTS.* FROM PICTURES", "InvalSelField@21 ,"},
        ErrorCase{"SELECT * FROM PICTURES WHERE NoSuch = 1", "InvalidField@36 ."},
        ErrorCase{"SELECT * FROM PICTURES WHERE EVENTS.EventID = 1", "InvalidField@36 IDENT"},
        ErrorCase{"SELECT * FROM PICTURES ORDER BY EventName", "InvalidField@32 DESC"},
        ErrorCase{"SELECT * FROM PICTURES WITH EVENTS.EventID = 1", "UnknownTable@28 IDENT"},
        ErrorCase{"SELECT * FROM PICTURES WITH PICTURES.EventName = 1", "InvalidField@37 IDENT"}));

INSTANTIATE_TEST_SUITE_P(
    Joins, CompileErrors,
    ::testing::Values(
        ErrorCase{"SELECT * FROM EVENTS JOIN EVENTS ON EVENTS.EventID = EVENTS.EventPrevID",
                  "JoinErr1@26 IDENT"},
        ErrorCase{"SELECT * FROM PICTURES JOIN EVENTS ON PICTURES.EventID = PICTURES.EventID",
                  "JoinErr1@57 IDENT"},
        ErrorCase{"SELECT * FROM PICTURES JOIN EVENTS ON RINGBUFFERS.RingID = EVENTS.EventID",
                  "JoinErr2@38 IDENT"},
        ErrorCase{"SELECT * FROM PICTURES JOIN EVENTS ON PICTURES.EventID = RINGBUFFERS.RingID",
                  "JoinErr2@57 IDENT"},
        ErrorCase{"SELECT * FROM PICTURES JOIN EVENTS ON PICTURES.NoSuch = EVENTS.EventID",
                  "InvalidField@47 IDENT"},
        ErrorCase{"SELECT * FROM PICTURES JOIN EVENTS ON PICTURES.EventID = EVENTS.NoSuch",
                  "InvalidField@64 IDENT"},
        ErrorCase{"SELECT * FROM PICTURES JOIN EVENTS ON PICTURES.EventID = EVENTS.EventPrevID",
                  "MissPrimKey@64 IDENT"},
        ErrorCase{"SELECT * FROM PICTURES JOIN RINGBUFFERS ON "
                  "PICTURES.PicLogicalRing = RINGBUFFERS.RingID",
                  "IncompTypes@81 IDENT"},
        ErrorCase{std::string(kJoinPE) +
                      ", EVENTS JOIN PICTURES ON EVENTS.EventID = PICTURES.EventID",
                  "DuplicJoin@123 IDENT"},
        ErrorCase{std::string(kJoinPE) +
                      ", PICTURES JOIN EVENTS ON PICTURES.RefPicID = EVENTS.EventID",
                  "DuplicJoin@124 IDENT"},
        // PICTURES -> EVENTS -> VIDEOCHANNELS -> PICTURES
        ErrorCase{std::string(kJoinPE) + ", EVENTS JOIN VIDEOCHANNELS ON EVENTS.EventTypeID = "
                                         "VIDEOCHANNELS.VideoChID, VIDEOCHANNELS JOIN PICTURES ON "
                                         "VIDEOCHANNELS.RecorderID = PICTURES.PicID",
                  "InvalJoin@215 ,"},
        ErrorCase{"SELECT * FROM PICTURES LEFT, EVENTS", "OuterJoin@27 JOIN"},
        ErrorCase{"SELECT * FROM PICTURES RIGHT OUTER", "OuterJoin@29 JOIN"},
        ErrorCase{"SELECT * FROM PICTURES OUTER JOIN EVENTS ON PICTURES.EventID = EVENTS.EventID",
                  "WrongOuter@23 OUTER"}));

INSTANTIATE_TEST_SUITE_P(
    Types, CompileErrors,
    ::testing::Values(
        ErrorCase{"SELECT PicID FROM PICTURES WHERE PicID", "InvalRsltType@33 OR"},
        ErrorCase{"SELECT * FROM PICTURES WHERE PicID + 1 = 2 OR 5", "IncompTypes@46 AND"},
        ErrorCase{"SELECT * FROM EVENTS WHERE NOT EventKind = 1", "IncompTypes@41 ."},
        ErrorCase{"SELECT * FROM EVENTS WHERE EventStartTime = \"word\"", "DaTiSyntax@44 -"},
        ErrorCase{"SELECT * FROM EVENTS WHERE EventStartTime < \"2005/02/30\"", "DaTiVal@44 -"},
        ErrorCase{"SELECT * FROM EVENTS WHERE EventStartTime = EventText1", "IncompTypes@44 -"},
        ErrorCase{"SELECT * FROM EVENTS WHERE EventStartTime = 5", "IncompTypes@44 -"},
        ErrorCase{"SELECT * FROM EVENTS WHERE \"abc\" + 1 = 1", "DaTiSyntax@37 /"},
        ErrorCase{"SELECT * FROM EVENTS WHERE EventText1 + 1 = 1", "IncompTypes@42 /"},
        ErrorCase{"SELECT * FROM EVENTS WHERE EventStartTime - EventStopTime = 1",
                  "IncompTypes@58 /"},
        ErrorCase{"SELECT * FROM EVENTS WHERE EventStartTime * 2 = 1", "IncompTypes@46 ||"},
        ErrorCase{"SELECT * FROM EVENTS WHERE TRUE < FALSE", "IncompTypes@34 -"},
        ErrorCase{"SELECT * FROM EVENTS WHERE EventKind AND TRUE", "IncompTypes@41 IN"},
        ErrorCase{"SELECT * FROM EVENTS WHERE EventText1 LIKE 5", "IncompTypes@43 -"},
        ErrorCase{"SELECT * FROM EVENTS WHERE EventKind || \"a\" = \"a\"", "IncompTypes@44 STR"},
        ErrorCase{"SELECT * FROM EVENTS WHERE UPPER(EventKind) = \"A\"", "IncompTypes@42 )"},
        ErrorCase{"SELECT * FROM EVENTS WHERE EXTRACTYEAR(EventKind) = 1", "IncompTypes@48 )"},
        ErrorCase{"SELECT * FROM EVENTS WHERE -\"x\" = \"x\"", "IncompTypes@32 STR"},
        ErrorCase{"SELECT * FROM EVENTS WHERE EventKind IN (-\"x\")", "IncompTypes@42 STR"},
        ErrorCase{"SELECT * FROM EVENTS WHERE EventKind IN (1, \"x\")", "IncompTypes@47 )"},
        ErrorCase{"SELECT * FROM EVENTS WHERE EventKind BETWEEN (\"a\", 3)", "IncompTypes@52 )"},
        ErrorCase{"SELECT * FROM EVENTS WHERE TRUE BETWEEN (TRUE, FALSE)", "IncompTypes@52 )"},
        ErrorCase{"SELECT * FROM EVENTS WHERE DATE() = 1", "StackUndrflw@32 )"},
        ErrorCase{"SELECT * FROM EVENTS WHERE TIME()", "StackUndrflw@32 )"},
        ErrorCase{"SELECT * FROM EVENTS WHERE EventKind = EventKind + DATE()", "Critical@56 )"}));

INSTANTIATE_TEST_SUITE_P(
    WithValues, CompileErrors,
    ::testing::Values(
        ErrorCase{"SELECT * FROM PICTURES WITH PICTURES.PicSignalType = 256",
                  "NumOverflow@53 INTNUMB"},
        ErrorCase{"SELECT * FROM PICTURES WITH PICTURES.PicSignalType = -1",
                  "NumOverflow@54 INTNUMB"},
        ErrorCase{"SELECT * FROM PICTURES WITH PICTURES.PicCompAlg = -2147483648",
                  "NumOverflow@51 INTNUMB"},
        ErrorCase{"SELECT * FROM VIDEOCHANNELS WITH VIDEOCHANNELS.VideoChGlobal = 4294967296",
                  "NumOverflow@63 INTNUMB"},
        ErrorCase{"SELECT * FROM VIDEOCHANNELS WITH VIDEOCHANNELS.VideoChGlobal = 1.5",
                  "IncompTypes@63 FLTNUMB"},
        ErrorCase{"SELECT * FROM VIDEOCHANNELS WITH VIDEOCHANNELS.VideoChText = 5",
                  "IncompTypes@61 INTNUMB"},
        ErrorCase{"SELECT * FROM EVENTTYPES WITH EVENTTYPES.EventActive IN (1, \"x\")",
                  "IncompTypes@60 STR"},
        ErrorCase{"SELECT * FROM PICTURES WITH PICTURES.PicData = 5", "IncompTypes@47 INTNUMB"},
        ErrorCase{"SELECT * FROM EVENTS WITH EVENTS.EventStartTime > \"word\"",
                  "DaTiSyntax@50 STR"},
        ErrorCase{"SELECT * FROM EVENTS WITH EVENTS.EventStartTime BETWEEN "
                  "[\"2005/01/01\", \"2005/02/30\"]",
                  "DaTiVal@71 STR"}));

// ---- statement -> p-code -------------------------------------------------------

struct CodeCase {
    std::string sql;
    std::string code;
};
void PrintTo(const CodeCase& c, std::ostream* os) {
    *os << c.sql.substr(0, 80);
}

class CompiledCode : public ::testing::TestWithParam<CodeCase> {};

TEST_P(CompiledCode, Listing) {
    CSQLParser p(Recorder(), Syntax());
    ASSERT_TRUE(p.Compile(GetParam().sql.c_str())) << ErrorOf(p) << "\n" << GetParam().sql;
    EXPECT_EQ(Code(p), GetParam().code) << GetParam().sql;
    uint8_t code, expected;
    uint32_t position;
    p.GetError(&code, &position, &expected);
    EXPECT_EQ(code, peNoErr);
    EXPECT_EQ(position, 0u);
    EXPECT_EQ(expected, 0);
    EXPECT_TRUE(p.PCode().Stack().Empty()) << "the type stack is consumed";
}

// 2005/03/18 is day 732023, 10:00 is 36000000 ms.
INSTANTIATE_TEST_SUITE_P(
    Conditions, CompiledCode,
    ::testing::Values(
        CodeCase{"SELECT * FROM PICTURES", ""},
        CodeCase{"select * from pictures where picid = 7", "PUSH:PICTURES.PICID Q7 EQUAL"},
        CodeCase{"SELECT * FROM EVENTS WHERE NOT (EventKind = 1)",
                 "PUSH:EVENTS.EVENTKIND Q1 EQUAL NOT"},
        CodeCase{"SELECT * FROM EVENTS WHERE NOT TRUE = FALSE", "B1 NOT B0 EQUAL"},
        CodeCase{"SELECT * FROM EVENTS WHERE EventKind = 1 AND EventKind = 2 OR EventKind = 3",
                 "PUSH:EVENTS.EVENTKIND Q1 EQUAL>6 PUSH:EVENTS.EVENTKIND Q2 EQUAL AND>10 "
                 "PUSH:EVENTS.EVENTKIND Q3 EQUAL OR"},
        CodeCase{"SELECT * FROM EVENTS WHERE EventKind = 1 OR EventKind = 2 AND EventKind = 3",
                 "PUSH:EVENTS.EVENTKIND Q1 EQUAL>10 PUSH:EVENTS.EVENTKIND Q2 EQUAL>9 "
                 "PUSH:EVENTS.EVENTKIND Q3 EQUAL AND OR"},
        CodeCase{"SELECT * FROM EVENTS WHERE EventKind IN (1, 3 TO 5, -2)",
                 "PUSH:EVENTS.EVENTKIND Q1 Q1 Q3 Q5 Q2 Q-2 Q1 Q7 IN"},
        CodeCase{"SELECT * FROM EVENTS WHERE EventDouble1 IN (1, -1.5 TO 2)",
                 "PUSH:EVENTS.EVENTDOUBLE1 Q1 Q1 D-1.5 Q2 Q2 Q5 IN"},
        CodeCase{"SELECT * FROM EVENTS WHERE EventText1 IN (\"a\", \"b\" TO \"c\")",
                 "PUSH:EVENTS.EVENTTEXT1 S'a' Q1 S'b' S'c' Q2 Q5 IN"},
        CodeCase{"SELECT * FROM EVENTS WHERE EventTime1 IN (\"2005/03/18\")",
                 "PUSH:EVENTS.EVENTTIME1 T732023:0 Q1 Q2 IN"},
        CodeCase{"SELECT * FROM PICTURES WHERE PicID BETWEEN (1, 10]",
                 "PUSH:PICTURES.PICID Q1 Q10 Q2 BETWEEN"},
        CodeCase{"SELECT * FROM PICTURES WHERE PicID BETWEEN [1, 10)",
                 "PUSH:PICTURES.PICID Q1 Q10 Q4 BETWEEN"},
        CodeCase{"SELECT * FROM PICTURES WHERE PicID NOT BETWEEN (PicID - 1, 10 * 2)",
                 "PUSH:PICTURES.PICID PUSH:PICTURES.PICID Q1 SUB Q10 Q2 MUL Q7 BETWEEN"},
        CodeCase{"SELECT * FROM PICTURES WHERE PicID NOT BETWEEN [1, 2]",
                 "PUSH:PICTURES.PICID Q1 Q2 Q1 BETWEEN"},
        CodeCase{"SELECT * FROM EVENTS WHERE EventStartTime >= \"2005/03/18 10:00:00,000\"",
                 "PUSH:EVENTS.EVENTSTARTTIME T732023:36000000 GRTEQU"},
        CodeCase{"SELECT * FROM EVENTS WHERE \"10:00:00\" < EventStartTime",
                 "T0:36000000 PUSH:EVENTS.EVENTSTARTTIME LOWER"},
        CodeCase{"SELECT * FROM EVENTS WHERE EventText1 = \"2005/03/18\"",
                 "PUSH:EVENTS.EVENTTEXT1 S'2005/03/18' EQUAL"},
        CodeCase{"SELECT * FROM EVENTS WHERE EventStartTime + 1 > \"2005/03/18\" - 2",
                 "PUSH:EVENTS.EVENTSTARTTIME Q1 ADD T732023:0 Q2 SUB GREATER"},
        CodeCase{"SELECT * FROM EVENTS WHERE 1 + \"2005/03/18\" = EventStartTime",
                 "Q1 T732023:0 ADD PUSH:EVENTS.EVENTSTARTTIME EQUAL"},
        CodeCase{"SELECT * FROM EVENTS WHERE EXTRACTYEAR(\"2005/03/18\") = 2005 AND "
                 "EXTRACTMSEC(EventStartTime) <> 0",
                 "T732023:0 EXYEAR Q2005 EQUAL>8 PUSH:EVENTS.EVENTSTARTTIME EXMSEC Q0 NOTEQU "
                 "AND"},
        CodeCase{"SELECT * FROM EVENTS WHERE EventKind * 2 / 3 - EventDouble1 <= -1.5E3",
                 "PUSH:EVENTS.EVENTKIND Q2 MUL Q3 DIV PUSH:EVENTS.EVENTDOUBLE1 SUB D1500 NEG "
                 "LOWEQU"},
        CodeCase{"SELECT * FROM EVENTS WHERE UPPER(EventText1 || \"x\") LIKE \"A*\" AND "
                 "EventText2 NOT LIKE \"?b\"",
                 "PUSH:EVENTS.EVENTTEXT1 S'x' CONCT UPPER S'A*' LIKE>9 PUSH:EVENTS.EVENTTEXT2 "
                 "S'?b' NOTLIKE AND"},
        CodeCase{"SELECT * FROM EVENTS WHERE EventKind IS NULL OR EventText1 IS NOT NULL",
                 "PUSH:EVENTS.EVENTKIND ISNULL>4 PUSH:EVENTS.EVENTTEXT1 NOTNULL OR"},
        CodeCase{"SELECT * FROM EVENTS WHERE TRUE <> FALSE AND NOT FALSE",
                 "B1 B0 NOTEQU>5 B0 NOT AND"}));

INSTANTIATE_TEST_SUITE_P(
    With, CompiledCode,
    ::testing::Values(
        // Criteria on value fields go to their tables' readers ...
        CodeCase{"select * from EventTypes with EventTypes.EventActive <> 0", ""},
        // ... blobs, and every field under NOTOPT, into the p-code.
        CodeCase{"SELECT * FROM PICTURES WITH PICTURES.PicData IS NOT NULL",
                 "PUSH:PICTURES.PICDATA NOTNULL"},
        CodeCase{"NOTOPT SELECT * FROM EVENTTYPES WITH EVENTTYPES.EventActive <> 0",
                 "PUSH:EVENTTYPES.EVENTACTIVE Q0 NOTEQU"},
        CodeCase{"NOTOPT SELECT * FROM EVENTS WITH EVENTS.EventKind BETWEEN (1, 5] AND "
                 "EVENTS.EventDouble1 NOT BETWEEN [-1, 2.5)",
                 "PUSH:EVENTS.EVENTKIND Q1 GREATER>6 PUSH:EVENTS.EVENTKIND Q5 LOWEQU AND>14 "
                 "PUSH:EVENTS.EVENTDOUBLE1 D-1 LOWER>13 PUSH:EVENTS.EVENTDOUBLE1 D2.5 GRTEQU OR "
                 "AND"},
        CodeCase{"NOTOPT SELECT * FROM EVENTS WITH EVENTS.EventKind NOT IN (1, 2 TO 4, -3)",
                 "PUSH:EVENTS.EVENTKIND Q1 Q1 Q-3 Q1 Q2 Q4 Q2 Q7 IN NOT"},
        CodeCase{"NOTOPT SELECT * FROM EVENTS WITH EVENTS.EventStartTime IS NULL AND "
                 "EVENTS.EventText1 = \"abc\" AND EVENTS.EventTime1 < \"2005/03/18\"",
                 "PUSH:EVENTS.EVENTSTARTTIME ISNULL>5 PUSH:EVENTS.EVENTTEXT1 S'abc' EQUAL AND>9 "
                 "PUSH:EVENTS.EVENTTIME1 T732023:0 LOWER AND"},
        // A WHERE condition and compiled criteria are joined by one more AND.
        CodeCase{"SELECT * FROM PICTURES WHERE PicID > 5 WITH PICTURES.PicData IS NULL AND "
                 "PICTURES.PicTopField = 1",
                 "PUSH:PICTURES.PICID Q5 GREATER>5 PUSH:PICTURES.PICDATA ISNULL AND"},
        CodeCase{"NOTOPT SELECT * FROM PICTURES WHERE PicID > 5 ORDER BY PicID WITH "
                 "PICTURES.PicTopField = 1",
                 "PUSH:PICTURES.PICID Q5 GREATER>6 PUSH:PICTURES.PICTOPFIELD Q1 EQUAL AND"},
        CodeCase{"NOTOPT SELECT * FROM PICTURES WITH PICTURES.PicCompAlg = -2147483647",
                 "PUSH:PICTURES.PICCOMPALG Q-2147483647 EQUAL"},
        CodeCase{"NOTOPT SELECT * FROM EVENTS WITH EVENTS.EventDouble2 = 3",
                 "PUSH:EVENTS.EVENTDOUBLE2 D3 EQUAL"},
        CodeCase{"NOTOPT SELECT * FROM PICTURES WITH PICTURES.PicID = 0xFFFFFFFFFFFFFFFF",
                 "PUSH:PICTURES.PICID Q-1 EQUAL"}));

// ---- the statements of the document-check station ------------------------------

const std::string kEventQuery =
    "SELECT EventID, EventStartTime,  EventParam1, EventParam2, EventParam3, EventParam4, "
    "EventDouble1, EventDouble2, EventText1, EventText2, EventData FROM Events WHERE "
    "EventTypeID=";
const std::string kBase = "PUSH:EVENTS.EVENTTYPEID Q5 EQUAL";

INSTANTIATE_TEST_SUITE_P(
    Station, CompiledCode,
    ::testing::Values(
        CodeCase{kEventQuery + "5", kBase},
        CodeCase{kEventQuery + "5 AND EventText1=\"\xC7\xE1\xED\"",
                 "PUSH:EVENTS.EVENTTYPEID Q5 EQUAL>6 PUSH:EVENTS.EVENTTEXT1 S'\xC7\xE1\xED' "
                 "EQUAL AND"},
        CodeCase{kEventQuery + "5 AND EventText1 IS NULL",
                 "PUSH:EVENTS.EVENTTYPEID Q5 EQUAL>5 PUSH:EVENTS.EVENTTEXT1 ISNULL AND"},
        CodeCase{kEventQuery + "5 AND EventText2=\"ACME\"",
                 "PUSH:EVENTS.EVENTTYPEID Q5 EQUAL>6 PUSH:EVENTS.EVENTTEXT2 S'ACME' EQUAL AND"},
        CodeCase{kEventQuery + "5 AND EventText2 IS NULL",
                 "PUSH:EVENTS.EVENTTYPEID Q5 EQUAL>5 PUSH:EVENTS.EVENTTEXT2 ISNULL AND"},
        CodeCase{kEventQuery + "5 AND EventParam1=966",
                 "PUSH:EVENTS.EVENTTYPEID Q5 EQUAL>6 PUSH:EVENTS.EVENTPARAM1 Q966 EQUAL AND"},
        CodeCase{kEventQuery + "5 AND EventParam1 IS NULL",
                 "PUSH:EVENTS.EVENTTYPEID Q5 EQUAL>5 PUSH:EVENTS.EVENTPARAM1 ISNULL AND"},
        CodeCase{kEventQuery + "5 AND EventParam2=12345678",
                 "PUSH:EVENTS.EVENTTYPEID Q5 EQUAL>6 PUSH:EVENTS.EVENTPARAM2 Q12345678 EQUAL "
                 "AND"},
        CodeCase{kEventQuery + "5 AND EventParam2 IS NULL",
                 "PUSH:EVENTS.EVENTTYPEID Q5 EQUAL>5 PUSH:EVENTS.EVENTPARAM2 ISNULL AND"},
        // 1 March 2005 08:00:00 to 2 March 2005 09:30:15.
        CodeCase{kEventQuery + "5 AND EventStartTime BETWEEN [\"2005/03/01 08:00:00,000\","
                               "\"2005/03/02 09:30:15,000\"]",
                 "PUSH:EVENTS.EVENTTYPEID Q5 EQUAL>8 PUSH:EVENTS.EVENTSTARTTIME "
                 "T732006:28800000 T732007:34215000 Q0 BETWEEN AND"},
        CodeCase{kEventQuery + "5 AND EventStartTime BETWEEN [\"2005/03/01 00:00:00,000\","
                               "\"2005/03/02 00:00:00,000\"]",
                 "PUSH:EVENTS.EVENTTYPEID Q5 EQUAL>8 PUSH:EVENTS.EVENTSTARTTIME T732006:0 "
                 "T732007:0 Q0 BETWEEN AND"},
        CodeCase{kEventQuery + "5 AND EventText1=\"A\" AND EventText2 IS NULL AND "
                               "EventParam1=1 AND EventParam2=2 AND EventStartTime BETWEEN "
                               "[\"2005/03/01 08:00:00,000\",\"2005/03/02 09:30:15,000\"]",
                 "PUSH:EVENTS.EVENTTYPEID Q5 EQUAL>6 PUSH:EVENTS.EVENTTEXT1 S'A' EQUAL AND>9 "
                 "PUSH:EVENTS.EVENTTEXT2 ISNULL AND>13 PUSH:EVENTS.EVENTPARAM1 Q1 EQUAL AND>17 "
                 "PUSH:EVENTS.EVENTPARAM2 Q2 EQUAL AND>23 PUSH:EVENTS.EVENTSTARTTIME "
                 "T732006:28800000 T732007:34215000 Q0 BETWEEN AND"},
        CodeCase{kEventQuery + "-1", "PUSH:EVENTS.EVENTTYPEID Q1 NEG EQUAL"},
        CodeCase{"select * from Pictures where EventID=42", "PUSH:PICTURES.EVENTID Q42 EQUAL"}));

TEST(StationStatements, FiltersTypedBadlyFailCleanly) {
    CSQLParser p(Recorder(), Syntax());
    EXPECT_FALSE(p.Compile((kEventQuery + "5 AND EventParam2=12ab").c_str()));
    EXPECT_EQ(ErrorOf(p), "NumSyntax@" + std::to_string(kEventQuery.size() + 18) + " UPPER");
    EXPECT_FALSE(p.Compile((kEventQuery + "5 AND EventText1=\"say \"hi\"\"").c_str()));
    EXPECT_EQ(p.ErrorReport().code, peInvalidCmdEnd);
}

TEST(StationStatements, EventTypeQueryHandsItsCriterionToTheTable) {
    CSQLParser p(Recorder(), Syntax());
    ASSERT_TRUE(p.Compile("select * from EventTypes with EventTypes.EventActive <> 0"));
    const CLinkLists& q = p.Links();
    ASSERT_EQ(q.CriterionCount(), 1);
    const CWithCrit& c = q.Criterion(0);
    EXPECT_TRUE(c.handedToLink);
    EXPECT_EQ(c.op, coNotEqual);
    EXPECT_EQ(c.current.intValue, 0);
    EXPECT_EQ(c.tableName, "EVENTTYPES");
    EXPECT_EQ(c.fieldName, "EVENTACTIVE");
    ASSERT_EQ(q.TableCount(), 1);
    ASSERT_EQ(q.Link(0).Criteria().size(), 1u);
    EXPECT_EQ(q.Link(0).Criteria()[0].field, c.field);
    EXPECT_EQ(q.ResultColumns().size(), 6u);
    EXPECT_EQ(p.Scanner().WithClause(), "EventTypes.EventActive <> 0  ");
}

TEST(StationStatements, EventQueryColumns) {
    CSQLParser p(Recorder(), Syntax());
    ASSERT_TRUE(p.Compile((kEventQuery + "7").c_str()));
    const auto& cols = p.Links().ResultColumns();
    ASSERT_EQ(cols.size(), 11u);
    EXPECT_EQ(cols[0].fieldName, "EVENTID");
    EXPECT_EQ(cols[10].fieldName, "EVENTDATA");
    EXPECT_EQ(cols[10].type, kTypeBlobRef);
    EXPECT_EQ(cols[10].keyFlags, 0);
    const CTableLink& events = p.Links().Link(0);
    EXPECT_EQ(cols[10].rowBuffer, events.RowBuffer());
    EXPECT_EQ(cols[10].storage, events.RowBuffer() + 232);
    EXPECT_EQ(cols[8].strSize, 32u);
    EXPECT_EQ(events.BufferSize(), 252u);
    EXPECT_EQ(events.position, kBeforeFirst);
}

// ---- the query description ------------------------------------------------------

TEST(QueryDescription, FieldWithoutTableResolvesToTheLastFromTable) {
    CSQLParser p(Recorder(), Syntax());
    ASSERT_TRUE(p.Compile("SELECT EventID FROM EVENTS, PICTURES WHERE EventID = 1 "
                          "ORDER BY EventID"));
    const CLinkLists& q = p.Links();
    ASSERT_EQ(q.SelectFields().size(), 1u);
    EXPECT_EQ(q.SelectFields()[0].table->name, "PICTURES");
    EXPECT_EQ(q.WhereFields()[0].table->name, "PICTURES");
    EXPECT_EQ(q.OrderFields()[0].table->name, "PICTURES");
    EXPECT_EQ(Code(p), "PUSH:PICTURES.EVENTID Q1 EQUAL");
    ASSERT_TRUE(p.Compile("SELECT EVENTS.EventID FROM EVENTS, PICTURES"));
    EXPECT_EQ(p.Links().SelectFields()[0].table->name, "EVENTS");
}

TEST(QueryDescription, ListsKeepEachFieldOnceInFirstOrder) {
    CSQLParser p(Recorder(), Syntax());
    ASSERT_TRUE(p.Compile("SELECT PicTime, PICTURES.*, PicID FROM PICTURES, EVENTS WHERE "
                          "PicID = PicID OR PICTURES.PicID > 2 ORDER BY PicTime DESC, "
                          "PICTURES.PicTime ASC, PicID"));
    const CLinkLists& q = p.Links();
    ASSERT_EQ(q.SelectFields().size(), 14u);
    EXPECT_EQ(q.SelectFields()[0].field->name, "PICTIME");
    EXPECT_EQ(q.SelectFields()[1].field->name, "PICID");
    EXPECT_EQ(q.WhereFields().size(), 1u);
    ASSERT_EQ(q.OrderFields().size(), 2u);
    EXPECT_FALSE(q.OrderFields()[0].ascending) << "the second entry is ignored with its direction";
    EXPECT_TRUE(q.OrderFields()[1].ascending);
}

TEST(QueryDescription, SelectAllTakesTablesInFromOrder) {
    CSQLParser p(Recorder(), Syntax());
    ASSERT_TRUE(p.Compile("SELECT * FROM RINGBUFFERS, RECORDERS, RINGBUFFERS"));
    const auto& cols = p.Links().ResultColumns();
    ASSERT_EQ(p.Links().TableCount(), 2);
    ASSERT_EQ(cols.size(), 7u);
    EXPECT_EQ(cols[0].tableName + "." + cols[0].fieldName, "RINGBUFFERS.RINGID");
    EXPECT_EQ(cols[4].tableName + "." + cols[4].fieldName, "RECORDERS.RECORDERID");
    EXPECT_EQ(cols[4].tableNo, 6u);
    EXPECT_EQ(cols[6].storage, p.Links().Link(1).RowBuffer() + 77);
}

TEST(QueryDescription, JoinsAreRecordedAndOrdered) {
    for (const char* sql :
         {"SELECT * FROM PICTURES JOIN EVENTS ON PICTURES.EventID = EVENTS.EventID",
          "SELECT * FROM EVENTS JOIN PICTURES ON EVENTS.EventID = PICTURES.EventID"}) {
        CSQLParser p(Recorder(), Syntax());
        ASSERT_TRUE(p.Compile(sql)) << ErrorOf(p);
        const CLinkLists& q = p.Links();
        ASSERT_EQ(q.JoinCount(), 1);
        const CJoin& j = q.Join(0);
        EXPECT_EQ(j.keyLink->Table().name + "." + j.keyField->name, "EVENTS.EVENTID");
        EXPECT_EQ(j.refLink->Table().name + "." + j.refField->name, "PICTURES.EVENTID");
        EXPECT_EQ(j.mode, 0);
        EXPECT_EQ(q.Link(0).Table().name, "PICTURES") << sql;
        EXPECT_EQ(q.Link(1).Table().name, "EVENTS") << sql;
    }
    CSQLParser p(Recorder(), Syntax());
    ASSERT_TRUE(p.Compile("SELECT * FROM RINGBUFFERS, EVENTS LEFT JOIN EVENTTYPES ON "
                          "EVENTTYPES.EventTypeID = EVENTS.EventTypeID, PICTURES RIGHT "
                          "OUTER JOIN EVENTS ON PICTURES.EventID = EVENTS.EventID"));
    const CLinkLists& q = p.Links();
    ASSERT_EQ(q.JoinCount(), 2);
    EXPECT_EQ(q.Join(0).mode, 1);
    EXPECT_EQ(&q.Join(0).beforeJoin->Table(), Recorder().FindTable("EVENTS"));
    EXPECT_EQ(q.Join(1).mode, 2);
    EXPECT_EQ(&q.Join(1).beforeJoin->Table(), Recorder().FindTable("PICTURES"));
    // Referencing tables first, unjoined tables after them in FROM order.
    std::string order;
    for (int32_t i = 0; i < q.TableCount(); ++i)
        order += q.Link(i).Table().name + " ";
    EXPECT_EQ(order, "PICTURES EVENTS EVENTTYPES RINGBUFFERS ");
    // Result columns follow their links through the reordering.
    EXPECT_EQ(q.ResultColumns()[0].tableName, "RINGBUFFERS");
    EXPECT_EQ(q.ResultColumns()[0].rowBuffer, q.FindLink("RINGBUFFERS")->RowBuffer());
}

TEST(QueryDescription, KeyToKeyJoinPutsTheKeySideLater) {
    CSQLParser p(Recorder(), Syntax());
    ASSERT_TRUE(p.Compile("SELECT * FROM EVENTS JOIN LOCKEVENTS ON EVENTS.EventID = "
                          "LOCKEVENTS.EventID"));
    const CJoin& j = p.Links().Join(0);
    EXPECT_EQ(p.Links().Link(0).Table().name, "EVENTS");
    EXPECT_EQ(j.keyLink->Table().name, "LOCKEVENTS");
    EXPECT_EQ(j.refLink->Table().name, "EVENTS");
}

TEST(QueryDescription, WithCriteriaAsWritten) {
    CSQLParser p(Recorder(), Syntax());
    ASSERT_TRUE(p.Compile("SELECT * FROM EVENTS WITH EVENTS.EventKind NOT BETWEEN (-5, 7] AND "
                          "EVENTS.EventID IN (1, 4 TO 9) AND EVENTS.EventStartTime >= "
                          "\"2005/03/18 10:00:00\" AND EVENTS.EventDouble1 < -2 AND "
                          "EVENTS.EventText1 IS NOT NULL"));
    const CLinkLists& q = p.Links();
    ASSERT_EQ(q.CriterionCount(), 5);
    const CWithCrit& between = q.Criterion(0);
    EXPECT_EQ(between.op, 8 + 4 + 2);
    EXPECT_EQ(between.lower.intValue, -5);
    EXPECT_EQ(between.upper.intValue, 7);
    const CWithCrit& in = q.Criterion(1);
    EXPECT_EQ(in.op, coIn);
    ASSERT_EQ(in.inValues.size(), 1u);
    ASSERT_EQ(in.inRanges.size(), 1u);
    EXPECT_EQ(in.inRanges[0].lower.intValue, 4);
    EXPECT_EQ(in.inRanges[0].upper.intValue, 9);
    EXPECT_EQ(static_cast<uint64_t>(q.Criterion(2).current.intValue),
              uint64_t(732023) << 32 | 36000000);
    EXPECT_EQ(q.Criterion(3).current.floatValue, -2.0);
    EXPECT_EQ(q.Criterion(4).op, coIsNotNull);
    EXPECT_EQ(q.Link(0).Criteria().size(), 5u);
    EXPECT_EQ(p.PCode().Count(), 0);
}

TEST(QueryDescription, NotOptKeepsCriteriaInThePCode) {
    CSQLParser p(Recorder(), Syntax());
    ASSERT_TRUE(p.Compile("NOTOPT SELECT * FROM EVENTS WITH EVENTS.EventID = 3"));
    EXPECT_FALSE(p.Links().optimise);
    EXPECT_TRUE(p.Links().Link(0).Criteria().empty());
    EXPECT_EQ(Code(p), "PUSH:EVENTS.EVENTID Q3 EQUAL");
    ASSERT_EQ(p.Links().WhereFields().size(), 1u);
}

TEST(QueryDescription, RecompileStartsAfresh) {
    CSQLParser p(Recorder(), Syntax());
    ASSERT_FALSE(p.Compile("SELECT * FROM PICTURES WHERE NoSuch = 1"));
    ASSERT_TRUE(p.Compile("SELECT * FROM EVENTS"));
    EXPECT_EQ(p.Links().TableCount(), 1);
    EXPECT_EQ(p.ErrorReport().code, peNoErr);
    EXPECT_STREQ(p.ErrorReport().message, "");
}

// ---- error report texts --------------------------------------------------------------

TEST(ErrorReport, MessageFormat) {
    CSQLParser p(Recorder(), Syntax());
    ASSERT_FALSE(p.Compile("SELECT * FROM"));
    EXPECT_STREQ(p.ErrorReport().message,
                 "Error: class=ParserErrors, type=Syntax, parameters=IDENT(Expected Token), "
                 "9(Position)");
    ASSERT_FALSE(p.Compile("SELECT * FROM PICTURES WHERE PicID || 1"));
    EXPECT_STREQ(p.ErrorReport().message,
                 "Error: class=ParserErrors, type=IncompTypes, parameters=INTNUMB(Expected Token), "
                 "38(Position)");
    EXPECT_EQ(p.ErrorReport().zero, 0);
}

TEST(ErrorReport, NamesAndTexts) {
    TSQLErrorReport r;
    SetErrorReport(&r, peEofSource, tkIdent, 5);
    EXPECT_STREQ(r.message, "");
    SetErrorReport(&r, peNoErr, tkIdent, 5);
    EXPECT_EQ(r.position, 0u);
    EXPECT_EQ(r.expected, 0);
    SetErrorReport(&r, peCritical, tkEnd, 0);
    EXPECT_STREQ(r.message, "Error: class=ParserErrors, type=Critical, parameters=NULL(Expected "
                            "Token), 0(Position)");
    const char* names[] = {
        "Critical",     "StackUndrflw", "StackError",  "Str",           "IdentLen",
        "UnknownChar",  "NumSyntax",    "NumOverflow", "InvalidCmdEnd", "InvalRsltType",
        "IncompTypes",  "DaTiSyntax",   "DaTiVal",     "InvalidField",  "InvalSelField",
        "UnknownTable", "JoinErr1",     "JoinErr2",    "MissPrimKey",   "DuplicJoin",
        "InvalJoin",    "WrongOuter",   "OuterJoin",   "InvalBookmark", "Bookm2Big",
        "Syntax",       "NoIndex",      "MissOperand", "InvalCurHan",   "NotExecAble",
        "WrongBlobRef", "MissWhere",    "StopExec",    "NoErr",         "EofSource"};
    for (uint8_t i = 0; i <= peEofSource; ++i)
        EXPECT_STREQ(ErrorName(i), names[i]);
    EXPECT_STREQ(TokenName(tkConcat), "||");
    EXPECT_STREQ(TokenName(tkNotOpt), "NOTOPT");
    EXPECT_STREQ(TokenName(tkEmpty), "EMPTY");
    EXPECT_STREQ(TokenName(tkFloatNumber), "FLTNUMB");
}

// ---- diagnostic dumps ---------------------------------------------------------------------

class Dumps : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/kdm-sql-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
        m_file = m_dir + "/dump.kdm";
        SetEngineDiagnosticsFile(m_file);
        SetEngineDiagnostics(true);
    }
    void TearDown() override {
        SetEngineDiagnostics(false);
        SetEngineDiagnosticsFile("");
        std::remove(m_file.c_str());
        std::remove((m_dir + "/debug.kdm").c_str());
        rmdir(m_dir.c_str());
    }
    std::string Read(const std::string& path) const {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string m_dir, m_file;
};

const std::string kRule(80, '-');

TEST_F(Dumps, CompileStateOfAFailedStatement) {
    CSQLParser p(Recorder(), Syntax());
    p.Compile("SELECT * FROM PICTURES WHERE PicID = ");
    std::string text = Read(m_file);
    std::string state = kRule + "\nSOURCE AND COMPILE STATE\n" + kRule +
                        "\nSELECT * FROM PICTURES WHERE PicID = \n\n"
                        "COMPILE STATE:  Error: Syntax discovered at Position: 35\n\n"
                        "SELECT * FROM PICTURES WHERE PicID !\n\n"
                        "EXPECTED TOKEN: UPPER\n\n" +
                        kRule + "\nEND OF SOURCE\n" + kRule + "\n";
    EXPECT_NE(text.find(state), std::string::npos) << text;
    EXPECT_EQ(text.find(kRule + "\nKDM SQL Database Structure\n"), 0u) << "catalogue first";
    EXPECT_NE(text.find("Listing\n"), std::string::npos);
}

TEST_F(Dumps, ListingAndFieldLists) {
    CSQLParser p(Recorder(), Syntax());
    ASSERT_TRUE(p.Compile("SELECT EventID, PicID FROM PICTURES JOIN EVENTS ON PICTURES.EventID = "
                          "EVENTS.EventID WHERE EventText1 = \"a\" AND EventStartTime < "
                          "\"2005/03/18 10:00:00,5\" OR EventDouble1 = 2.5 OR TRUE ORDER BY "
                          "PicID DESC"));
    std::string text = Read(m_file);
    EXPECT_NE(text.find("COMPILE STATE:  OK\n" + kRule + "\nEND OF SOURCE\n"), std::string::npos);
    std::string listing =
        kRule + "\nListing\n" + kRule +
        "\nPC     Short  OpCode  Type        Value/ID  TableName        FieldName\n"
        "==     =====  ======  ====        ========  =========        =========\n\n"
        "000000        PUSH    KDMVARCHAR  [000033]  EVENTS           EVENTTEXT1       \n"
        "000001        PUSHC   KDMVARCHAR  a\n"
        "000002 000006 EQUAL\n"
        "000003        PUSH    KDMDATETIME [000017]  EVENTS           EVENTSTARTTIME   \n"
        "000004        PUSHC   KDMDATETIME 732023:36000005(2005/03/18 10:00:00,005)\n"
        "000005        LOWER\n"
        "000006 000010 AND\n"
        "000007        PUSH    DOUBLE      [000029]  EVENTS           EVENTDOUBLE1     \n"
        "000008        PUSHC   DOUBLE      2.500000E+00\n"
        "000009        EQUAL\n"
        "000010 000012 OR\n"
        "000011        PUSHC   BOOL        TRUE\n"
        "000012        OR\n" +
        kRule + "\nEnd Listing\n" + kRule + "\n";
    EXPECT_NE(text.find(listing), std::string::npos) << text;
    std::string lists = kRule +
                        "\nField/table lists of select command\n"
                        "Select fields\n"
                        "Table name              Field name              Field ID\n"
                        "EVENTS                  EVENTID                 14\n"
                        "PICTURES                PICID                   0\n" +
                        kRule +
                        "\nWhere fields\n"
                        "Table name              Field name              Field ID\n"
                        "EVENTS                  EVENTTEXT1              33\n"
                        "EVENTS                  EVENTSTARTTIME          17\n"
                        "EVENTS                  EVENTDOUBLE1            29\n" +
                        kRule +
                        "\nOder by fields\n"
                        "Table name              Field name              Field ID\n"
                        "PICTURES                PICID                   0\n" +
                        kRule + "\nFrom tables\nPICTURES\nEVENTS\n" + kRule +
                        "\nJoins\nTable.Field (PrimKey)   Table.Field (Joined)\n"
                        "EVENTS.EVENTID          PICTURES.EVENTID\n" +
                        kRule + "\n";
    EXPECT_NE(text.find(lists), std::string::npos) << text;
}

TEST_F(Dumps, ListingOfConstants) {
    CSQLParser p(Recorder(), Syntax());
    ASSERT_TRUE(p.Compile("SELECT * FROM EVENTS WHERE EventKind IN (-2) AND FALSE = TRUE"));
    std::string listing = p.ListingText();
    EXPECT_NE(listing.find("000001        PUSHC   KDMQWORD    18446744073709551614\n"),
              std::string::npos)
        << listing;
    EXPECT_NE(listing.find("000005        PUSHC   BOOL        FALSE\n"), std::string::npos);
    EXPECT_NE(listing.find("000004 000008 IN\n"), std::string::npos);
}

TEST_F(Dumps, SwitchOffWritesNothingAndDefaultFileIsInTheCurrentDirectory) {
    SetEngineDiagnostics(false);
    CSQLParser p(Recorder(), Syntax());
    p.Compile("SELECT * FROM PICTURES");
    EXPECT_EQ(Read(m_file), "");

    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(m_dir.c_str()), 0);
    SetEngineDiagnosticsFile("");
    SetEngineDiagnostics(true);
    p.Compile("SELECT * FROM PICTURES");
    p.Compile("SELECT * FROM PICTURES");
    std::string text = Read("debug.kdm");
    ASSERT_EQ(chdir(old), 0);
    size_t first = text.find("SOURCE AND COMPILE STATE");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(text.find("SOURCE AND COMPILE STATE", first + 1), std::string::npos)
        << "appended, not rewritten";
}

} // namespace
} // namespace kdm::sql

namespace kdm::sql {
namespace {

// A table with the column types the recorder schema lacks.
bool TypesTable(void*, uint32_t no, TTableInfo* info) {
    if (no > 0)
        return false;
    std::snprintf(info->name, sizeof info->name, "T");
    info->recordSize = 40;
    return true;
}
bool TypesField(void*, uint32_t id, TFieldInfo* info) {
    struct F {
        const char* name;
        uint32_t type;
        uint32_t offset;
        uint8_t key;
    };
    static const F fields[] = {{"K", kTypeHugeInt, 0, 3}, {"S", kTypeSmallInt, 9, 1},
                               {"W", kTypeWord, 12, 1},   {"F", kTypeFloat, 15, 1},
                               {"B", kTypeBool, 20, 1},   {"Q", kTypeQWord, 22, 1}};
    if (id >= std::size(fields))
        return false;
    std::snprintf(info->tableName, sizeof info->tableName, "T");
    std::snprintf(info->fieldName, sizeof info->fieldName, "%s", fields[id].name);
    info->type = fields[id].type;
    info->offset = fields[id].offset;
    info->keyFlags = fields[id].key;
    info->fieldNo = id;
    return true;
}

TEST(OtherColumnTypes, WithRangesAndConversions) {
    TCBDatabaseEngine engine{};
    engine.size = sizeof engine;
    engine.GetTableInfo = TypesTable;
    engine.GetFieldInfo = TypesField;
    CDatabaseStructure db(engine);
    CSQLParser p(db, Syntax());
    struct Case {
        const char* with;
        uint8_t error;
    } cases[] = {
        {"T.S = -32767", peNoErr},    {"T.S = -32768", peNumOverflow},
        {"T.S = 32767", peNoErr},     {"T.S = 32768", peNumOverflow},
        {"T.W = 65535", peNoErr},     {"T.W = 65536", peNumOverflow},
        {"T.W = -1", peNumOverflow},  {"T.F = 1.5", peNoErr},
        {"T.F = -2", peNoErr},        {"T.B = 1", peIncompTypes},
        {"T.B IS NULL", peNoErr},     {"T.Q = -5", peNoErr},
        {"T.Q = 1.5", peIncompTypes},
    };
    for (const Case& c : cases) {
        std::string sql = std::string("NOTOPT SELECT * FROM T WITH ") + c.with;
        p.Compile(sql.c_str());
        EXPECT_EQ(p.ErrorReport().code, c.error) << c.with;
    }
    ASSERT_TRUE(p.Compile("NOTOPT SELECT * FROM T WITH T.F = -2"));
    EXPECT_EQ(p.PCode().Cmd(1).type, kTypeDouble);
    EXPECT_EQ(p.PCode().Cmd(1).DoubleValue(), -2.0);
    ASSERT_TRUE(p.Compile("SELECT * FROM T WHERE B = TRUE AND NOT B AND Q - S > F"));
}

TEST(OtherColumnTypes, EmptyCatalogueKnowsNothing) {
    TCBDatabaseEngine engine{};
    engine.size = sizeof engine;
    CDatabaseStructure db(engine);
    CSQLParser p(db, Syntax());
    EXPECT_FALSE(p.Compile("SELECT * FROM PICTURES"));
    EXPECT_EQ(p.ErrorReport().code, peUnknownTable);
    EXPECT_FALSE(p.Compile("SELECT PicID FROM PICTURES"));
    EXPECT_EQ(p.ErrorReport().code, peInvalidField);
}

} // namespace
} // namespace kdm::sql
