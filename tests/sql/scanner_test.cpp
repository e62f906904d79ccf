#include "sql/sql_scanner.h"

#include <gtest/gtest.h>

#include <string>

namespace kdm::sql {
namespace {

const CSQLSyntax& Syntax() {
    static const CSQLSyntax syntax;
    return syntax;
}

// The tokens of a text as "TOKEN(text)" words, then the final state and
// the position of the last token: "IDENT(A) = INTNUMB(1) | EofSource@4".
std::string Scan(const std::string& text) {
    CSQLScanner scanner(Syntax());
    scanner.SetSource(text.c_str());
    std::string out;
    for (int guard = 0; guard < 10000; ++guard) {
        TSQLToken t;
        scanner.NextToken(&t);
        if (t.code == tkEnd)
            break;
        if (!out.empty())
            out += ' ';
        out += TokenName(t.code);
        if (t.code == tkIdent || t.code == tkString)
            out += std::string("(") + t.text + ")";
        else if (t.code == tkIntNumber)
            out += "(" + std::to_string(t.intValue) + ")";
        else if (t.code == tkFloatNumber)
            out += "(" + std::to_string(t.floatValue) + ")";
    }
    uint8_t state;
    uint32_t position;
    scanner.GetState(&state, &position);
    return out + " | " + ErrorName(state) + "@" + std::to_string(position);
}

struct ScanCase {
    std::string text;
    std::string tokens;
};

void PrintTo(const ScanCase& c, std::ostream* os) {
    *os << c.text.substr(0, 40);
}

class ScannerTokens : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScannerTokens, Tokens) {
    EXPECT_EQ(Scan(GetParam().text), GetParam().tokens) << GetParam().text;
}

const std::string k32(32, 'q');
const std::string k255(255, 's');

INSTANTIATE_TEST_SUITE_P(
    Table, ScannerTokens,
    ::testing::Values(
        ScanCase{"select * from Pictures where PicID=1",
                 "SELECT * FROM IDENT(PICTURES) WHERE IDENT(PICID) = INTNUMB(1) | EofSource@35"},
        ScanCase{"SELECT * FROM PICTURES WHERE PICID=1",
                 "SELECT * FROM IDENT(PICTURES) WHERE IDENT(PICID) = INTNUMB(1) | EofSource@35"},
        ScanCase{"notopt Inner count Min max AVG extractMsec between",
                 "NOTOPT INNER COUNT MIN MAX AVG EXTRACTMSEC BETWEEN | EofSource@43"},
        ScanCase{"a<>b<=c>=d||e", "IDENT(A) <> IDENT(B) <= IDENT(C) >= IDENT(D) || IDENT(E) | "
                                  "EofSource@12"},
        ScanCase{"< > <", "< > < | EofSource@4"},
        ScanCase{"(a.b,[c])+-*/", "( IDENT(A) . IDENT(B) , [ IDENT(C) ] ) + - * / | EofSource@12"},
        ScanCase{"a | b", "IDENT(A) | UnknownChar@2"}, ScanCase{"a |", "IDENT(A) | UnknownChar@2"},
        ScanCase{"a @", "IDENT(A) | UnknownChar@2"},
        ScanCase{"a \xC3\xA4", "IDENT(A) | UnknownChar@2"},
        ScanCase{"a\tb\r\nc", "IDENT(A) IDENT(B) IDENT(C) | EofSource@5"},
        ScanCase{"x" + k32.substr(1), "IDENT(X" + std::string(31, 'Q') + ") | EofSource@0"},
        ScanCase{"ab " + k32 + "q", "IDENT(AB) | IdentLen@3"},
        ScanCase{"_a1_ b2", "IDENT(_A1_) IDENT(B2) | EofSource@5"},
        // integers
        ScanCase{"9223372036854775807", "INTNUMB(9223372036854775807) | EofSource@0"},
        ScanCase{"0009223372036854775807", "INTNUMB(9223372036854775807) | EofSource@0"},
        ScanCase{"x 9223372036854775808", "IDENT(X) | NumOverflow@2"},
        ScanCase{"99999999999999999999", " | NumOverflow@0"},
        ScanCase{"-5", "- INTNUMB(5) | EofSource@1"}, ScanCase{"0x", "INTNUMB(0) | EofSource@0"},
        ScanCase{"0xFFFFFFFFFFFFFFFF", "INTNUMB(-1) | EofSource@0"},
        ScanCase{"0x7fffffffffffffff", "INTNUMB(9223372036854775807) | EofSource@0"},
        ScanCase{"0x0001eE", "INTNUMB(494) | EofSource@0"},
        ScanCase{"0x1FFFFFFFFFFFFFFFF", " | NumOverflow@0"},
        ScanCase{"0x00000000000000000001", "INTNUMB(1) | EofSource@0"},
        ScanCase{"1x5", " | NumSyntax@0"}, ScanCase{"0X5", " | NumSyntax@0"},
        ScanCase{"0x1g", " | NumSyntax@0"}, ScanCase{"12abc", " | NumSyntax@0"},
        ScanCase{"12_", " | NumSyntax@0"}, ScanCase{"12.", " | NumSyntax@0"},
        ScanCase{"1.2.3", " | NumSyntax@0"}, ScanCase{"1E", " | NumSyntax@0"},
        ScanCase{".5", ". INTNUMB(5) | EofSource@1"},
        ScanCase{"7,8)", "INTNUMB(7) , INTNUMB(8) ) | EofSource@3"},
        // floating point
        ScanCase{"1E400", " | NumOverflow@0"},
        ScanCase{"1E5", "FLTNUMB(100000.000000) | EofSource@0"},
        ScanCase{"1.5E-3 1.5e+3 2.25", "FLTNUMB(0.001500) FLTNUMB(1500.000000) FLTNUMB(2.250000) | "
                                       "EofSource@14"},
        ScanCase{"1E-400", "FLTNUMB(0.000000) | EofSource@0"},
        ScanCase{"1" + std::string(255, '0'), " | NumSyntax@0"},
        // strings
        ScanCase{"\"" + k255 + "\"", "STR(" + k255 + ") | EofSource@0"},
        ScanCase{"\"" + k255 + "s\"", " | Str@0"}, ScanCase{"a \"open", "IDENT(A) | Str@2"},
        ScanCase{"\"a\tb\"", "STR(a b) | EofSource@0"},
        ScanCase{"\"\" \"x\"", "STR() STR(x) | EofSource@3"},
        ScanCase{"\"\xC3\xA4 it's\"", "STR(\xC3\xA4 it's) | EofSource@0"},
        ScanCase{"", " | EofSource@0"}, ScanCase{"   ", " | EofSource@0"}));

TEST(Scanner, NoSourceIsTheEnd) {
    CSQLScanner scanner(Syntax());
    scanner.SetSource(nullptr);
    TSQLToken t;
    scanner.NextToken(&t);
    EXPECT_EQ(t.code, tkEnd);
    EXPECT_EQ(scanner.State(), peEofSource);
}

TEST(Scanner, NulCutsTheText) {
    const char text[] = "SELECT\0 FROM";
    EXPECT_EQ(Scan(std::string(text, sizeof text - 1).c_str()), "SELECT | EofSource@0");
}

TEST(Scanner, NumberValues) {
    CSQLScanner scanner(Syntax());
    scanner.SetSource("1.5e+3 0x8000000000000000");
    TSQLToken t;
    scanner.NextToken(&t);
    EXPECT_EQ(t.code, tkFloatNumber);
    EXPECT_EQ(t.floatValue, 1.5E3);
    scanner.NextToken(&t);
    EXPECT_EQ(t.code, tkIntNumber);
    EXPECT_EQ(static_cast<uint64_t>(t.intValue), 0x8000000000000000u);
}

TEST(Scanner, SetSourceResets) {
    CSQLScanner scanner(Syntax());
    scanner.SetSource("a @ b");
    TSQLToken t;
    scanner.NextToken(&t);
    scanner.NextToken(&t);
    EXPECT_EQ(scanner.State(), peUnknownChar);
    scanner.SetSource("b");
    scanner.NextToken(&t);
    EXPECT_EQ(t.code, tkIdent);
    EXPECT_STREQ(t.text, "B");
}

// ---- clauses ------------------------------------------------------------------------

struct Clauses {
    std::string select, from, where, order, with;
};

Clauses Cut(const char* text) {
    CSQLScanner scanner(Syntax());
    scanner.SetSource(text);
    TSQLToken t;
    do
        scanner.NextToken(&t);
    while (t.code != tkEnd);
    return {scanner.SelectClause(), scanner.FromClause(), scanner.WhereClause(),
            scanner.OrderClause(), scanner.WithClause()};
}

TEST(ScannerClauses, EveryClause) {
    Clauses c = Cut("SELECT EventID FROM EVENTS WHERE EventID = 1 ORDER BY EventID "
                    "WITH EVENTS.EventKind = 2");
    EXPECT_EQ(c.select, " EventID ");
    EXPECT_EQ(c.from, " EVENTS ");
    EXPECT_EQ(c.where, " EventID = 1 ");
    EXPECT_EQ(c.order, "BY EventID ");
    // The end of the text is read as blanks.
    EXPECT_EQ(c.with, "EVENTS.EventKind = 2  ");
}

TEST(ScannerClauses, WithoutWhere) {
    Clauses c = Cut("select * from EventTypes with EventTypes.EventActive <> 0");
    EXPECT_EQ(c.select, " * ");
    EXPECT_EQ(c.from, " EventTypes ");
    EXPECT_EQ(c.where, "");
    EXPECT_EQ(c.with, "EventTypes.EventActive <> 0  ");
    Clauses d = Cut("SELECT * FROM PICTURES ORDER BY PicID");
    EXPECT_EQ(d.from, " PICTURES ");
    EXPECT_EQ(d.order, "BY PicID  ");
}

TEST(ScannerClauses, KeywordsWithoutBlanks) {
    Clauses c = Cut("SELECT*FROM PICTURES WHERE(PicID=1)");
    EXPECT_EQ(c.select, "*");
    EXPECT_EQ(c.from, " PICTURES ");
    EXPECT_EQ(c.where, "(PicID=1) ");
}

TEST(ScannerClauses, KeywordsOutOfPlaceStayInBounds) {
    // Keywords in odd places and at the very end move nothing they do not have.
    for (const char* text : {"WITH", "ORDER", "FROM", "WHERE", "SELECT", "WITH WITH ORDER FROM",
                             "a FROM WHERE ORDER WITH SELECT", "SELECT SELECT SELECT FROM FROM"}) {
        Clauses c = Cut(text);
        size_t total =
            c.select.size() + c.from.size() + c.where.size() + c.order.size() + c.with.size();
        EXPECT_LE(total, std::string(text).size() + 3) << text;
    }
}

// ---- date/time literals --------------------------------------------------------------

struct DateCase {
    const char* text;
    uint8_t result;
    uint32_t day;
    uint32_t ms;
};

void PrintTo(const DateCase& c, std::ostream* os) {
    *os << c.text;
}

class DateTimeLiterals : public ::testing::TestWithParam<DateCase> {};

TEST_P(DateTimeLiterals, Parse) {
    const DateCase& c = GetParam();
    uint64_t value = 99;
    EXPECT_EQ(ParseDateTimeLiteral(Syntax(), c.text, &value), c.result) << c.text;
    if (c.result == peNoErr) {
        EXPECT_EQ(value >> 32, c.day) << c.text;
        EXPECT_EQ(value & 0xFFFFFFFF, c.ms) << c.text;
    } else {
        EXPECT_EQ(value, 0u);
    }
}

// 2003/04/07 is day 731312; 2005/03/18 is 345 + 366 days later.
INSTANTIATE_TEST_SUITE_P(
    Table, DateTimeLiterals,
    ::testing::Values(
        DateCase{"2005/03/18 10:00:00,000", peNoErr, 732023, 36000000},
        DateCase{"2003/04/07", peNoErr, 731312, 0}, DateCase{"2005/3/8", peNoErr, 732013, 0},
        DateCase{"7:05:00", peNoErr, 0, 25500000}, DateCase{"  10:00:00,5  ", peNoErr, 0, 36000005},
        DateCase{"2005/03/18    23:59:59,999", peNoErr, 732023, 86399999},
        DateCase{"2004/02/29", peNoErr, 731640, 0}, DateCase{"0000/00/00", peNoErr, 0, 0},
        DateCase{"2005/02/30", peDaTiVal, 0, 0}, DateCase{"2005/02/29", peDaTiVal, 0, 0},
        DateCase{"2005/13/01", peDaTiVal, 0, 0}, DateCase{"0000/03/01", peDaTiVal, 0, 0},
        DateCase{"24:00:00", peDaTiVal, 0, 0}, DateCase{"10:60:00", peDaTiVal, 0, 0},
        DateCase{"05/03/18", peDaTiSyntax, 0, 0}, DateCase{"10:00", peDaTiSyntax, 0, 0},
        DateCase{"", peDaTiSyntax, 0, 0}, DateCase{"   ", peDaTiSyntax, 0, 0},
        DateCase{"word", peDaTiSyntax, 0, 0}, DateCase{"2005/03/18x", peDaTiSyntax, 0, 0},
        DateCase{"2005/03/18 10:00:00,0001", peDaTiSyntax, 0, 0},
        DateCase{"2005-03-18", peDaTiSyntax, 0, 0}, DateCase{"12005/03/18", peDaTiSyntax, 0, 0}));

} // namespace
} // namespace kdm::sql
