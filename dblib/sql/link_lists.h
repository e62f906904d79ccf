// The compiled description of one SELECT: the FROM tables with their row
// buffers, the joins, the WITH criteria, the select list with its result
// columns and the field lists of WHERE and ORDER BY. The join walk and the
// cursors run a statement from this description and its p-code.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sql/database_structure.h"
#include "sql/dyn_arr.h"

namespace kdm::sql {

// Row positions: the row's key value, or one of the markers.
inline constexpr int64_t kBeforeFirst = -1; // (-1,-1) as (low, high)
inline constexpr int64_t kAfterLast = -2;   // (-2,-1)

// A constant of a WITH criterion, read according to the field's type.
struct TCritValue {
    int64_t intValue = 0; // integers; KDMDATETIME: high word day, low word milliseconds
    double floatValue = 0;
    std::string text;
};

struct CInListVal {
    TCritValue value;
};
struct CInListBound {
    TCritValue lower;
    TCritValue upper;
};

class CTableLink;

// Criterion operators.
enum CritOperator : int32_t {
    coIsNull = 0,
    coIsNotNull = 1,
    coEqual = 2,
    coNotEqual = 3,
    coGreaterEqual = 4,
    coLessEqual = 5,
    coGreater = 6,
    coLess = 7,
    // 8..15 BETWEEN: bit 0 upper bound excluded, bit 1 lower excluded, bit 2 NOT
    coBetween = 8,
    coIn = 16,
    coNotIn = 17,
};

struct CWithCrit {
    int32_t op = coEqual;
    uint32_t type = 0; // the field's type
    TCritValue current;
    TCritValue lower;
    TCritValue upper;
    const CTableDef* table = nullptr;
    CTableLink* link = nullptr;
    const CFieldDef* field = nullptr;
    std::string tableName; // as written
    std::string fieldName;
    std::vector<CInListVal> inValues;
    std::vector<CInListBound> inRanges;
    bool handedToLink = false; // tested by the table's reader, not by the p-code
};

// One table of the query with the buffers its rows are read into.
class CTableLink {
public:
    CTableLink(const CTableDef& table, const TCBDatabaseEngine& engine);
    CTableLink(const CTableLink&) = delete;
    CTableLink& operator=(const CTableLink&) = delete;

    const CTableDef& Table() const { return *m_table; }
    const TCBDatabaseEngine& Engine() const { return m_engine; }
    uint8_t* RowBuffer() { return m_row.data(); }
    const uint8_t* RowBuffer() const { return m_row.data(); }
    uint8_t* SavedBuffer() { return m_saved.data(); }
    uint32_t BufferSize() const { return static_cast<uint32_t>(m_row.size()); }
    // The WITH criteria this table's reader tests (copies).
    std::vector<CWithCrit>& Criteria() { return m_criteria; }
    const std::vector<CWithCrit>& Criteria() const { return m_criteria; }

    // The row that p-code reads: the row buffer, or for the duration of a
    // reader's filter test a candidate record in place.
    const uint8_t* CurrentRow() const { return m_current; }
    void SetCurrentRow(const uint8_t* row) { m_current = row != nullptr ? row : m_row.data(); }

    // Before the first row, or after the last one with atEnd; a start
    // position re-establishes that row on the next read instead.
    void Reset(bool atEnd);
    void Save();
    void Restore();
    void ClearStart() {
        startPosition.reset();
        startPending = false;
    }

