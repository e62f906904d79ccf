// Cached rows of a remote dataset or picture grabber and their filling from
// a reply.
#pragma once

#include <cstdint>

#include "frame/field_reader.h"
#include "frame/fields.h"
#include "frame/lists.h"

namespace kdm {

// Bookmark block: opaque except the signed 64-bit record position at
// offset 16. A negative position marks a row without values.
inline constexpr uint32_t kBookmarkSize = 264;
inline constexpr uint32_t kBookmarkPositionOffset = 16;
inline constexpr int64_t kPositionNoRow = -2;

// Zero bytes with position -2.
void SetEmptyBookmark(uint8_t* bookmark);
int64_t BookmarkPosition(const uint8_t* bookmark);

class TKdmDBIRow : public CUnsortedPtrOwningList<TKdmDBIField> {
public:
    TKdmDBIRow() { SetEmptyBookmark(m_bookmark); }

    uint8_t* Bookmark() { return m_bookmark; }
    const uint8_t* Bookmark() const { return m_bookmark; }
    int64_t Position() const { return BookmarkPosition(m_bookmark); }

    // One fresh field per definition, in list order.
    void BuildFields(const TDBIFieldDefs& defs);
    // Every definition's bound value := this row's field at its index; an
    // index outside the row raises the collection error before anything is
    // bound.
    void Bind(TDBIFieldDefs& defs);
    static void Unbind(TDBIFieldDefs& defs) { defs.UnbindAll(); }
    // Empty bookmark, every field NULL.
    void ClearRow();

private:
    uint8_t m_bookmark[kBookmarkSize];
};

// Reads one value of the field's type with the flags getters. Does nothing
// once *status is non-zero; a failed read sets *status and leaves the field
// as it was (a Blob's block is emptied). A type without a wire type zeroes
// the field and sets status 1.
void ReadFieldValue(IValueReader& reader, TKdmDBIField& field, int* status);

// Bookmark (Bytes of at most 264, the rest of the block zeroed), then one
// value per field when the position is not negative.
void ReadRow(IValueReader& reader, TKdmDBIRow& row, int* status);

// The row cache: a fixed number of rows, the window [start, end) of valid
// rows of the last fetch, the current row and the definitions that follow it.
class TKdmDBIRowList : public CUnsortedPtrOwningList<TKdmDBIRow> {
public:
    // rowCount must be positive; defs may be null (nothing to bind).
    TKdmDBIRowList(int32_t rowCount, TDBIFieldDefs* defs);

    int32_t WindowStart() const { return m_windowStart; }
    int32_t WindowEnd() const { return m_windowEnd; }
    int32_t CurrentIndex() const { return m_current; }
    bool FillForward() const { return m_forward; }
    TDBIFieldDefs* Defs() const { return m_defs; }
    bool CurrentInWindow() const { return m_current >= m_windowStart && m_current < m_windowEnd; }

    // Window empty, current 0, forward, definitions unbound.
    void Reset();
    // New statement: Reset, then every row's fields from the definitions.
    void Rebuild();
    // Reset, then every row cleared.
    void ClearAll();
    // Keeps only the current row when it lies in the window, else ClearAll.
    void KeepCurrent();
    // Reads "Bool true, row" pairs until Bool false, a failure or all rows
    // are used; only completely read rows enter the window. Binds the
    // definitions to the current row; returns the first failed status.
    int Fill(IValueReader& reader, bool forward);
    // One step within the window onto a row with values: binds it, true.
    // Otherwise the index stays, its row's bookmark goes to `bookmark`
    // (264 bytes, may be null), the definitions are unbound, false.
    bool Move(bool forward, uint8_t* bookmark);
    // The current row's bookmark, or the empty one outside the window.
    void CurrentBookmark(uint8_t* bookmark) const;

private:
    void BindCurrent();
    void UnbindDefs();

    int32_t m_windowStart = 0;
    int32_t m_windowEnd = 0;
    int32_t m_current = 0;
    bool m_forward = true;
    TDBIFieldDefs* m_defs;
};

} // namespace kdm
