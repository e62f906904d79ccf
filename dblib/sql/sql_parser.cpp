#include "sql/sql_parser.h"

#include <vector>

#include "sql/schema.h"
#include "sql/sql_diag.h"

namespace kdm::sql {

namespace {

enum { N1, N2, N3, N4, N5, N6 };

uint64_t Negated(uint64_t v) {
    return 0 - v;
}

} // namespace

CSQLParser::CSQLParser(const CDatabaseStructure& db, const CSQLSyntax& syntax, void* session)
    : m_db(db), m_syntax(syntax), m_session(session), m_scanner(syntax),
      m_pcode(std::make_unique<CPCodeMem>(syntax)),
      m_links(std::make_unique<CLinkLists>(db, db.Engine())) {}

void CSQLParser::Reset() {
    m_pcode = std::make_unique<CPCodeMem>(m_syntax);
    m_links = std::make_unique<CLinkLists>(m_db, m_db.Engine());
    m_error = peNoErr;
    m_expected = tkEnd;
    m_position = 0;
    m_actionState = peNoErr;
    m_match = false;
    m_token = TSQLToken{};
    m_haveWhere = false;
    m_whereResult = CStackItem{};
    ResetNames();
    SetErrorReport(&m_report, peNoErr, 0, 0);
}

void CSQLParser::ResetNames() {
    for (std::string& n : m_names)
        n.clear();
    m_ascending = true;
    m_outerMode = 0;
    m_negate = false;
    m_inCount = 0;
}

bool CSQLParser::Compile(const char* statement) {
    Reset();
    m_scanner.SetSource(statement);
    m_scanner.NextToken(&m_token);
    Walk(CSQLSyntax::kStatementRule);

    uint8_t state;
    m_scanner.GetState(&state, &m_position);
    if (!m_match)
        m_error = (state != peNoErr && state != peEofSource) ? state : uint8_t(peSyntax);
    else if (state != peEofSource)
        m_error = peInvalidCmdEnd;
    if (m_actionState != peNoErr && (m_error == peNoErr || m_error == peInvalidCmdEnd))
        m_error = m_actionState;
    SetErrorReport(&m_report, m_error, m_expected, m_position);

    if (EngineDiagnostics()) {
        m_db.Dump();
        WriteEngineDiagnostics(CompileStateText());
        WriteEngineDiagnostics(FieldListsText());
        WriteEngineDiagnostics(ListingText());
    }
    return m_error == peNoErr;
}

void CSQLParser::GetError(uint8_t* code, uint32_t* position, uint8_t* expected) const {
    if (code != nullptr)
        *code = m_report.code;
    if (position != nullptr)
        *position = m_report.position;
    if (expected != nullptr)
        *expected = m_report.expected;
}

std::string CSQLParser::CompileStateText() const {
    return sql::CompileStateText(m_scanner.Source(), m_error, m_position, m_expected);
}

// The graph is walked with an explicit stack of calling nodes, so that the
// nesting depth of a statement costs heap, never the thread's stack.
void CSQLParser::Walk(int32_t start) {
    std::vector<int32_t> callers;
    int32_t node = start;
    while (m_actionState == peNoErr) {
        if (node == kNoNode) {
            if (callers.empty())
                break;
            const CSQLNode& caller = m_syntax.Node(callers.back());
            callers.pop_back();
            node = m_match ? caller.next : caller.alt;
            continue;
        }
        const CSQLNode& n = m_syntax.Node(node);
        if (!n.terminal) {
            callers.push_back(node);
            node = n.sub;
            continue;
        }
        if (n.token != tkEmpty)
            m_expected = n.token;
        if (m_token.code == n.token) {
            m_match = true;
            Action(n.action, true);
            // A failed action keeps its token current: the error points at it.
            if (m_actionState == peNoErr)
                m_scanner.NextToken(&m_token);
        } else {
            m_match = n.token == tkEmpty;
            if (m_match)
                Action(n.action, false);
        }
        node = m_match ? n.next : n.alt;
    }
}

void CSQLParser::Action(uint8_t action, bool matched) {
    if (action == 0)
        return;
    if (action <= 31 || (action >= 71 && action <= 83))
        ConditionAction(action, matched);
    else
        StatementAction(action);
}

void CSQLParser::Emit(uint8_t opcode, uint32_t type, uint64_t value, const char* text) {
    uint8_t error = m_pcode->Emit(opcode, type, value, text);
    if (error != peNoErr)
        Fail(error);
}

CWithCrit* CSQLParser::CurrentCriterion() {
    if (m_links->CriterionCount() == 0)
        return nullptr;
    return &m_links->Criterion(m_links->CriterionCount() - 1);
}

void CSQLParser::StatementAction(uint8_t action) {
    CLinkLists& links = *m_links;
    const char* token = m_token.text;
    switch (action) {
    case 49:
        ResetNames();
        m_names[N1] = token;
        return;
    case 50:
        m_names[N2] = token;
        return;
    case 51:
    case 52:
        m_ascending = action == 51;
        return;
    case 53: {
        TFieldUse use;
        bool found = m_names[N2].empty()
                         ? links.FindFromField(nullptr, m_names[N1].c_str(), &use)
                         : links.FindFromField(m_names[N1].c_str(), m_names[N2].c_str(), &use);
        if (!found)
            return Fail(peInvalidField);
        use.ascending = m_ascending;
        links.AddOrderField(use);
        ResetNames();
        return;
    }
    case 54:
        if (links.AddTable(token) == nullptr)
            return Fail(peUnknownTable);
        ResetNames();
        m_names[N1] = token;
        return;
    case 55:
        if (links.AddTable(token) == nullptr)
            return Fail(peUnknownTable);
        m_names[N2] = token;
        if (m_names[N1] == m_names[N2])
            return Fail(peJoinErr1);
        return;
    case 56:
        m_names[N3] = token;
        if (m_names[N3] != m_names[N1] && m_names[N3] != m_names[N2])
            return Fail(peJoinErr2);
        return;
    case 57:
        m_names[N4] = token;
        if (m_db.FindField(m_names[N3].c_str(), m_names[N4].c_str()) == nullptr)
            return Fail(peInvalidField);
        return;
    case 58:
        m_names[N5] = token;
        if (m_names[N5] != m_names[N1] && m_names[N5] != m_names[N2])
            return Fail(peJoinErr2);
        if (m_names[N5] == m_names[N3])
            return Fail(peJoinErr1);
        return;
    case 59: {
        m_names[N6] = token;
        const CFieldDef* left = m_db.FindField(m_names[N3].c_str(), m_names[N4].c_str());
        const CFieldDef* right = m_db.FindField(m_names[N5].c_str(), m_names[N6].c_str());
        if (left == nullptr || right == nullptr)
            return Fail(peInvalidField);
        if (left->type != right->type || (left->type != kTypeHugeInt && left->type != kTypeQWord))
            return Fail(peIncompTypes);
        if (left->keyFlags != kKeyPrimary && right->keyFlags != kKeyPrimary)
            return Fail(peMissPrimKey);
        bool leftIsKey = left->keyFlags == kKeyPrimary;
        uint8_t error = links.AddJoin(leftIsKey ? left : right, leftIsKey ? right : left,
                                      m_outerMode, m_names[N1].c_str());
        if (error != peNoErr)
            return Fail(error);
        ResetNames();
        return;
    }
    case 60:
    case 61:
        m_outerMode = action == 60 ? 1 : 2;
        return;
    case 62:
        if (m_outerMode != 1 && m_outerMode != 2)
            m_outerMode = 0;
        return;
    case 63:
        if (m_outerMode == 1 || m_outerMode == 2)
            return Fail(peOuterJoin);
        return;
    case 64:
        if (m_outerMode != 1 && m_outerMode != 2)
            return Fail(peWrongOuter);
        return;
    case 65:
        links.SetSelectAll();
        return;
    case 66: {
        if (!links.ResolveSelectList())
            return Fail(peInvalidSelField);
        uint8_t error = links.OrderTables();
        if (error != peNoErr)
            return Fail(error);
        ResetNames();
        return;
    }
    case 67:
        if (!m_db.IsFieldName(m_names[N1].c_str()))
            return Fail(peInvalidField);
        links.RecordSelect({"", m_names[N1], false});
        return;
    case 68:
        if (m_db.FindField(m_names[N1].c_str(), token) == nullptr)
            return Fail(peInvalidField);
        links.RecordSelect({m_names[N1], token, false});
        return;
    case 69:
        if (m_db.FindTable(m_names[N1].c_str()) == nullptr)
            return Fail(peUnknownTable);
        links.RecordSelect({m_names[N1], "", true});
        return;
    case 70: {
        CStackMem& stack = m_pcode->Stack();
        if (stack.Depth() != 1)
            return Fail(peStackError);
        if (stack.FromTop(0).type != kTypeBool)
            return Fail(peInvalidResultType);
        stack.Pop(&m_whereResult);
        m_haveWhere = true;
        return;
    }
    case 84:
    case 87:
        links.AddCriterion();
        return;
    default:
        break;
    }

    CWithCrit* crit = CurrentCriterion();
    if (crit == nullptr) {
        if (action != 109)
            return Fail(peCritical);
        links.optimise = false;
        return;
    }
    switch (action) {
    case 85:
        crit->tableName = token;
        crit->link = links.FindLink(token);
        if (crit->link == nullptr)
            return Fail(peUnknownTable);
        crit->table = &crit->link->Table();
        return;
    case 86:
        crit->fieldName = token;
        crit->field = crit->table->FindField(token);
        if (crit->field == nullptr)
            return Fail(peInvalidField);
        crit->type = crit->field->type;
        return;
    case 88:
    case 89:
    case 90:
    case 91:
    case 92:
    case 93: {
        static constexpr int32_t kOps[] = {coEqual,        coNotEqual, coLessEqual,
                                           coGreaterEqual, coLess,     coGreater};
        crit->op = kOps[action - 88];
        return;
    }
    case 94:
        crit->op = coIsNull;
        return;
    case 95:
        crit->op = coIsNotNull;
        return;
    case 96:
        crit->op = coNotIn;
        return;
    case 97:
        if (crit->op != coNotIn)
            crit->op = coIn;
        return;
    case 98:
        crit->op = crit->op == coNotIn ? coBetween + 4 : coBetween;
        return;
    case 99:
        if (crit->op == coBetween || crit->op == coBetween + 4)
            crit->op += 2;
        return;
    case 100:
        if (crit->op >= coBetween && crit->op < coBetween + 8 && (crit->op & 1) == 0)
            crit->op += 1;
        crit->upper = crit->current;
        return;
    case 101:
        return ConvertCriterionValue();
    case 102:
    case 108:
        crit->lower = crit->current;
        return;
    case 103:
        crit->upper = crit->current;
        return;
    case 104:
        return CompileCriteria();
    case 105:
        m_negate = true;
        return;
    case 106:
        crit->inValues.push_back({crit->current});
        return;
    case 107:
        crit->inRanges.push_back({crit->lower, crit->current});
        return;
    case 109:
        links.optimise = false;
        return;
    default:
        return Fail(peCritical);
    }
}

void CSQLParser::ConditionAction(uint8_t action, bool matched) {
    switch (action) {
    case 1: {
        TFieldUse use;
        bool found = matched ? m_links->FindFromField(m_names[N1].c_str(), m_token.text, &use)
                             : m_links->FindFromField(nullptr, m_names[N1].c_str(), &use);
        if (!found)
            return Fail(peInvalidField);
        Emit(opPush, use.field->type, use.field->fieldId);
        m_links->AddWhereField(use);
        ResetNames();
        return;
    }
    case 2: {
        ++m_inCount;
        bool negate = m_negate;
        m_negate = false;
        switch (m_token.code) {
        case tkString:
            if (negate)
                return Fail(peIncompTypes);
            return Emit(opPushC, kTypeVarChar, 0, m_token.text);
        case tkIntNumber: {
            uint64_t v = static_cast<uint64_t>(m_token.intValue);
            return EmitConstant(negate ? Negated(v) : v);
        }
        case tkFloatNumber: {
            uint8_t error = m_pcode->EmitDouble(negate ? -m_token.floatValue : m_token.floatValue);
            if (error != peNoErr)
                Fail(error);
            return;
        }
        default:
            return Fail(peCritical);
        }
    }
    case 71:
    case 72:
        ++m_inCount;
        return Emit(opPushC, kTypeBool, action == 71 ? 1 : 0);
    case 73:
    case 74:
        return Emit(action);
    case 75:
        m_inCount = 0;
        return;
    case 76:
    case 77:
        EmitConstant(action == 76 ? 1 : 2);
        ++m_inCount;
        return;
    case 78:
        EmitConstant(m_inCount);
        ResetNames();
        return;
    case 79:
        m_negate = true;
        return;
    case 80:
        m_pcode->Stack().lowerOpen = true;
        return;
    case 81:
        m_pcode->Stack().upperOpen = true;
        return;
    case 82:
    case 83: {
        CStackMem& stack = m_pcode->Stack();
        uint64_t mode =
            (action == 82 ? 1 : 0) | (stack.lowerOpen ? 2 : 0) | (stack.upperOpen ? 4 : 0);
        stack.lowerOpen = stack.upperOpen = false;
        EmitConstant(mode);
        return;
    }
    default:
        if (action >= opNeg && action <= opIn)
            return Emit(action);
        return Fail(peCritical);
    }
}

// A WITH value in the criterion's field type, range-checked for the
// narrower integer fields.
void CSQLParser::ConvertCriterionValue() {
    CWithCrit& crit = *CurrentCriterion();
    bool negate = m_negate;
    m_negate = false;
    uint32_t literal;
    switch (m_token.code) {
    case tkString:
        literal = kTypeVarChar;
        break;
    case tkIntNumber:
        literal = kTypeQWord;
        break;
    case tkFloatNumber:
        literal = kTypeDouble;
        break;
    default:
        return Fail(peCritical);
    }
    uint32_t field = crit.type;
    bool fits = literal == field || (IsNumericType(literal) && IsNumericType(field)) ||
                (literal == kTypeVarChar && field == kTypeDateTime);
    if (!fits)
        return Fail(peIncompTypes);
    bool floatField = field == kTypeFloat || field == kTypeDouble;
    if (literal == kTypeDouble && !floatField)
        return Fail(peIncompTypes);

    TCritValue value;
    if (literal == kTypeVarChar) {
        if (field == kTypeDateTime) {
            uint64_t native;
            uint8_t error = ParseDateTimeLiteral(m_syntax, m_token.text, &native);
            if (error != peNoErr)
                return Fail(error);
            value.intValue = static_cast<int64_t>(native);
        } else {
            value.text = m_token.text;
        }
    } else if (literal == kTypeDouble) {
        value.floatValue = negate ? -m_token.floatValue : m_token.floatValue;
    } else {
        uint64_t bits = static_cast<uint64_t>(m_token.intValue);
        int64_t v = static_cast<int64_t>(negate ? Negated(bits) : bits);
        if (floatField) {
            value.floatValue = static_cast<double>(v);
        } else {
            value.intValue = v;
            int64_t low = 0, high = 0;
            bool checked = true;
            switch (field) {
            case kTypeByte:
                low = 0, high = 255;
                break;
            case kTypeSmallInt:
                low = -32767, high = 32767;
                break;
            case kTypeInteger:
                low = -2147483647, high = 2147483647;
                break;
            case kTypeWord:
                low = 0, high = 65535;
                break;
            case kTypeDWord:
                low = 0, high = 4294967295;
                break;
            default:
                checked = false;
                break;
            }
            if (checked && (v < low || v > high))
                return Fail(peNumOverflow);
        }
    }
    crit.current = std::move(value);
}

void CSQLParser::PushCriterionField(const CWithCrit& crit) {
    Emit(opPush, crit.field->type, crit.field->fieldId);
    m_links->AddWhereField({crit.table, crit.field, true});
}

void CSQLParser::PushCriterionValue(const CWithCrit& crit, const TCritValue& value) {
    uint32_t type = crit.field->type;
    if (IsIntegerType(type))
        return EmitConstant(static_cast<uint64_t>(value.intValue));
    if (type == kTypeFloat || type == kTypeDouble) {
        uint8_t error = m_pcode->EmitDouble(value.floatValue);
        if (error != peNoErr)
            Fail(error);
        return;
    }
    if (type == kTypeVarChar)
        return Emit(opPushC, kTypeVarChar, 0, value.text.c_str());
    if (type == kTypeDateTime)
        return Emit(opPushC, kTypeDateTime, static_cast<uint64_t>(value.intValue));
    Fail(peCritical);
}

void CSQLParser::CompileCriterion(CWithCrit& crit) {
    PushCriterionField(crit);
    if (m_actionState != peNoErr)
        return;
    int32_t op = crit.op;
    if (op == coIsNull || op == coIsNotNull)
        return Emit(op == coIsNull ? opIsNull : opNotNull);
    if (op >= coEqual && op <= coLess) {
        static constexpr uint8_t kCompare[] = {opEqual,  opNotEqu,  opGrtEqu,
                                               opLowEqu, opGreater, opLower};
        PushCriterionValue(crit, crit.current);
        return Emit(kCompare[op - coEqual]);
    }
    if (op >= coBetween && op < coBetween + 8) {
        int32_t bits = op - coBetween;
        bool upperOut = bits & 1, lowerOut = bits & 2, negated = bits & 4;
        PushCriterionValue(crit, crit.lower);
        if (negated)
            Emit(lowerOut ? opLowEqu : opLower);
        else
            Emit(lowerOut ? opGreater : opGrtEqu);
        PushCriterionField(crit);
        PushCriterionValue(crit, crit.upper);
        if (negated)
            Emit(upperOut ? opGrtEqu : opGreater);
        else
            Emit(upperOut ? opLower : opLowEqu);
        return Emit(negated ? opOr : opAnd);
    }
    if (op == coIn || op == coNotIn) {
        for (const CInListVal& v : crit.inValues) {
            PushCriterionValue(crit, v.value);
            EmitConstant(1);
        }
        for (const CInListBound& b : crit.inRanges) {
            PushCriterionValue(crit, b.lower);
            PushCriterionValue(crit, b.upper);
            EmitConstant(2);
        }
        EmitConstant(2 * uint64_t(crit.inValues.size()) + 3 * uint64_t(crit.inRanges.size()));
        Emit(opIn);
        if (op == coNotIn)
            Emit(opNot);
        return;
    }
    Fail(peCritical);
}

void CSQLParser::CompileCriteria() {
    CLinkLists& links = *m_links;
    std::vector<CWithCrit*> compiled;
    for (int32_t i = 0; i < links.CriterionCount(); ++i) {
        CWithCrit& crit = links.Criterion(i);
        if (crit.field == nullptr || crit.link == nullptr)
            return Fail(peCritical);
        if (links.optimise && crit.field->keyFlags != 0) {
            crit.handedToLink = true;
            crit.link->Criteria().push_back(crit);
        } else {
            compiled.push_back(&crit);
        }
    }
    if (compiled.empty())
        return;
    // The WHERE result goes back under the criteria so that one more AND
    // can join them to it.
    if (m_haveWhere)
        m_pcode->Stack().Push(m_whereResult);
    for (size_t i = 0; i < compiled.size() && m_actionState == peNoErr; ++i) {
        CompileCriterion(*compiled[i]);
        if (i > 0)
            Emit(opAnd);
    }
    if (m_haveWhere)
        Emit(opAnd);
    if (m_actionState == peNoErr) {
        CStackItem result;
        m_pcode->Stack().Pop(&result);
        m_whereResult = result;
        m_haveWhere = true;
    }
}

} // namespace kdm::sql