    int64_t position = kBeforeFirst;
    std::optional<int64_t> startPosition;
    bool found = false;
    bool fetchedByKey = false;
    bool startPending = false;
    int64_t savedPosition = kBeforeFirst;
    bool savedFound = false;
    bool savedFetchedByKey = false;

private:
    const CTableDef* m_table;
    TCBDatabaseEngine m_engine;
    std::vector<uint8_t> m_row;
    std::vector<uint8_t> m_saved;
    std::vector<CWithCrit> m_criteria;
    const uint8_t* m_current;
};

struct CJoin {
    CTableLink* keyLink = nullptr; // the side whose field is a key (flags 3)
    const CFieldDef* keyField = nullptr;
    CTableLink* refLink = nullptr;
    const CFieldDef* refField = nullptr;
    uint8_t mode = 0;                 // 0 inner, 1 LEFT, 2 RIGHT
    CTableLink* beforeJoin = nullptr; // the table written before JOIN
};

// The evaluation order of joined tables: a topological sort in which each
// table (a leader) lists the tables it references (its trailers) and counts
// the tables that reference it.
struct CTrailr {
    int32_t leader; // the successor's index among the leaders
};
struct CLeader {
    explicit CLeader(uint32_t k) : key(k) {}
    uint32_t key; // table number
    int32_t predecessors = 0;
    CDynArr<CTrailr> trailers;
};
struct CGraphNode {
    uint32_t tableNo;
};

class CTopolSort {
public:
    // from must come before to; leaders appear on first mention.
    void AddEdge(uint32_t from, uint32_t to);
    // False when the edges form a cycle. Tables without predecessors start
    // the order, the last mentioned first.
    bool Sort();
    int32_t Count() const { return m_output.Count(); }
    const CGraphNode& Node(int32_t i) const { return m_output[i]; }

private:
    int32_t LeaderOf(uint32_t key);
    CDynArr<CLeader> m_leaders;
    CDynArr<CGraphNode> m_output;
};

// A select item as written.
struct CSelectForward {
    std::string tableName; // empty: none
    std::string fieldName; // empty with allFields
    bool allFields = false;
};

struct TFieldUse {
    const CTableDef* table;
    const CFieldDef* field;
    bool ascending; // order fields only
};

struct TResultColumn {
    std::string tableName;
    std::string fieldName;
    uint32_t fieldId = 0;
    uint32_t tableNo = 0;
    uint32_t type = 0;
    uint32_t strSize = 0;
    uint8_t keyFlags = 0;
    uint8_t* storage = nullptr;   // the field inside the row buffer
    uint8_t* rowBuffer = nullptr; // the row buffer of its table link
};

class CLinkLists {
public:
    CLinkLists(const CDatabaseStructure& db, const TCBDatabaseEngine& engine);
    CLinkLists(const CLinkLists&) = delete;
    CLinkLists& operator=(const CLinkLists&) = delete;

    const CDatabaseStructure& Database() const { return m_db; }

    // FROM tables, one link per distinct table in order of first mention.
    // Null for a table the catalogue does not know.
    CTableLink* AddTable(const char* name);
    CTableLink* FindLink(const char* name) const;
    CTableLink* FindLinkOf(const CTableDef* table) const;
    int32_t TableCount() const { return m_tables.Count(); }
    CTableLink& Link(int32_t i) { return m_tables[i]; }
    const CTableLink& Link(int32_t i) const { return m_tables[i]; }

    // 33, or 19 "DuplicJoin" when the two tables are joined already.
    uint8_t AddJoin(const CFieldDef* keyField, const CFieldDef* refField, uint8_t mode,
                    const char* beforeJoinTable);
    int32_t JoinCount() const { return m_joins.Count(); }
    const CJoin& Join(int32_t i) const { return m_joins[i]; }
    // Puts referencing tables before the tables they reference: 33, or 20
    // "InvalJoin" for a cycle.
    uint8_t OrderTables();

    CWithCrit& AddCriterion() { return m_criteria.Emplace(); }
    int32_t CriterionCount() const { return m_criteria.Count(); }
    CWithCrit& Criterion(int32_t i) { return m_criteria[i]; }
    const CWithCrit& Criterion(int32_t i) const { return m_criteria[i]; }

    void RecordSelect(CSelectForward item) { m_selectList.push_back(std::move(item)); }
    void SetSelectAll() { m_selectAll = true; }
    bool SelectAll() const { return m_selectAll; }
    const std::vector<CSelectForward>& SelectList() const { return m_selectList; }
    // Select fields and result columns from the select list; false when an
    // item is not among the FROM tables.
    bool ResolveSelectList();

    // A field of the FROM tables; without a table name the last FROM table
    // that has the field wins.
    bool FindFromField(const char* tableName, const char* fieldName, TFieldUse* use) const;
    void AddWhereField(const TFieldUse& use) { AddOnce(m_whereFields, use); }
    void AddOrderField(const TFieldUse& use) { AddOnce(m_orderFields, use); }
    const std::vector<TFieldUse>& SelectFields() const { return m_selectFields; }
    const std::vector<TFieldUse>& WhereFields() const { return m_whereFields; }
    const std::vector<TFieldUse>& OrderFields() const { return m_orderFields; }
    const std::vector<TResultColumn>& ResultColumns() const { return m_columns; }

    bool optimise = true; // cleared by NOTOPT

    std::string FieldListsText() const;

private:
    static void AddOnce(std::vector<TFieldUse>& list, const TFieldUse& use);
    bool AddTableFields(const CTableDef* table);

    const CDatabaseStructure& m_db;
    TCBDatabaseEngine m_engine;
    CDynArr<CTableLink> m_tables{10, 5};
    CDynArr<CJoin> m_joins;
    CDynArr<CWithCrit> m_criteria;
    std::vector<CSelectForward> m_selectList;
    bool m_selectAll = false;
    std::vector<TFieldUse> m_selectFields;
    std::vector<TFieldUse> m_whereFields;
    std::vector<TFieldUse> m_orderFields;
    std::vector<TResultColumn> m_columns;
};

} // namespace kdm::sql
