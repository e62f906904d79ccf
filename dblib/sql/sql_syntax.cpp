#include "sql/sql_syntax.h"

#include "sql/sql_tokens.h"

namespace kdm::sql {

namespace {

struct Row {
    bool terminal;
    uint8_t token; // terminals
    int32_t sub;   // nonterminals
    int32_t next;
    int32_t alt;
    uint8_t action;
};

constexpr int32_t RET = kNoNode;
constexpr int32_t FAIL = kNoNode;

constexpr Row T(uint8_t token, int32_t next, int32_t alt, uint8_t action = 0) {
    return {true, token, kNoNode, next, alt, action};
}
constexpr Row R(int32_t sub, int32_t next, int32_t alt) {
    return {false, 0, sub, next, alt, 0};
}

// An EXTRACT... function at node b: keyword, "(", condition, ")".
#define KDM_EXTRACT(kw, b, alt, action)                                                            \
    T(kw, b + 1, alt), T(tkLParen, b + 2, FAIL), R(89, b + 3, FAIL), T(tkRParen, RET, FAIL, action)

constexpr Row kGraph[] = {
    // statement
    /*0*/ R(87, 1, FAIL),
    R(13, 2, FAIL),
    T(tkFrom, 3, FAIL),
    R(21, 4, FAIL),
    /*4*/ T(tkWhere, 5, 7),
    R(89, 6, FAIL),
    T(tkEmpty, 7, FAIL, 70),
    T(tkOrder, 8, 10),
    /*8*/ T(tkBy, 9, FAIL),
    R(39, 10, FAIL),
    T(tkWith, 11, 12, 84),
    R(47, RET, FAIL),
    /*12*/ T(tkEmpty, RET, FAIL),
    // select list
    /*13*/ T(tkStar, RET, 14, 65),
    T(tkIdent, 15, FAIL, 49),
    T(tkDot, 16, 18),
    /*16*/ T(tkStar, 17, 19, 69),
    T(tkComma, 14, 20),
    T(tkEmpty, 17, FAIL, 67),
    /*19*/ T(tkIdent, 17, FAIL, 68),
    T(tkEmpty, RET, FAIL),
    // from list
    /*21*/ T(tkIdent, 22, FAIL, 54),
    T(tkLeft, 24, 23, 60),
    T(tkRight, 24, 24, 61),
    /*24*/ T(tkOuter, 25, 25, 64),
    T(tkJoin, 27, 26, 62),
    T(tkEmpty, 28, FAIL, 63),
    /*27*/ R(30, 28, FAIL),
    T(tkComma, 21, 29),
    T(tkEmpty, RET, FAIL, 66),
    // join condition
    /*30*/ T(tkIdent, 31, FAIL, 55),
    T(tkOn, 32, FAIL),
    T(tkIdent, 33, FAIL, 56),
    /*33*/ T(tkDot, 34, FAIL),
    T(tkIdent, 35, FAIL, 57),
    T(tkEqual, 36, FAIL),
    /*36*/ T(tkIdent, 37, FAIL, 58),
    T(tkDot, 38, FAIL),
    T(tkIdent, RET, FAIL, 59),
    // order list
    /*39*/ T(tkIdent, 40, FAIL, 49),
    T(tkDot, 41, 42),
    T(tkIdent, 42, FAIL, 50),
    /*42*/ T(tkAsc, 43, 45, 51),
    T(tkEmpty, 44, FAIL, 53),
    T(tkComma, 39, 46),
    /*45*/ T(tkDesc, 43, 43, 52),
    T(tkEmpty, RET, FAIL),
    // with list
    /*47*/ T(tkIdent, 48, FAIL, 85),
    T(tkDot, 49, FAIL),
    T(tkIdent, 50, FAIL, 86),
    /*50*/ R(62, 51, 52),
    R(68, 60, FAIL),
    T(tkIs, 53, 55, 94),
    /*53*/ T(tkNot, 54, 54, 95),
    T(tkNull, 60, FAIL),
    T(tkNot, 56, 56, 96),
    /*56*/ T(tkIn, 57, 58, 97),
    R(79, 60, FAIL),
    T(tkBetween, 59, FAIL, 98),
    /*59*/ R(72, 60, FAIL),
    T(tkAnd, 47, 61, 87),
    T(tkEmpty, RET, FAIL, 104),
    // with operator
    /*62*/ T(tkEqual, RET, 63, 88),
    T(tkNotEqual, RET, 64, 89),
    T(tkLessEqual, RET, 65, 90),
    /*65*/ T(tkGreaterEqual, RET, 66, 91),
    T(tkLess, RET, 67, 92),
    T(tkGreater, RET, FAIL, 93),
    // with value
    /*68*/ T(tkString, RET, 69, 101),
    T(tkMinus, 70, 70, 105),
    T(tkIntNumber, RET, 71, 101),
    /*71*/ T(tkFloatNumber, RET, FAIL, 101),
    // with range
    /*72*/ T(tkLParen, 73, 77, 99),
    R(68, 74, FAIL),
    T(tkComma, 75, FAIL, 102),
    /*75*/ R(68, 76, FAIL),
    T(tkRParen, RET, 78, 100),
    T(tkLBracket, 73, FAIL),
    /*78*/ T(tkRBracket, RET, FAIL, 103),
    // with IN list
    /*79*/ T(tkLParen, 80, FAIL),
    R(68, 81, FAIL),
    T(tkTo, 82, 85, 108),
    /*82*/ R(68, 83, FAIL),
    T(tkEmpty, 84, FAIL, 107),
    T(tkComma, 80, 86),
    /*85*/ T(tkEmpty, 84, FAIL, 106),
    T(tkRParen, RET, FAIL),
    // NOTOPT SELECT
    /*87*/ T(tkNotOpt, 88, 88, 109),
    T(tkSelect, RET, FAIL),
    // condition
    /*89*/ R(94, 90, FAIL),
    T(tkOr, 91, 93),
    R(94, 92, FAIL),
    /*92*/ T(tkEmpty, 90, FAIL, 15),
    T(tkEmpty, RET, FAIL),
    // and-term
    /*94*/ R(99, 95, FAIL),
    T(tkAnd, 96, 98),
    R(99, 97, FAIL),
    /*97*/ T(tkEmpty, 95, FAIL, 16),
    T(tkEmpty, RET, FAIL),
    // comparison
    /*99*/ R(130, 100, FAIL),
    T(tkEqual, 101, 103),
    R(130, 102, FAIL),
    /*102*/ T(tkEmpty, RET, FAIL, 17),
    T(tkLess, 104, 106),
    R(130, 105, FAIL),
    /*105*/ T(tkEmpty, RET, FAIL, 18),
    T(tkGreater, 107, 109),
    R(130, 108, FAIL),
    /*108*/ T(tkEmpty, RET, FAIL, 19),
    T(tkLessEqual, 110, 112),
    R(130, 111, FAIL),
    /*111*/ T(tkEmpty, RET, FAIL, 20),
    T(tkGreaterEqual, 113, 115),
    R(130, 114, FAIL),
    /*114*/ T(tkEmpty, RET, FAIL, 21),
    T(tkNotEqual, 116, 118),
    R(130, 117, FAIL),
    /*117*/ T(tkEmpty, RET, FAIL, 22),
    T(tkIs, 119, 122),
    T(tkNot, 120, 121),
    /*120*/ T(tkNull, RET, FAIL, 13),
    T(tkNull, RET, FAIL, 14),
    T(tkNot, 123, 126),
    /*123*/ T(tkLike, 124, 225),
    R(130, 125, FAIL),
    T(tkEmpty, RET, FAIL, 28),
    /*126*/ T(tkLike, 127, 228),
    R(130, 128, FAIL),
    T(tkEmpty, RET, FAIL, 29),
    /*129*/ T(tkEmpty, RET, FAIL),
    // simple
    /*130*/ R(138, 131, FAIL),
    T(tkPlus, 132, 134),
    R(138, 133, FAIL),
    /*133*/ T(tkEmpty, 131, FAIL, 23),
    T(tkMinus, 135, 137),
    R(138, 136, FAIL),
    /*136*/ T(tkEmpty, 131, FAIL, 24),
    T(tkEmpty, RET, FAIL),
    // term
    /*138*/ R(146, 139, FAIL),
    T(tkStar, 140, 142),
    R(146, 141, FAIL),
    /*141*/ T(tkEmpty, 139, FAIL, 25),
    T(tkSlash, 143, 145),
    R(146, 144, FAIL),
    /*144*/ T(tkEmpty, 139, FAIL, 26),
    T(tkEmpty, RET, FAIL),
    // factor
    /*146*/ R(151, 147, FAIL),
    T(tkConcat, 148, 150),
    R(151, 149, FAIL),
    /*149*/ T(tkEmpty, 147, FAIL, 27),
    T(tkEmpty, RET, FAIL),
    // primary
    /*151*/ T(tkIdent, 205, 152, 49),
    T(tkIntNumber, RET, 153, 2),
    T(tkFloatNumber, RET, 154, 2),
    /*154*/ T(tkString, RET, 155, 2),
    T(tkTrue, RET, 156, 71),
    T(tkFalse, RET, 157, 72),
    /*157*/ T(tkMinus, 161, 158),
    T(tkNot, 163, 159),
    T(tkLParen, 165, 160),
    /*160*/ R(167, RET, FAIL),
    R(151, 162, FAIL),
    T(tkEmpty, RET, FAIL, 3),
    /*163*/ R(151, 164, FAIL),
    T(tkEmpty, RET, FAIL, 4),
    R(89, 166, FAIL),
    /*166*/ T(tkRParen, RET, FAIL),
    // functions
    /*167*/ T(tkDate, 168, 170),
    T(tkLParen, 169, FAIL),
    T(tkRParen, RET, FAIL, 73),
    /*170*/ T(tkTime, 171, 173),
    T(tkLParen, 172, FAIL),
    T(tkRParen, RET, FAIL, 74),
    /*173*/ KDM_EXTRACT(tkExtractYear, 173, 177, 5),
    /*177*/ KDM_EXTRACT(tkExtractMonth, 177, 181, 6),
    /*181*/ KDM_EXTRACT(tkExtractDay, 181, 185, 7),
    /*185*/ KDM_EXTRACT(tkExtractHour, 185, 189, 8),
    /*189*/ KDM_EXTRACT(tkExtractMin, 189, 193, 9),
    /*193*/ KDM_EXTRACT(tkExtractSec, 193, 197, 10),
    /*197*/ KDM_EXTRACT(tkExtractMsec, 197, 201, 11),
    /*201*/ T(tkUpper, 202, FAIL),
    T(tkLParen, 203, FAIL),
    R(89, 204, FAIL),
    /*204*/ T(tkRParen, RET, FAIL, 12),
    // field operand
    /*205*/ T(tkDot, 206, 207),
    T(tkIdent, RET, FAIL, 1),
    T(tkEmpty, RET, FAIL, 1),
    // IN list
    /*208*/ T(tkIn, 209, 129),
    R(210, 222, FAIL),
    T(tkLParen, 223, FAIL, 75),
    /*211*/ T(tkIntNumber, 214, 212, 2),
    T(tkFloatNumber, 214, 213, 2),
    T(tkString, 214, FAIL, 2),
    /*214*/ T(tkTo, 224, 221),
    T(tkIntNumber, 220, 216, 2),
    T(tkFloatNumber, 220, 217, 2),
    /*217*/ T(tkString, 220, FAIL, 2),
    T(tkComma, 223, 219),
    T(tkRParen, RET, FAIL, 78),
    /*220*/ T(tkEmpty, 218, FAIL, 77),
    T(tkEmpty, 218, FAIL, 76),
    T(tkEmpty, RET, FAIL, 31),
    /*223*/ T(tkMinus, 211, 211, 79),
    T(tkMinus, 215, 215, 79),
    // BETWEEN
    /*225*/ T(tkBetween, 226, FAIL),
    R(231, 227, FAIL),
    T(tkEmpty, 238, FAIL, 82),
    /*228*/ T(tkBetween, 229, 208),
    R(231, 230, FAIL),
    T(tkEmpty, 239, FAIL, 83),
    /*231*/ T(tkLParen, 233, 232, 80),
    T(tkLBracket, 233, FAIL),
    R(130, 234, FAIL),
    /*234*/ T(tkComma, 235, FAIL),
    R(130, 236, FAIL),
    T(tkRParen, RET, 237, 81),
    /*237*/ T(tkRBracket, RET, FAIL),
    T(tkEmpty, RET, FAIL, 30),
    T(tkEmpty, RET, FAIL, 30),
    // number, over character classes
    /*240*/ T(tkDigit, 241, FAIL, 32),
    T(tkHex, 242, 246, 39),
    T(tkHexDigit, 242, 243, 33),
    /*243*/ T(tkDigit, 242, 244, 33),
    T(tkExponent, 242, 245, 33),
    T(tkEmpty, RET, FAIL, 40),
    /*246*/ T(tkDigit, 246, 247, 32),
    T(tkDot, 248, 256, 34),
    T(tkDigit, 249, FAIL, 32),
    /*249*/ T(tkDigit, 249, 250, 32),
    T(tkExponent, 251, 255, 35),
    T(tkPlus, 252, 254),
    /*252*/ T(tkDigit, 253, FAIL, 32),
    T(tkDigit, 253, 255, 32),
    T(tkMinus, 252, 252, 36),
    /*255*/ T(tkEmpty, RET, FAIL, 37),
    T(tkExponent, 251, 257, 35),
    T(tkEmpty, RET, FAIL, 38),
    // date/time literal, over character classes
    /*258*/ T(tkDigit, 259, FAIL, 32),
    T(tkDigit, 260, 273, 32),
    T(tkDigit, 261, 273, 32),
    /*261*/ T(tkDigit, 262, FAIL, 32),
    T(tkSlash, 263, FAIL, 41),
    T(tkDigit, 264, FAIL, 32),
    /*264*/ T(tkDigit, 265, 265, 32),
    T(tkSlash, 266, FAIL, 42),
    T(tkDigit, 267, FAIL, 32),
    /*267*/ T(tkDigit, 268, 268, 32),
    T(tkEmpty, 269, FAIL, 43),
    T(tkSpace, 270, 285),
    /*270*/ T(tkSpace, 270, 271),
    T(tkDigit, 272, 285, 32),
    T(tkDigit, 273, 273, 32),
    /*273*/ T(tkColon, 274, FAIL, 44),
    T(tkDigit, 275, FAIL, 32),
    T(tkDigit, 276, 276, 32),
    /*276*/ T(tkColon, 277, FAIL, 45),
    T(tkDigit, 278, FAIL, 32),
    T(tkDigit, 279, 279, 32),
    /*279*/ T(tkEmpty, 280, FAIL, 46),
    T(tkComma, 281, 285),
    T(tkDigit, 282, FAIL, 32),
    /*282*/ T(tkDigit, 283, 284, 32),
    T(tkDigit, 284, 284, 32),
    T(tkEmpty, 285, FAIL, 47),
    /*285*/ T(tkSpace, 285, 286),
    T(tkStringEnd, RET, FAIL, 48),
};

#undef KDM_EXTRACT

static_assert(sizeof kGraph / sizeof kGraph[0] == CSQLSyntax::kNodeCount);

} // namespace

CSQLSyntax::CSQLSyntax() {
    for (int32_t i = 0; i < kNodeCount; ++i) {
        const Row& r = kGraph[i];
        m_nodes[i] = {i, r.next, r.alt, r.sub, r.terminal, r.token, r.action};
    }
}

} // namespace kdm::sql
