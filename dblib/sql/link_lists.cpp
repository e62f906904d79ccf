#include "sql/link_lists.h"

#include <deque>

#include "frame/exceptions.h"
#include "sql/schema.h"
#include "sql/sql_diag.h"
#include "sql/sql_tokens.h"

namespace kdm::sql {

CTableLink::CTableLink(const CTableDef& table, const TCBDatabaseEngine& engine)
    : m_table(&table), m_engine(engine), m_row(table.RowBufferSize(), 0),
      m_saved(table.RowBufferSize(), 0), m_current(m_row.data()) {}

void CTableLink::Reset(bool atEnd) {
    position = atEnd ? kAfterLast : kBeforeFirst;
    startPending = false;
    if (startPosition && *startPosition != kBeforeFirst && *startPosition != kAfterLast) {
        position = *startPosition;
        startPending = true;
    }
    found = false;
    fetchedByKey = false;
}

void CTableLink::Save() {
    savedPosition = position;
    savedFound = found;
    savedFetchedByKey = fetchedByKey;
    m_saved = m_row;
}

void CTableLink::Restore() {
    position = savedPosition;
    found = savedFound;
    fetchedByKey = savedFetchedByKey;
    startPending = false;
    m_row = m_saved;
}

CLinkLists::CLinkLists(const CDatabaseStructure& db, const TCBDatabaseEngine& engine)
    : m_db(db), m_engine(engine) {}

CTableLink* CLinkLists::AddTable(const char* name) {
    const CTableDef* table = m_db.FindTable(name);
    if (table == nullptr)
        return nullptr;
    if (CTableLink* link = FindLinkOf(table))
        return link;
    return &m_tables.Emplace(*table, m_engine);
}

CTableLink* CLinkLists::FindLink(const char* name) const {
    return FindLinkOf(m_db.FindTable(name));
}

CTableLink* CLinkLists::FindLinkOf(const CTableDef* table) const {
    if (table == nullptr)
        return nullptr;
    for (int32_t i = 0; i < m_tables.Count(); ++i)
        if (&m_tables[i].Table() == table)
            return const_cast<CTableLink*>(&m_tables[i]);
    return nullptr;
}

uint8_t CLinkLists::AddJoin(const CFieldDef* keyField, const CFieldDef* refField, uint8_t mode,
                            const char* beforeJoinTable) {
    const CTableDef* keyTable = m_db.FindTableOfField(keyField->fieldId);
    const CTableDef* refTable = m_db.FindTableOfField(refField->fieldId);
    for (int32_t i = 0; i < m_joins.Count(); ++i) {
        const CTableDef* a = &m_joins[i].keyLink->Table();
        const CTableDef* b = &m_joins[i].refLink->Table();
        if ((a == keyTable && b == refTable) || (a == refTable && b == keyTable))
            return peDuplicJoin;
    }
    CTableLink* keyLink = FindLinkOf(keyTable);
    CTableLink* refLink = FindLinkOf(refTable);
    if (keyLink == nullptr || refLink == nullptr)
        return peJoinErr2;
    CJoin& join = m_joins.Emplace();
    join.keyLink = keyLink;
    join.keyField = keyField;
    join.refLink = refLink;
    join.refField = refField;
    join.mode = mode;
    join.beforeJoin = EqualNoCase(refTable->name.c_str(), beforeJoinTable) ? refLink : keyLink;
    return peNoErr;
}

int32_t CTopolSort::LeaderOf(uint32_t key) {
    for (int32_t i = 0; i < m_leaders.Count(); ++i)
        if (m_leaders[i].key == key)
            return i;
    m_leaders.Emplace(key);
    return m_leaders.Count() - 1;
}

void CTopolSort::AddEdge(uint32_t from, uint32_t to) {
    int32_t f = LeaderOf(from);
    int32_t t = LeaderOf(to);
    m_leaders[f].trailers.Emplace(CTrailr{t});
    ++m_leaders[t].predecessors;
}

bool CTopolSort::Sort() {
    m_output.Clear();
    std::deque<int32_t> ready;
    for (int32_t i = 0; i < m_leaders.Count(); ++i)
        if (m_leaders[i].predecessors == 0)
            ready.push_front(i);
    while (!ready.empty()) {
        CLeader& leader = m_leaders[ready.front()];
        ready.pop_front();
        m_output.Emplace(CGraphNode{leader.key});
        for (int32_t k = 0; k < leader.trailers.Count(); ++k)
            if (--m_leaders[leader.trailers[k].leader].predecessors == 0)
                ready.push_front(leader.trailers[k].leader);
    }
    return m_output.Count() == m_leaders.Count();
}

uint8_t CLinkLists::OrderTables() {
    if (m_joins.Empty())
        return peNoErr;
    CTopolSort sort;
    for (int32_t i = 0; i < m_joins.Count(); ++i) {
        const CJoin& j = m_joins[i];
        if (j.refField->keyFlags != kKeyPrimary)
            sort.AddEdge(j.refLink->Table().tableNo, j.keyLink->Table().tableNo);
    }
    if (!sort.Sort())
        return peInvalJoin;
    std::vector<uint32_t> order;
    for (int32_t i = 0; i < sort.Count(); ++i)
        order.push_back(sort.Node(i).tableNo);

    for (int32_t i = 0; i < m_tables.Count(); ++i) {
        uint32_t no = m_tables[i].Table().tableNo;
        bool sorted = false;
        for (uint32_t o : order)
            sorted |= o == no;
        if (!sorted)
            order.push_back(no);
    }
    for (int32_t i = 0; i < m_tables.Count() && i < static_cast<int32_t>(order.size()); ++i)
        for (int32_t k = i; k < m_tables.Count(); ++k)
            if (m_tables[k].Table().tableNo == order[static_cast<size_t>(i)]) {
                m_tables.Swap(i, k);
                break;
            }

    auto place = [this](const CTableLink* link) {
        for (int32_t i = 0; i < m_tables.Count(); ++i)
            if (&m_tables[i] == link)
                return i;
        return -1;
    };
    for (int32_t i = 0; i < m_joins.Count(); ++i) {
        CJoin& j = m_joins[i];
        if (j.keyField->keyFlags == kKeyPrimary && j.refField->keyFlags == kKeyPrimary &&
            place(j.keyLink) < place(j.refLink)) {
            std::swap(j.keyLink, j.refLink);
            std::swap(j.keyField, j.refField);
        }
    }
    return peNoErr;
}

void CLinkLists::AddOnce(std::vector<TFieldUse>& list, const TFieldUse& use) {
    for (const TFieldUse& u : list)
        if (u.field == use.field)
            return;
    list.push_back(use);
}

bool CLinkLists::FindFromField(const char* tableName, const char* fieldName, TFieldUse* use) const {
    if (tableName != nullptr) {
        CTableLink* link = FindLink(tableName);
        const CFieldDef* field = link ? link->Table().FindField(fieldName) : nullptr;
        if (field == nullptr)
            return false;
        *use = {&link->Table(), field, true};
        return true;
    }
    for (int32_t i = m_tables.Count() - 1; i >= 0; --i)
        if (const CFieldDef* field = m_tables[i].Table().FindField(fieldName)) {
            *use = {&m_tables[i].Table(), field, true};
            return true;
        }
    return false;
}

bool CLinkLists::AddTableFields(const CTableDef* table) {
    if (table == nullptr)
        return false;
    for (const auto& f : table->fields)
        AddOnce(m_selectFields, {table, f.get(), true});
    return true;
}

bool CLinkLists::ResolveSelectList() {
    m_selectFields.clear();
    m_columns.clear();
    if (m_selectAll) {
        for (int32_t i = 0; i < m_tables.Count(); ++i)
            AddTableFields(&m_tables[i].Table());
    } else {
        for (const CSelectForward& item : m_selectList) {
            const char* table = item.tableName.empty() ? nullptr : item.tableName.c_str();
            if (item.allFields) {
                CTableLink* link = FindLink(table);
                if (link == nullptr)
                    return false;
                AddTableFields(&link->Table());
                continue;
            }
            TFieldUse use;
            if (!FindFromField(table, item.fieldName.c_str(), &use))
                return false;
            AddOnce(m_selectFields, use);
        }
    }
    for (const TFieldUse& use : m_selectFields) {
        CTableLink* link = FindLinkOf(use.table);
        TResultColumn column;
        column.tableName = use.table->name;
        column.fieldName = use.field->name;
        column.fieldId = use.field->fieldId;
        column.tableNo = use.table->tableNo;
        column.type = use.field->type;
        column.strSize = use.field->strSize;
        column.keyFlags = use.field->keyFlags;
        column.rowBuffer = link->RowBuffer();
        column.storage = link->RowBuffer() + use.field->offset;
        m_columns.push_back(std::move(column));
    }
    return true;
}

std::string CLinkLists::FieldListsText() const {
    const std::string& rule = DiagRule();
    const char* header = "Table name              Field name              Field ID\n";
    auto lines = [&](const char* title, const std::vector<TFieldUse>& list) {
        std::string out = std::string(title) + header;
        for (const TFieldUse& u : list)
            out += Format("%-24s%-24s%u\n", u.table->name.c_str(), u.field->name.c_str(),
                          u.field->fieldId);
        return out;
    };
    std::string out = rule + "Field/table lists of select command\n";
    out += lines("Select fields\n", m_selectFields) + rule;
    out += lines("Where fields\n", m_whereFields) + rule;
    out += lines("Oder by fields\n", m_orderFields) + rule;
    out += "From tables\n";
    for (int32_t i = 0; i < m_tables.Count(); ++i)
        out += m_tables[i].Table().name + "\n";
    out += rule + "Joins\n" + "Table.Field (PrimKey)   Table.Field (Joined)\n";
    for (int32_t i = 0; i < m_joins.Count(); ++i) {
        const CJoin& j = m_joins[i];
        std::string key = j.keyLink->Table().name + "." + j.keyField->name;
        out += Format("%-24s%s.%s\n", key.c_str(), j.refLink->Table().name.c_str(),
                      j.refField->name.c_str());
    }
    out += rule;
    return out;
}

} // namespace kdm::sql
