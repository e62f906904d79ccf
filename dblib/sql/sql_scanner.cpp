#include "sql/sql_scanner.h"

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <locale.h>

#include "frame/datetime.h"
#include "sql/sql_diag.h"

namespace kdm::sql {

namespace {

bool IsLetter(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool IsDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}

// Character classes of the number rule.
uint8_t NumberClass(unsigned char c) {
    if (IsDigit(c))
        return tkDigit;
    switch (c) {
    case '+':
        return tkPlus;
    case '-':
        return tkMinus;
    case '.':
        return tkDot;
    case 'E':
    case 'e':
        return tkExponent;
    case 'x':
        return tkHex;
    default:
        break;
    }
    if ((c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'))
        return tkHexDigit;
    return tkEnd;
}

// Character classes of the date/time rule; the terminator is a class.
uint8_t DateTimeClass(unsigned char c) {
    if (IsDigit(c))
        return tkDigit;
    switch (c) {
    case ' ':
        return tkSpace;
    case ',':
        return tkComma;
    case '/':
        return tkSlash;
    case ':':
        return tkColon;
    case '\0':
        return tkStringEnd;
    default:
        return tkEnd;
    }
}

// Decimal conversion independent of the process locale (a client may have
// set one with a decimal comma).
double DecimalToDouble(const char* text) {
    static locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    if (cLocale == static_cast<locale_t>(0))
        return std::strtod(text, nullptr);
    return strtod_l(text, nullptr, cLocale);
}

// Digits without their leading zeros.
const char* Significant(const std::string& digits) {
    const char* p = digits.c_str();
    while (*p == '0')
        ++p;
    return p;
}

} // namespace

void CSQLScanner::SetSource(const char* text) {
    for (std::string& c : m_clauses) {
        c.clear();
        c.shrink_to_fit();
    }
    m_source.clear();
    m_hasSource = text != nullptr;
    if (m_hasSource) {
        m_source = text;
        for (std::string& c : m_clauses)
            c.reserve(m_source.size() + 3);
    }
    m_receiver = kSelect;
    m_cursor = 0;
    m_tokenStart = 0;
    m_state = peNoErr;
    m_pending = false;
    m_current = ' ';
    m_currentPos = 0;
    m_digits.clear();
}

void CSQLScanner::GetState(uint8_t* state, uint32_t* position) const {
    if (state != nullptr)
        *state = m_state;
    if (position != nullptr)
        *position = m_tokenStart;
}

void CSQLScanner::ReadChar() {
    if (m_pending) {
        m_pending = false;
        m_current = m_pushed;
        m_currentPos = m_pushedPos;
        return;
    }
    m_currentPos = static_cast<uint32_t>(m_cursor);
    unsigned char c = m_cursor < m_source.size() ? m_source[m_cursor] : '\0';
    if (c == '\0') {
        if (m_state == peNoErr)
            m_state = peEofSource;
        c = ' ';
    } else {
        ++m_cursor;
        if (c < 32)
            c = ' ';
    }
    m_current = c;
    m_clauses[m_receiver].push_back(static_cast<char>(c));
}

void CSQLScanner::PushBack() {
    if (m_pending) {
        m_state = peCritical;
        return;
    }
    m_pending = true;
    m_pushed = m_current;
    m_pushedPos = m_currentPos;
}

void CSQLScanner::NextToken(TSQLToken* token) {
    token->code = tkEnd;
    token->text[0] = '\0';
    token->intValue = 0;
    token->floatValue = 0;
    if (m_state != peNoErr)
        return;
    if (!m_hasSource) {
        m_state = peEofSource;
        return;
    }
    do {
        ReadChar();
        if (m_state != peNoErr)
            return;
    } while (m_current == ' ');
    m_tokenStart = m_currentPos;

    if (IsLetter(m_current))
        ScanIdentifier(token);
    else if (IsDigit(m_current))
        ScanNumber(token);
    else if (m_current == '"')
        ScanString(token);
    else if (std::strchr("<>=+-(),*/.|[]", m_current) != nullptr)
        ScanOperator(token);
    else
        m_state = peUnknownChar;

    if (m_state == peEofSource && token->code != tkEnd)
        m_state = peNoErr;
}

void CSQLScanner::ScanIdentifier(TSQLToken* token) {
    size_t length = 0;
    token->text[length++] = static_cast<char>(m_current);
    for (;;) {
        ReadChar();
        if (m_state != peNoErr)
            break;
        if (!IsLetter(m_current) && !IsDigit(m_current)) {
            PushBack();
            break;
        }
        if (length == kMaxIdentLength) {
            m_state = peIdentLen;
            token->text[0] = '\0';
            return;
        }
        token->text[length++] = static_cast<char>(m_current);
    }
    if (m_state != peNoErr && m_state != peEofSource)
        return;
    token->text[length] = '\0';
    for (size_t i = 0; i < length; ++i)
        if (token->text[i] >= 'a' && token->text[i] <= 'z')
            token->text[i] = static_cast<char>(token->text[i] - 'a' + 'A');
    uint8_t keyword = KeywordCode(token->text);
    token->code = keyword != 0 ? keyword : static_cast<uint8_t>(tkIdent);
    if (keyword != 0)
        CaptureClause(keyword);
}

// The keyword and the character read after it leave the clause that
// received them; the text after the keyword goes to the keyword's clause.
void CSQLScanner::CaptureClause(uint8_t keyword) {
    auto cut = [](std::string& s, size_t n) { s.resize(s.size() - n); };
    std::string& sel = m_clauses[kSelect];
    std::string& from = m_clauses[kFrom];
    std::string& where = m_clauses[kWhere];
    std::string& order = m_clauses[kOrder];
    switch (keyword) {
    case tkSelect:
        if (sel.size() >= 5)
            sel.erase(0, sel.size() - 1);
        m_receiver = kSelect;
        break;
    case tkFrom:
        if (sel.size() > 4) {
            from.push_back(sel.back());
            cut(sel, 5);
        }
        m_receiver = kFrom;
        break;
    case tkWhere:
        if (from.size() > 5) {
            where.push_back(from.back());
            cut(from, 6);
        }
        m_receiver = kWhere;
        break;
    case tkOrder:
        if (where.size() >= 6)
            cut(where, 6);
        else if (from.size() >= 6)
            cut(from, 6);
        m_receiver = kOrder;
        break;
    case tkWith:
        if (order.size() > 4)
            cut(order, 5);
        else if (where.size() >= 5)
            cut(where, 5);
        else if (from.size() >= 5)
            cut(from, 5);
        m_receiver = kWith;
        break;
    default:
        break;
    }
}

void CSQLScanner::ScanOperator(TSQLToken* token) {
    switch (m_current) {
    case '<':
        ReadChar();
        if (m_current == '=') {
            token->code = tkLessEqual;
        } else if (m_current == '>') {
            token->code = tkNotEqual;
        } else {
            token->code = tkLess;
            PushBack();
        }
        break;
    case '>':
        ReadChar();
        if (m_current == '=') {
            token->code = tkGreaterEqual;
        } else {
            token->code = tkGreater;
            PushBack();
        }
        break;
    case '|':
        ReadChar();
        if (m_current == '|')
            token->code = tkConcat;
        else
            m_state = peUnknownChar;
        break;
    case '(':
        token->code = tkLParen;
        break;
    case ')':
        token->code = tkRParen;
        break;
    case '*':
        token->code = tkStar;
        break;
    case '+':
        token->code = tkPlus;
        break;
    case ',':
        token->code = tkComma;
        break;
    case '-':
        token->code = tkMinus;
        break;
    case '.':
        token->code = tkDot;
        break;
    case '/':
        token->code = tkSlash;
        break;
    case '=':
        token->code = tkEqual;
        break;
    case '[':
        token->code = tkLBracket;
        break;
    case ']':
        token->code = tkRBracket;
        break;
    default:
        m_state = peUnknownChar;
        break;
    }
    if (m_state != peNoErr && m_state != peEofSource)
        token->code = tkEnd;
}

void CSQLScanner::ScanString(TSQLToken* token) {
    size_t collected = 0;
    bool closed = false;
    while (collected < kMaxStringLength + 1) {
        ReadChar();
        if (m_state != peNoErr)
            break;
        ++collected;
        if (m_current == '"') {
            closed = true;
            break;
        }
        token->text[collected - 1] = static_cast<char>(m_current);
    }
    if (!closed) {
        m_state = peStr;
        token->text[0] = '\0';
        return;
    }
    token->text[collected - 1] = '\0';
    token->code = tkString;
}

void CSQLScanner::ScanNumber(TSQLToken* token) {
    m_digits.clear();
    uint8_t error = peNoErr;
    int32_t node = CSQLSyntax::kNumberRule;
    while (node != kNoNode && error == peNoErr) {
        const CSQLNode& n = m_syntax.Node(node);
        if (n.token == tkEmpty) {
            error = NumberAction(n.action, token);
            node = n.next;
        } else if (n.token == NumberClass(m_current)) {
            error = NumberAction(n.action, token);
            ReadChar();
            node = n.next;
        } else {
            node = n.alt;
        }
    }
    bool delivered = error == peNoErr && token->code != tkEnd;
    if (delivered && m_current != '.' && !IsLetter(m_current) && !IsDigit(m_current)) {
        PushBack();
        return;
    }
    token->code = tkEnd;
    m_state = error != peNoErr ? error : static_cast<uint8_t>(peNumSyntax);
}

uint8_t CSQLScanner::NumberAction(uint8_t action, TSQLToken* token) {
    auto append = [this](char c) -> uint8_t {
        if (m_digits.size() >= kMaxNumberDigits)
            return peNumSyntax;
        m_digits.push_back(c);
        return peNoErr;
    };
    switch (action) {
    case 0:
        return peNoErr;
    case 32:
        return append(static_cast<char>(m_current));
    case 33:
        return append(static_cast<char>(
            (m_current >= 'a' && m_current <= 'f') ? m_current - 'a' + 'A' : m_current));
    case 34:
        return append('.');
    case 35:
        return append('E');
    case 36:
        return append('-');
    case 39:
        if (m_digits != "0")
            return peNumSyntax;
        m_digits.clear();
        return peNoErr;
    case 40: {
        const char* p = Significant(m_digits);
        if (std::strlen(p) > 16)
            return peNumOverflow;
        uint64_t value = 0;
        for (; *p != '\0'; ++p)
            value = value << 4 | uint64_t(IsDigit(*p) ? *p - '0' : *p - 'A' + 10);
        token->code = tkIntNumber;
        token->intValue = static_cast<int64_t>(value);
        return peNoErr;
    }
    case 37: {
        double value = DecimalToDouble(m_digits.c_str());
        if (std::isinf(value))
            return peNumOverflow;
        token->code = tkFloatNumber;
        token->floatValue = value;
        return peNoErr;
    }
    case 38: {
        const char* p = Significant(m_digits);
        size_t length = std::strlen(p);
        if (length >= 20 || (length == 19 && std::strcmp(p, "9223372036854775807") > 0))
            return peNumOverflow;
        int64_t value = 0;
        for (; *p != '\0'; ++p)
            value = value * 10 + (*p - '0');
        token->code = tkIntNumber;
        token->intValue = value;
        return peNoErr;
    }
    default:
        return peCritical;
    }
}

uint8_t ParseDateTimeLiteral(const CSQLSyntax& syntax, const char* text, uint64_t* value) {
    *value = 0;
    if (text == nullptr)
        return peDaTiSyntax;
    while (*text == ' ')
        ++text;
    if (*text == '\0')
        return peDaTiSyntax;
    uint32_t parts[7] = {}; // year, month, day, hour, minute, second, millisecond
    char digits[5] = {};
    size_t count = 0;
    bool converted = false;
    uint8_t error = peNoErr;
    int32_t node = CSQLSyntax::kDateTimeRule;
    auto act = [&](uint8_t action, unsigned char c) {
        if (action == 32) {
            if (count >= 4)
                error = peDaTiSyntax;
            else
                digits[count++] = static_cast<char>(c);
            return;
        }
        digits[count] = '\0';
        if (action >= 41 && action <= 47)
            parts[action - 41] = static_cast<uint32_t>(std::strtoul(digits, nullptr, 10));
        count = 0;
        if (action == 48) {
            TGenericDateTime g{parts[0], parts[1], parts[2], 0,
                               parts[3], parts[4], parts[5], parts[6]};
            TNativeDateTime native;
            if (!GenericToNative(g, &native))
                error = peDaTiVal;
            else {
                *value = uint64_t(native.day) << 32 | native.ms;
                converted = true;
            }
        }
    };
    while (node != kNoNode && error == peNoErr) {
        const CSQLNode& n = syntax.Node(node);
        unsigned char c = static_cast<unsigned char>(*text);
        if (n.token == tkEmpty) {
            act(n.action, c);
            node = n.next;
        } else if (n.token == DateTimeClass(c)) {
            act(n.action, c);
            if (c != '\0')
                ++text;
            node = n.next;
        } else {
            node = n.alt;
        }
    }
    if (error != peNoErr)
        return error;
    return converted ? static_cast<uint8_t>(peNoErr) : static_cast<uint8_t>(peDaTiSyntax);
}

std::string CompileStateText(const std::string& source, uint8_t error, uint32_t position,
                             uint8_t expected) {
    const std::string& rule = DiagRule();
    std::string out = rule + "SOURCE AND COMPILE STATE\n" + rule + source + "\n\n";
    if (error == peNoErr) {
        out += "COMPILE STATE:  OK\n";
    } else {
        out += "COMPILE STATE:  Error: ";
        out += ErrorName(error);
        out += " discovered at Position: " + std::to_string(position) + "\n\n";
        out += source.substr(0, position < source.size() ? position : source.size());
        out += "!\n\n";
        out += "EXPECTED TOKEN: ";
        out += TokenName(expected);
        out += "\n\n";
    }
    out += rule + "END OF SOURCE\n" + rule;
    return out;
}

} // namespace kdm::sql
