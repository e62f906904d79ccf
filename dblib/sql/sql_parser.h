// The SQL compiler: walks the syntax graph with the scanner's tokens and
// builds, through the actions on the graph's nodes, the query description
// (CLinkLists) and the WHERE/WITH p-code (CPCodeMem).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "sql/database_structure.h"
#include "sql/link_lists.h"
#include "sql/pcode.h"
#include "sql/sql_scanner.h"
#include "sql/sql_syntax.h"
#include "sql/sql_tokens.h"

namespace kdm::sql {

class CSQLParser {
public:
    // The catalogue and the graph must outlive the parser; `session` is the
    // owning cursor, handed through to the row callbacks.
    CSQLParser(const CDatabaseStructure& db, const CSQLSyntax& syntax, void* session = nullptr);
    CSQLParser(const CSQLParser&) = delete;
    CSQLParser& operator=(const CSQLParser&) = delete;

    // True when the statement compiled without error. Afterwards the p-code,
    // the query description and the error report describe this statement; a
    // failed statement's description is incomplete and must not be run.
    bool Compile(const char* statement);

    // On success the position and the expected token are 0.
    void GetError(uint8_t* code, uint32_t* position, uint8_t* expected) const;
    const TSQLErrorReport& ErrorReport() const { return m_report; }

    CPCodeMem& PCode() { return *m_pcode; }
    const CPCodeMem& PCode() const { return *m_pcode; }
    CLinkLists& Links() { return *m_links; }
    const CLinkLists& Links() const { return *m_links; }
    const CSQLScanner& Scanner() const { return m_scanner; }
    const CDatabaseStructure& Database() const { return m_db; }
    void* Session() const { return m_session; }

    std::string ListingText() const { return m_pcode->ListingText(m_db); }
    std::string FieldListsText() const { return m_links->FieldListsText(); }
    std::string CompileStateText() const;

private:
    void Reset();
    void Walk(int32_t start);
    void Action(uint8_t action, bool matched);
    void StatementAction(uint8_t action);
    void ConditionAction(uint8_t action, bool matched);
    void ResetNames();
    void Fail(uint8_t error) {
        if (m_actionState == peNoErr)
            m_actionState = error;
    }
    void Emit(uint8_t opcode, uint32_t type = 0, uint64_t value = 0, const char* text = nullptr);
    void EmitConstant(uint64_t value) { Emit(opPushC, 8, value); }
    void ConvertCriterionValue();
    void CompileCriteria();
    void CompileCriterion(CWithCrit& crit);
    void PushCriterionValue(const CWithCrit& crit, const TCritValue& value);
    void PushCriterionField(const CWithCrit& crit);
    CWithCrit* CurrentCriterion();

    const CDatabaseStructure& m_db;
    const CSQLSyntax& m_syntax;
    void* m_session;
    CSQLScanner m_scanner;
    std::unique_ptr<CPCodeMem> m_pcode;
    std::unique_ptr<CLinkLists> m_links;

    uint8_t m_error = peNoErr;
    uint8_t m_expected = tkEnd;
    uint32_t m_position = 0;
    uint8_t m_actionState = peNoErr;
    bool m_match = false;
    TSQLToken m_token;
    std::string m_names[6]; // N1 .. N6
    bool m_ascending = true;
    uint8_t m_outerMode = 0;
    bool m_negate = false;
    uint64_t m_inCount = 0;
    // The WHERE result that the end of WHERE takes off the type stack; the
    // compiled WITH criteria are joined to it.
    CStackItem m_whereResult;
    bool m_haveWhere = false;
    TSQLErrorReport m_report;
};

} // namespace kdm::sql
