// Statements as hostile input: huge, deeply nested, long lists, any bytes.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "sql/sql_parser.h"

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

std::string Repeat(const std::string& s, size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (size_t i = 0; i < n; ++i)
        out += s;
    return out;
}

const std::string kWhere = "SELECT * FROM PICTURES WHERE ";

TEST(HostileStatements, DeepParenthesesCompile) {
    CSQLParser p(Recorder(), Syntax());
    std::string sql = kWhere + Repeat("(", 50000) + "PicID = 1" + Repeat(")", 50000);
    ASSERT_TRUE(p.Compile(sql.c_str()));
    EXPECT_EQ(p.PCode().Count(), 3);
}

TEST(HostileStatements, UnbalancedParenthesesFail) {
    CSQLParser p(Recorder(), Syntax());
    std::string sql = kWhere + Repeat("(", 100000);
    EXPECT_FALSE(p.Compile(sql.c_str()));
    EXPECT_EQ(p.ErrorReport().code, peSyntax);
    EXPECT_EQ(p.ErrorReport().position, sql.size() - 1);
    sql = kWhere + "PicID = 1" + Repeat(")", 1000);
    EXPECT_FALSE(p.Compile(sql.c_str()));
    EXPECT_EQ(p.ErrorReport().code, peInvalidCmdEnd);
    EXPECT_EQ(p.ErrorReport().position, kWhere.size() + 9);
}

TEST(HostileStatements, LongChainsOfPrefixOperators) {
    CSQLParser p(Recorder(), Syntax());
    std::string sql = kWhere + Repeat("NOT ", 40000) + "TRUE";
    ASSERT_TRUE(p.Compile(sql.c_str()));
    EXPECT_EQ(p.PCode().Count(), 40001);
    sql = kWhere + Repeat("-", 40000) + "PicID = 1";
    ASSERT_TRUE(p.Compile(sql.c_str()));
    EXPECT_EQ(p.PCode().Count(), 40003);
    sql = kWhere + Repeat("PicID = 1 AND ", 7000) + "TRUE";
    ASSERT_TRUE(p.Compile(sql.c_str()));
    EXPECT_EQ(p.PCode().Cmd(2).shortCircuit, 3 + 3 + 0) << "left-assoc AND chain";
}

TEST(HostileStatements, ThousandsOfInItems) {
    CSQLParser p(Recorder(), Syntax());
    std::string items = "0";
    for (int i = 1; i < 5000; ++i)
        items += ", " + std::to_string(i) + (i % 7 == 0 ? " TO " + std::to_string(i * 2) : "");
    ASSERT_TRUE(p.Compile((kWhere + "PicID IN (" + items + ")").c_str()));
    const CPCodeMem& code = p.PCode();
    const CPCodeCmd& count = code.Cmd(code.Count() - 2);
    // 4286 single values and 714 ranges.
    EXPECT_EQ(count.value, 2u * 4286 + 3u * 714);
    EXPECT_EQ(code.Cmd(code.Count() - 1).opcode, opIn);

    std::string with = "NOTOPT SELECT * FROM PICTURES WITH PICTURES.PicID IN (" + items + ")";
    ASSERT_TRUE(p.Compile(with.c_str()));
    EXPECT_EQ(p.Links().Criterion(0).inValues.size(), 4286u);
    EXPECT_EQ(p.Links().Criterion(0).inRanges.size(), 714u);
}

TEST(HostileStatements, HugeTokensFailAtTheirStart) {
    CSQLParser p(Recorder(), Syntax());
    struct Case {
        std::string tail;
        uint8_t error;
    } cases[] = {
        {std::string(100000, 'a'), peIdentLen},
        {std::string(100000, '7'), peNumSyntax},
        {"\"" + std::string(100000, 's') + "\"", peStr},
        {std::string(100000, '|'), peSyntax},
    };
    for (const Case& c : cases) {
        std::string sql = kWhere + "PicID = 1 OR PicID = " + c.tail;
        EXPECT_FALSE(p.Compile(sql.c_str()));
        EXPECT_EQ(p.ErrorReport().code, c.error);
    }
    std::string sql = kWhere + "PicID = " + std::string(100000, 'a');
    p.Compile(sql.c_str());
    EXPECT_EQ(p.ErrorReport().position, kWhere.size() + 8);
}

TEST(HostileStatements, AnyBytesCompileOrFailWithAPosition) {
    std::mt19937 rng(20051);
    const std::string pieces[] = {
        "SELECT",  " * ",  "FROM", " PICTURES", " EVENTS",   " WHERE ", "PicID",
        "EventID", " = ",  "(",    ")",         ",",         "\"",      "1",
        "0x",      "IN",   " TO ", "BETWEEN",   "[",         "]",       " AND ",
        " OR ",    "NOT ", "WITH", "PICTURES.", "ORDER BY ", "JOIN",    " ON ",
        "\xFF",    "\x01", "||",   "-",         "DATE()",    "1.5E3",   "\"2005/03/18\""};
    CSQLParser p(Recorder(), Syntax());
    for (int round = 0; round < 3000; ++round) {
        std::string sql;
        int n = static_cast<int>(rng() % 40);
        for (int i = 0; i < n; ++i) {
            if (rng() % 5 == 0)
                sql += static_cast<char>(rng() % 255 + 1);
            else
                sql += pieces[rng() % std::size(pieces)];
        }
        bool ok = p.Compile(sql.c_str());
        const TSQLErrorReport& r = p.ErrorReport();
        EXPECT_EQ(ok, r.code == peNoErr);
        EXPECT_LE(r.position, sql.size()) << sql;
        EXPECT_LE(r.code, peEofSource);
        EXPECT_NE(r.code, peEofSource) << sql;
        if (ok)
            EXPECT_TRUE(p.PCode().Stack().Empty()) << sql;
        else
            EXPECT_NE(r.message[0], '\0');
    }
}

} // namespace
} // namespace kdm::sql
