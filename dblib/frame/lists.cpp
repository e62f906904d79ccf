#include "frame/lists.h"

namespace kdm {

const char* CListException::Text(Kind kind) {
    switch (kind) {
    case IndexOutOfRange:
        return "Collection error; index out of range!";
    case Overflow:
        return "Collection overflow - cannot grow!";
    case Underflow:
        return "Collection underflow - cannot shrink!";
    case SortedInsert:
        return "Collection insert error; collection is sorted!";
    case Other:
        break;
    }
    return "Unknown collection error!";
}

int32_t CListException::Number(Kind kind) {
    switch (kind) {
    case IndexOutOfRange:
        return -1;
    case Overflow:
    case SortedInsert: // shares the overflow number; callers rely on it
        return -2;
    case Underflow:
        return -3;
    case Other:
        break;
    }
    return 0;
}

CListException::CListException(Kind kind) : EException(Text(kind), Number(kind), 200) {}

void ThrowListError(CListException::Kind kind) {
    throw CListException(kind);
}

namespace list_policy {

int32_t Grow(int32_t capacity, int32_t step) {
    if (step == 0)
        ThrowListError(CListException::Overflow);
    int64_t next;
    if (step > 0)
        next = int64_t(capacity) + step;
    else if (capacity <= 1)
        next = 2;
    else if (capacity >= 2048)
        next = int64_t(capacity) + 2048;
    else
        next = int64_t(capacity) * 2;
    if (next > INT32_MAX / 16)
        ThrowListError(CListException::Overflow);
    return static_cast<int32_t>(next);
}

int32_t Shrink(int32_t count, int32_t capacity, int32_t step) {
    if (step == 0)
        return capacity;
    if (count == 0)
        return 0;
    int32_t s;
    if (step > 0)
        s = step;
    else if (capacity <= 4)
        s = 2;
    else if (capacity > 4096)
        s = 2048;
    else
        s = capacity / 2;
    if (s > capacity)
        s = capacity;
    if (capacity - s >= count + s / 2)
        return capacity - s;
    return capacity;
}

} // namespace list_policy

CList::CList(bool sorted, bool duplicates, Ownership ownership, int32_t step)
    : m_list(step), m_sorted(sorted), m_duplicates(duplicates), m_ownership(ownership) {}

CList::~CList() {
    // Derived lists are gone by now, so owned objects are released through
    // the base behaviour only; derived owning lists clear themselves.
    Clear();
}

int CList::Compare(Word a, Word b) const {
    return a < b ? -1 : (a > b ? 1 : 0);
}

int32_t CList::Add(Word item) {
    if (m_sorted)
        return InsertSorted(item);
    m_list.Insert(m_list.Count(), item);
    return m_list.Count() - 1;
}

bool CList::Find(Word key, int32_t* position) const {
    return ListBinarySearch(
        m_list.Count(), [&](int32_t i) { return Compare(KeyOf(m_list[i]), key) < 0; },
        [&](int32_t i) { return Compare(key, KeyOf(m_list[i])) < 0; }, position);
}

int32_t CList::InsertSorted(Word item) {
    int32_t position;
    if (Find(KeyOf(item), &position) && !m_duplicates)
        return -1;
    m_list.Insert(position, item);
    return position;
}

void CList::Release(Word item) {
    if (m_ownership == kOwnMemory)
        std::free(reinterpret_cast<void*>(item));
    else if (m_ownership == kOwnObject)
        DeleteObject(item);
}

void CList::Delete(int32_t index) {
    Release(m_list.Extract(index));
}

void CList::Clear() {
    while (m_list.Count() > 0)
        Release(m_list.Extract(m_list.Count() - 1));
}

} // namespace kdm
