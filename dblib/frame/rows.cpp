#include "frame/rows.h"

#include <cstring>
#include <memory>

#include "frame/exceptions.h"

namespace kdm {

void SetEmptyBookmark(uint8_t* bookmark) {
    std::memset(bookmark, 0, kBookmarkSize);
    int64_t position = kPositionNoRow;
    std::memcpy(bookmark + kBookmarkPositionOffset, &position, sizeof position);
}

int64_t BookmarkPosition(const uint8_t* bookmark) {
    int64_t position;
    std::memcpy(&position, bookmark + kBookmarkPositionOffset, sizeof position);
    return position;
}

// ---- TKdmDBIRow -------------------------------------------------------------

void TKdmDBIRow::BuildFields(const TDBIFieldDefs& defs) {
    Clear();
    for (const TDBIFieldDef* def : defs) {
        auto field = std::make_unique<TKdmDBIField>(*def);
        Add(field.get());
        field.release();
    }
}

void TKdmDBIRow::Bind(TDBIFieldDefs& defs) {
    for (const TDBIFieldDef* def : defs)
        (void)(*this)[def->index];
    for (TDBIFieldDef* def : defs)
        def->bound = (*this)[def->index];
}

void TKdmDBIRow::ClearRow() {
    SetEmptyBookmark(m_bookmark);
    for (TKdmDBIField* field : *this)
        field->Clear();
}

// ---- reading ----------------------------------------------------------------

namespace {

// Reads one fixed-width value and stores flags and value bytes.
template <class T, class Getter> void ReadFixed(TKdmDBIField& field, int* status, Getter get) {
    T value{};
    uint8_t flags = 0;
    int s = get(&value, &flags);
    if (s != kTransferOk) {
        *status = s;
        return;
    }
    uint8_t* b = field.Buffer();
    b[kValueFlagsOffset] = flags & kValueTagFlagsMask;
    std::memcpy(b + kValueOffset, &value, sizeof value);
}

void ReadString(IValueReader& reader, TKdmDBIField& field, int* status) {
    uint32_t capacity = field.StringCapacity();
    char text[kStringMaxLength + 1];
    uint32_t length = 0;
    uint8_t flags = 0;
    int s = reader.GetStringFlags(text, capacity, &length, &flags);
    if (s != kTransferOk) {
        *status = s;
        return;
    }
    if (length > capacity)
        length = capacity;
    uint8_t* b = field.Buffer();
    std::memset(b, 0, field.BufferSize());
    b[kValueFlagsOffset] = flags & kValueTagFlagsMask;
    std::memcpy(b + kStringTextOffset, text, length);
    if ((flags & kValuePresent) != 0)
        b[kStringLengthOffset] = static_cast<uint8_t>(length);
}

void ReadBlob(IValueReader& reader, TKdmDBIField& field, int* status) {
    uint8_t* b = field.Buffer();
    TVirtualBuffer* block = field.BlobBlock();
    std::memset(b + kBlobReservedOffset, 0, kBlobBufferSize - kBlobReservedOffset);
    uint32_t attribute = 0, length = 0;
    const uint8_t* data = nullptr;
    uint8_t flags = 0;
    int s = reader.GetBlobInPlaceFlags(&attribute, &length, &data, &flags);
    if (s != kTransferOk) {
        *status = s;
        block->Clear();
        return;
    }
    b[kValueFlagsOffset] = flags & kValueTagFlagsMask;
    std::memcpy(b + kBlobAttributeOffset, &attribute, sizeof attribute);
    std::memcpy(b + kBlobLengthOffset, &length, sizeof length);
    if ((flags & kValuePresent) == 0) {
        block->Clear();
        return;
    }
    try {
        block->Resize(length);
        block->Write(0, data, length);
    } catch (...) {
        // A blob that does not fit in memory must not leave a length that
        // promises more bytes than the block holds.
        field.Clear();
        throw;
    }
}

} // namespace

void ReadFieldValue(IValueReader& reader, TKdmDBIField& field, int* status) {
    if (*status != kTransferOk)
        return;
    switch (field.Type()) {
    case kFieldBool:
        ReadFixed<bool>(field, status,
                        [&](bool* v, uint8_t* f) { return reader.GetBoolFlags(v, f); });
        break;
    case kFieldUInt8:
        ReadFixed<uint8_t>(field, status,
                           [&](uint8_t* v, uint8_t* f) { return reader.GetUInt8Flags(v, f); });
        break;
    case kFieldInt16:
        ReadFixed<int16_t>(field, status,
                           [&](int16_t* v, uint8_t* f) { return reader.GetInt16Flags(v, f); });
        break;
    case kFieldInt32:
        ReadFixed<int32_t>(field, status,
                           [&](int32_t* v, uint8_t* f) { return reader.GetInt32Flags(v, f); });
        break;
    case kFieldInt64:
        ReadFixed<int64_t>(field, status,
                           [&](int64_t* v, uint8_t* f) { return reader.GetInt64Flags(v, f); });
        break;
    case kFieldUInt16:
        ReadFixed<uint16_t>(field, status,
                            [&](uint16_t* v, uint8_t* f) { return reader.GetUInt16Flags(v, f); });
        break;
    case kFieldUInt32:
        ReadFixed<uint32_t>(field, status,
                            [&](uint32_t* v, uint8_t* f) { return reader.GetUInt32Flags(v, f); });
        break;
    case kFieldFloat:
        ReadFixed<float>(field, status,
                         [&](float* v, uint8_t* f) { return reader.GetFloatFlags(v, f); });
        break;
    case kFieldDouble:
        ReadFixed<double>(field, status,
                          [&](double* v, uint8_t* f) { return reader.GetDoubleFlags(v, f); });
        break;
    case kFieldDateTime:
        ReadFixed<TNativeDateTime>(field, status, [&](TNativeDateTime* v, uint8_t* f) {
            return reader.GetDateTimeFlags(v, f);
        });
        break;
    case kFieldString:
        ReadString(reader, field, status);
        break;
    case kFieldBlob:
        ReadBlob(reader, field, status);
        break;
    default:
        field.Clear();
        *status = kTransferWrongType;
        break;
    }
}

void ReadRow(IValueReader& reader, TKdmDBIRow& row, int* status) {
    if (*status != kTransferOk)
        return;
    uint8_t bookmark[kBookmarkSize];
    uint32_t length = 0;
    int s = reader.GetBytes(bookmark, kBookmarkSize, &length);
    if (s == kTransferOk && length > kBookmarkSize)
        s = kTransferBeyondEnd;
    if (s != kTransferOk) {
        *status = s;
        return;
    }
    // Only the used part travels; the rest must not keep an older row's bytes.
    std::memset(bookmark + length, 0, kBookmarkSize - length);
    std::memcpy(row.Bookmark(), bookmark, kBookmarkSize);
    if (row.Position() < 0)
        return;
    for (TKdmDBIField* field : row) {
        ReadFieldValue(reader, *field, status);
        if (*status != kTransferOk)
            return;
    }
}

// ---- TKdmDBIRowList ---------------------------------------------------------

TKdmDBIRowList::TKdmDBIRowList(int32_t rowCount, TDBIFieldDefs* defs) : m_defs(defs) {
    if (rowCount <= 0)
        throw EException("TKdmDBIRowList: Row count must be positive.", 0, 0);
    SetCapacity(rowCount);
    for (int32_t i = 0; i < rowCount; ++i) {
        auto row = std::make_unique<TKdmDBIRow>();
        Add(row.get());
        row.release();
    }
}

void TKdmDBIRowList::UnbindDefs() {
    if (m_defs != nullptr)
        m_defs->UnbindAll();
}

void TKdmDBIRowList::BindCurrent() {
    if (m_defs != nullptr)
        (*this)[m_current]->Bind(*m_defs);
}

void TKdmDBIRowList::Reset() {
    m_windowStart = 0;
    m_windowEnd = 0;
    m_current = 0;
    m_forward = true;
    UnbindDefs();
}

void TKdmDBIRowList::Rebuild() {
    Reset();
    TDBIFieldDefs none;
    for (TKdmDBIRow* row : *this) {
        row->BuildFields(m_defs != nullptr ? *m_defs : none);
        SetEmptyBookmark(row->Bookmark());
    }
}

void TKdmDBIRowList::ClearAll() {
    Reset();
    for (TKdmDBIRow* row : *this)
        row->ClearRow();
}

void TKdmDBIRowList::KeepCurrent() {
    if (!CurrentInWindow()) {
        ClearAll();
        return;
    }
    for (int32_t i = m_windowStart; i < m_windowEnd; ++i)
        if (i != m_current)
            (*this)[i]->ClearRow();
    m_windowStart = m_current;
    m_windowEnd = m_current + 1;
}

int TKdmDBIRowList::Fill(IValueReader& reader, bool forward) {
    const int32_t count = Count();
    int status = kTransferOk;
    int32_t read = 0;
    m_forward = forward;
    while (read < count) {
        bool more = false;
        status = reader.GetBool(&more);
        if (status != kTransferOk || !more)
            break;
        ReadRow(reader, *(*this)[forward ? read : count - 1 - read], &status);
        if (status != kTransferOk)
            break;
        ++read;
    }
    if (forward) {
        m_windowStart = 0;
        m_windowEnd = read;
        m_current = 0;
    } else {
        m_windowStart = count - read;
        m_windowEnd = count;
        m_current = count - 1;
    }
    BindCurrent();
    return status;
}

bool TKdmDBIRowList::Move(bool forward, uint8_t* bookmark) {
    const int32_t previous = m_current;
    if (forward) {
        if (m_current < m_windowEnd)
            ++m_current;
    } else if (m_current >= m_windowStart) {
        --m_current;
    }
    if (CurrentInWindow() && (*this)[m_current]->Position() >= 0) {
        BindCurrent();
        return true;
    }
    m_current = previous;
    if (bookmark != nullptr)
        std::memcpy(bookmark, (*this)[previous]->Bookmark(), kBookmarkSize);
    UnbindDefs();
    return false;
}

void TKdmDBIRowList::CurrentBookmark(uint8_t* bookmark) const {
    if (CurrentInWindow())
        std::memcpy(bookmark, (*this)[m_current]->Bookmark(), kBookmarkSize);
    else
        SetEmptyBookmark(bookmark);
}

} // namespace kdm
