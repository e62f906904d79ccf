#include "sql/database_structure.h"

#include <cstring>

#include "frame/exceptions.h"
#include "sql/schema.h"
#include "sql/sql_diag.h"

namespace kdm::sql {

namespace {

char UpperChar(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// A provider's name is taken up to its terminator or the record's room.
std::string NameFrom(const char* field, size_t room) {
    return UpperAscii(std::string(field, strnlen(field, room)).c_str());
}

void CopyName(char* dest, const char* name) {
    std::strncpy(dest, name, kNameCapacity);
    dest[kNameCapacity] = '\0';
}

bool SchemaTableInfo(void*, uint32_t tableNo, TTableInfo* info) {
    if (tableNo >= kCatalogueTableCount)
        return false;
    const TKdmStructTableDef& table = CatalogueTable(tableNo);
    std::memset(info, 0, sizeof *info);
    CopyName(info->name, table.name);
    info->recordSize = table.recordSize;
    return true;
}

bool SchemaFieldInfo(void*, uint32_t fieldId, TFieldInfo* info) {
    uint32_t first = 0;
    for (uint32_t no = 0; no < kCatalogueTableCount; ++no) {
        const TKdmStructTableDef& table = CatalogueTable(no);
        if (fieldId < first + table.fieldCount) {
            const TKdmStructFieldDef& field = table.fields[fieldId - first];
            std::memset(info, 0, sizeof *info);
            CopyName(info->tableName, table.name);
            CopyName(info->fieldName, field.name);
            info->type = field.type;
            info->strSize = field.strSize;
            info->offset = field.offset;
            info->keyFlags = field.keyFlags;
            info->fieldNo = field.fieldNo;
            return true;
        }
        first += table.fieldCount;
    }
    return false;
}

} // namespace

bool EqualNoCase(const char* a, const char* b) {
    if (a == nullptr || b == nullptr)
        return false;
    for (; *a != '\0' && *b != '\0'; ++a, ++b)
        if (UpperChar(*a) != UpperChar(*b))
            return false;
    return *a == *b;
}

std::string UpperAscii(const char* text) {
    std::string out = text ? text : "";
    for (char& c : out)
        c = UpperChar(c);
    return out;
}

TCBDatabaseEngine RecorderSchemaEngine() {
    TCBDatabaseEngine engine{};
    engine.size = sizeof engine;
    engine.GetTableInfo = SchemaTableInfo;
    engine.GetFieldInfo = SchemaFieldInfo;
    return engine;
}

const CFieldDef* CTableDef::FindField(const char* fieldName) const {
    for (const auto& f : fields)
        if (EqualNoCase(f->name.c_str(), fieldName))
            return f.get();
    return nullptr;
}

uint32_t CTableDef::RowBufferSize() const {
    uint32_t size = recordSize;
    for (const auto& f : fields) {
        uint64_t end = uint64_t(f->offset) + StorageSizeOrZero(f->type, f->strSize);
        if (end > size && end <= UINT32_MAX)
            size = static_cast<uint32_t>(end);
    }
    return size;
}

CDatabaseStructure::CDatabaseStructure(const TCBDatabaseEngine& engine) : m_engine(engine) {
    if (engine.GetTableInfo != nullptr) {
        for (uint32_t no = 0;; ++no) {
            TTableInfo info{};
            if (!engine.GetTableInfo(engine.user, no, &info))
                break;
            auto table = std::make_unique<CTableDef>();
            table->name = NameFrom(info.name, kNameCapacity);
            table->recordSize = info.recordSize;
            table->tableNo = no;
            m_tables.push_back(std::move(table));
        }
    }
    if (engine.GetFieldInfo == nullptr)
        return;
    size_t current = 0;
    for (uint32_t id = 0;; ++id) {
        TFieldInfo info{};
        if (!engine.GetFieldInfo(engine.user, id, &info))
            break;
        std::string tableName = NameFrom(info.tableName, kNameCapacity);
        while (current < m_tables.size() && m_tables[current]->name != tableName)
            ++current;
        if (current == m_tables.size())
            break; // out of catalogue order: nothing after it can be placed
        m_fieldCount = id + 1;
        CTableDef& table = *m_tables[current];
        std::string fieldName = NameFrom(info.fieldName, kNameCapacity);
        if (table.FindField(fieldName.c_str()) != nullptr)
            continue;
        auto field = std::make_unique<CFieldDef>();
        field->name = fieldName;
        field->fieldId = id;
        field->type = info.type;
        field->strSize = info.strSize;
        field->offset = info.offset;
        field->reserved = info.reserved;
        field->keyFlags = info.keyFlags;
        field->fieldNo = info.fieldNo;
        table.fields.push_back(std::move(field));
    }
}

const CTableDef* CDatabaseStructure::Table(uint32_t tableNo) const {
    return tableNo < m_tables.size() ? m_tables[tableNo].get() : nullptr;
}

const CTableDef* CDatabaseStructure::FindTable(const char* name) const {
    if (name == nullptr)
        return nullptr;
    for (const auto& t : m_tables)
        if (EqualNoCase(t->name.c_str(), name))
            return t.get();
    return nullptr;
}

bool CDatabaseStructure::GetTableNo(const char* name, uint32_t* tableNo) const {
    const CTableDef* table = FindTable(name);
    if (table == nullptr)
        return false;
    if (tableNo != nullptr)
        *tableNo = table->tableNo;
    return true;
}

const CFieldDef* CDatabaseStructure::FindField(const char* tableName, const char* fieldName) const {
    const CTableDef* table = FindTable(tableName);
    if (table == nullptr || fieldName == nullptr)
        return nullptr;
    return table->FindField(fieldName);
}

bool CDatabaseStructure::IsFieldName(const char* name) const {
    if (name == nullptr)
        return false;
    for (const auto& t : m_tables)
        if (t->FindField(name) != nullptr)
            return true;
    return false;
}

const CTableDef* CDatabaseStructure::FindTableOfField(uint32_t fieldId) const {
    for (const auto& t : m_tables)
        for (const auto& f : t->fields)
            if (f->fieldId == fieldId)
                return t.get();
    return nullptr;
}

const CFieldDef* CDatabaseStructure::FieldById(uint32_t fieldId) const {
    for (const auto& t : m_tables)
        for (const auto& f : t->fields)
            if (f->fieldId == fieldId)
                return f.get();
    return nullptr;
}

bool CDatabaseStructure::FindFieldById(uint32_t fieldId, std::string* tableName,
                                       std::string* fieldName) const {
    for (const auto& t : m_tables)
        for (const auto& f : t->fields)
            if (f->fieldId == fieldId) {
                if (tableName != nullptr)
                    *tableName = t->name;
                if (fieldName != nullptr)
                    *fieldName = f->name;
                return true;
            }
    return false;
}

std::string CDatabaseStructure::DumpText() const {
    const std::string& rule = DiagRule();
    std::string out = rule + "KDM SQL Database Structure\n" + rule;
    out += Format("Table Count: %u\n", TableCount());
    out += Format("Field Count: %u\n\n", m_fieldCount);
    out += "Table           Field           TableID/ FieldID  FieldType       StrSize/Ofs\n";
    out += "                                RecSize\n";
    out += rule;
    for (const auto& t : m_tables) {
        out += Format("%-32s%u/%u\n", t->name.c_str(), t->tableNo, t->recordSize);
        for (const auto& f : t->fields) {
            out += Format("                %-25s%-9u", f->name.c_str(), f->fieldId);
            out += Format("%-16s%-5u%-5u\n", EngineTypeName(f->type), f->strSize, f->offset);
        }
    }
    out += rule + "End of Database Structure\n" + rule;
    return out;
}

void CDatabaseStructure::Dump() const {
    if (EngineDiagnostics())
        WriteEngineDiagnostics(DumpText());
}

} // namespace kdm::sql
