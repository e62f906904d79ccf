#include "sql/support/mem_db.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <stdexcept>

#include "sql/row_filter.h"
#include "sql/sql_session.h"

namespace kdm::sql::test {

namespace {

template <class T> void Store(uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof v);
}
template <class T> T Load(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

bool IsMarker(int64_t p) {
    return p == kBeforeFirst || p == kAfterLast;
}

} // namespace

CRecord::CRecord(uint32_t tableNo)
    : m_tableNo(tableNo), m_bytes(CatalogueTable(tableNo).recordSize, 0) {}

uint8_t* CRecord::Storage(const char* field, uint32_t* type) {
    const TKdmStructTableDef& t = CatalogueTable(m_tableNo);
    for (uint32_t i = 0; i < t.fieldCount; ++i)
        if (EqualNoCase(t.fields[i].name, field)) {
            *type = t.fields[i].type;
            uint8_t* s = m_bytes.data() + t.fields[i].offset;
            std::memset(s, 0, StorageSize(t.fields[i].type, t.fields[i].strSize));
            s[0] = 0x80;
            return s;
        }
    throw std::invalid_argument(std::string("no field ") + field);
}

CRecord& CRecord::Int(const char* field, int64_t v) {
    uint32_t type;
    uint8_t* s = Storage(field, &type);
    switch (type) {
    case kTypeBool:
    case kTypeByte:
        s[1] = static_cast<uint8_t>(v);
        break;
    case kTypeSmallInt:
    case kTypeWord:
        Store(s + 1, static_cast<uint16_t>(v));
        break;
    case kTypeInteger:
    case kTypeDWord:
        Store(s + 1, static_cast<uint32_t>(v));
        break;
    case kTypeFloat:
        Store(s + 1, static_cast<float>(v));
        break;
    case kTypeDouble:
        Store(s + 1, static_cast<double>(v));
        break;
    default:
        Store(s + 1, v);
        break;
    }
    return *this;
}

CRecord& CRecord::Real(const char* field, double v) {
    uint32_t type;
    uint8_t* s = Storage(field, &type);
    if (type == kTypeFloat)
        Store(s + 1, static_cast<float>(v));
    else
        Store(s + 1, v);
    return *this;
}

CRecord& CRecord::Text(const char* field, const std::string& text) {
    uint32_t type;
    uint8_t* s = Storage(field, &type);
    const TKdmStructTableDef& t = CatalogueTable(m_tableNo);
    uint32_t size = 0;
    for (uint32_t i = 0; i < t.fieldCount; ++i)
        if (EqualNoCase(t.fields[i].name, field))
            size = t.fields[i].strSize;
    size_t n = std::min<size_t>(text.size(), size);
    s[2] = static_cast<uint8_t>(n);
    std::memcpy(s + 3, text.data(), n);
    return *this;
}

CRecord& CRecord::Date(const char* field, uint32_t day, uint32_t ms) {
    uint32_t type;
    uint8_t* s = Storage(field, &type);
    Store(s + 1, ms);
    Store(s + 5, day);
    return *this;
}

CRecord& CRecord::Blob(const char* field, uint64_t ref, uint32_t length) {
    uint32_t type;
    uint8_t* s = Storage(field, &type);
    Store(s + 5, length);
    Store(s + 9, ref);
    return *this;
}

CRecord& CRecord::Null(const char* field) {
    uint32_t type;
    uint8_t* s = Storage(field, &type);
    s[0] = 0;
    return *this;
}

int64_t CMemDatabase::Table::Key(size_t i) const {
    return Load<int64_t>(Row(i) + 1);
}

size_t CMemDatabase::Table::LowerBound(int64_t key) const {
    if (hint < Rows() && Key(hint) == key)
        return hint;
    size_t lo = 0, hi = Rows();
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (Key(mid) < key)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

CMemDatabase::CMemDatabase() : m_tables(kCatalogueTableCount) {
    for (uint32_t i = 0; i < kCatalogueTableCount; ++i)
        m_tables[i].recordSize = CatalogueTable(i).recordSize;
}

TCBDatabaseEngine CMemDatabase::Engine() {
    TCBDatabaseEngine engine = RecorderSchemaEngine();
    engine.user = this;
    engine.FetchRow = FetchRow;
    engine.FetchRowBlob = FetchRowBlob;
    engine.FetchPrimKey = FetchPrimKey;
    return engine;
}

bool CMemDatabase::Insert(const CRecord& record) {
    return InsertBytes(record.TableNo(), record.Bytes().data());
}

bool CMemDatabase::InsertBytes(uint32_t tableNo, const uint8_t* record) {
    if (tableNo >= m_tables.size() || (record[0] & 0x80) == 0)
        return false;
    std::lock_guard<std::mutex> guard(m_lock);
    Table& t = m_tables[tableNo];
    int64_t key = Load<int64_t>(record + 1);
    size_t n = t.Rows();
    size_t at = (n == 0 || t.Key(n - 1) < key) ? n : t.LowerBound(key);
    if (at < n && t.Key(at) == key) {
        std::memcpy(t.data.data() + at * t.recordSize, record, t.recordSize);
        return true;
    }
    t.data.insert(t.data.begin() + static_cast<std::ptrdiff_t>(at * t.recordSize), record,
                  record + t.recordSize);
    return true;
}

void CMemDatabase::Clear(uint32_t tableNo) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_tables.at(tableNo).data.clear();
}

size_t CMemDatabase::RowCount(uint32_t tableNo) {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_tables.at(tableNo).Rows();
}

uint64_t CMemDatabase::AddBlob(std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_blobs.push_back(std::move(bytes));
    return m_blobs.size() - 1;
}

bool CMemDatabase::Passes(CTableLink* link, const uint8_t* record, uint32_t size, void* cursor) {
    return PassesCriteria(link->Criteria(), record, size) &&
           SqlCursorRecordMatches(cursor, link, record);
}

void CMemDatabase::Take(CTableLink* link, const uint8_t* record, uint32_t size) {
    std::memcpy(link->RowBuffer(), record, std::min(size, link->BufferSize()));
}

int32_t CMemDatabase::FetchRow(void* user, CTableLink* link, int32_t mode, int64_t* position,
                               bool* found, void* cursor) {
    auto* db = static_cast<CMemDatabase*>(user);
    db->fetchRowCalls.fetch_add(1, std::memory_order_relaxed);
    *found = false;
    if (db->failCalls.load())
        return 0;
    std::lock_guard<std::mutex> guard(db->m_lock);
    uint32_t no = link->Table().tableNo;
    if (no >= db->m_tables.size())
        return 0;
    const Table& t = db->m_tables[no];
    const size_t n = t.Rows();
    const int64_t pos = *position;
    auto accept = [&](size_t i) {
        t.hint = i;
        Take(link, t.Row(i), t.recordSize);
        *position = t.Key(i);
        *found = true;
        return 1;
    };
    switch (mode) {
    case 0: {
        if (IsMarker(pos))
            return 1;
        size_t i = t.LowerBound(pos);
        if (i < n && t.Key(i) == pos && Passes(link, t.Row(i), t.recordSize, cursor))
            return accept(i);
        return 1;
    }
    case 1: {
        if (pos == kAfterLast)
            return 1;
        size_t i = pos == kBeforeFirst ? 0 : t.LowerBound(pos);
        if (pos != kBeforeFirst && i < n && t.Key(i) == pos)
            ++i;
        for (size_t seen = 0; i < n; ++i, ++seen) {
            if ((seen & 255) == 255 && SqlCursorAborted(cursor))
                return 1;
            if (Passes(link, t.Row(i), t.recordSize, cursor))
                return accept(i);
        }
        *position = kAfterLast;
        return 1;
    }
    case 2: {
        if (pos == kBeforeFirst)
            return 1;
        size_t i = pos == kAfterLast ? n : t.LowerBound(pos); // rows before i have smaller keys
        for (size_t seen = 0; i > 0; --i, ++seen) {
            if ((seen & 255) == 255 && SqlCursorAborted(cursor))
                return 1;
            if (Passes(link, t.Row(i - 1), t.recordSize, cursor))
                return accept(i - 1);
        }
        *position = kBeforeFirst;
        return 1;
    }
    default:
        return 0;
    }
}

int32_t CMemDatabase::FetchRowBlob(void* user, uint32_t, const uint8_t*,
                                   const uint8_t* fieldStorage, uint32_t length, void* buffer) {
    auto* db = static_cast<CMemDatabase*>(user);
    if (db->failCalls.load())
        return 0;
    std::lock_guard<std::mutex> guard(db->m_lock);
    uint64_t ref = Load<uint64_t>(fieldStorage + 9);
    if (ref >= db->m_blobs.size())
        return 0;
    const std::vector<uint8_t>& blob = db->m_blobs[ref];
    if (length > blob.size())
        return 0;
    if (length > 0)
        std::memcpy(buffer, blob.data(), length);
    return 1;
}

int32_t CMemDatabase::FetchPrimKey(void* user, const uint8_t* keyStorage, bool* found, bool outer,
                                   void* cursor, CTableLink* link) {
    auto* db = static_cast<CMemDatabase*>(user);
    db->primKeyCalls.fetch_add(1, std::memory_order_relaxed);
    *found = false;
    if (db->failCalls.load())
        return 0;
    std::lock_guard<std::mutex> guard(db->m_lock);
    uint32_t no = link->Table().tableNo;
    if (no >= db->m_tables.size())
        return 0;
    const Table& t = db->m_tables[no];
    if (keyStorage[0] & 0x80) {
        int64_t key = Load<int64_t>(keyStorage + 1);
        size_t i = t.LowerBound(key);
        if (i < t.Rows() && t.Key(i) == key && Passes(link, t.Row(i), t.recordSize, cursor)) {
            Take(link, t.Row(i), t.recordSize);
            *found = true;
            return 1;
        }
    }
    if (outer) {
        std::vector<uint8_t> nulls(t.recordSize, 0);
        if (Passes(link, nulls.data(), t.recordSize, cursor)) {
            Take(link, nulls.data(), t.recordSize);
            *found = true;
        }
    }
    return 1;
}

std::string RowText(const std::vector<TResultColumn>& columns) {
    std::string out;
    for (const TResultColumn& c : columns) {
        if (!out.empty())
            out += ',';
        out += c.fieldName + "=";
        const uint8_t* s = c.storage;
        if ((s[0] & 0x80) == 0) {
            out += "NULL";
            continue;
        }
        const uint8_t* v = s + 1;
        char buf[64];
        switch (c.type) {
        case kTypeBool:
        case kTypeByte:
            std::snprintf(buf, sizeof buf, "%u", v[0]);
            break;
        case kTypeSmallInt:
            std::snprintf(buf, sizeof buf, "%d", Load<int16_t>(v));
            break;
        case kTypeWord:
            std::snprintf(buf, sizeof buf, "%u", Load<uint16_t>(v));
            break;
        case kTypeInteger:
            std::snprintf(buf, sizeof buf, "%d", Load<int32_t>(v));
            break;
        case kTypeDWord:
            std::snprintf(buf, sizeof buf, "%u", Load<uint32_t>(v));
            break;
        case kTypeHugeInt:
            std::snprintf(buf, sizeof buf, "%" PRId64, Load<int64_t>(v));
            break;
        case kTypeFloat:
            std::snprintf(buf, sizeof buf, "%g", Load<float>(v));
            break;
        case kTypeDouble:
            std::snprintf(buf, sizeof buf, "%g", Load<double>(v));
            break;
        case kTypeDateTime:
            std::snprintf(buf, sizeof buf, "%u:%u", Load<uint32_t>(v + 4), Load<uint32_t>(v));
            break;
        case kTypeVarChar:
            out += '\'';
            out.append(reinterpret_cast<const char*>(s + 3), s[2]);
            out += '\'';
            continue;
        case kTypeBlobRef:
            std::snprintf(buf, sizeof buf, "blob%u", Load<uint32_t>(s + 5));
            break;
        default:
            std::snprintf(buf, sizeof buf, "?");
            break;
        }
        out += buf;
    }
    return out;
}

} // namespace kdm::sql::test
