// Growable arrays with the library's fixed growth and shrink policy and one
// family of collection errors. Items are stored by value and moved with
// memmove, so item types must be trivially copyable; the pointer-owning
// forms delete their objects on removal.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "frame/exceptions.h"

namespace kdm {

class CListException : public EException {
public:
    enum Kind { IndexOutOfRange, Overflow, Underflow, SortedInsert, Other };
    explicit CListException(Kind kind);
    static const char* Text(Kind kind);
    static int32_t Number(Kind kind);
};

[[noreturn]] void ThrowListError(CListException::Kind kind);

// Capacity policy shared by every list.
namespace list_policy {
constexpr int32_t kAutomatic = -1;
// Next capacity when an insertion finds the list full; raises overflow for step 0.
int32_t Grow(int32_t capacity, int32_t step);
// Capacity after a removal left `count` items (unchanged when no shrink applies).
int32_t Shrink(int32_t count, int32_t capacity, int32_t step);
} // namespace list_policy

struct CListNotOwningItem {
    template <class T> static void Release(T&) {}
};
struct CListOwningItem {
    template <class T> static void Release(T& item) { delete item; }
};

// Key accessor for lists whose items are their own keys.
template <class T> struct CIdentityKeyOf {
    using Key = T;
    static const T& Get(const T& item) { return item; }
};

// Binary search over `count` items: found flag and the first position whose
// item is not smaller than `key`.
template <class Items, class Less>
bool ListBinarySearch(int32_t count, const Items& itemLess, const Less& keyLess,
                      int32_t* position) {
    int32_t low = 0, high = count - 1;
    bool found = false;
    while (low <= high) {
        int32_t probe = low + (high - low) / 2;
        if (itemLess(probe)) {
            low = probe + 1;
        } else {
            high = probe - 1;
            if (!keyLess(probe))
                found = true;
        }
    }
    if (position != nullptr)
        *position = low;
    return found;
}

template <class T, class Ownership = CListNotOwningItem, class KeyOf = CIdentityKeyOf<T>,
          bool Sorted = false, bool Duplicates = true>
class CDynamicList {
    static_assert(std::is_trivially_copyable_v<T>, "list items are moved bytewise");

public:
    using Key = typename KeyOf::Key;

    explicit CDynamicList(int32_t step = list_policy::kAutomatic) : m_step(step) {}
    ~CDynamicList() {
        ReleaseAll();
        std::free(m_items);
    }
    CDynamicList(const CDynamicList&) = delete;
    CDynamicList& operator=(const CDynamicList&) = delete;

    int32_t Count() const { return m_count; }
    int32_t Capacity() const { return m_capacity; }
    int32_t Step() const { return m_step; }
    void SetStep(int32_t step) { m_step = step; }
    bool Empty() const { return m_count == 0; }

    T& operator[](int32_t index) {
        CheckIndex(index, m_count);
        return m_items[index];
    }
    const T& operator[](int32_t index) const {
        CheckIndex(index, m_count);
        return m_items[index];
    }
    T* begin() { return m_items; }
    T* end() { return m_items + m_count; }
    const T* begin() const { return m_items; }
    const T* end() const { return m_items + m_count; }

    void Insert(int32_t index, const T& item) {
        CheckIndex(index, m_count + 1);
        if (m_count == m_capacity)
            Reallocate(list_policy::Grow(m_capacity, m_step), CListException::Overflow);
        std::memmove(static_cast<void*>(m_items + index + 1), m_items + index,
                     sizeof(T) * static_cast<size_t>(m_count - index));
        m_items[index] = item;
        ++m_count;
    }

    // Unsorted lists append; sorted lists insert at the item's place.
    int32_t Add(const T& item) {
        if constexpr (Sorted) {
            return InsertSorted(item);
        } else {
            Insert(m_count, item);
            return m_count - 1;
        }
    }

    int32_t InsertSorted(const T& item) {
        int32_t position;
        if (Find(KeyOf::Get(item), &position) && !Duplicates)
            ThrowListError(CListException::SortedInsert);
        Insert(position, item);
        return position;
    }

    bool Find(const Key& key, int32_t* position) const {
        return ListBinarySearch(
            m_count, [&](int32_t i) { return KeyOf::Get(m_items[i]) < key; },
            [&](int32_t i) { return key < KeyOf::Get(m_items[i]); }, position);
    }

    // Linear search by value, for unsorted lists.
    int32_t IndexOf(const T& item) const {
        for (int32_t i = 0; i < m_count; ++i)
            if (std::memcmp(&m_items[i], &item, sizeof(T)) == 0)
                return i;
        return -1;
    }

    void Delete(int32_t index) {
        T item = Extract(index);
        Ownership::Release(item);
    }

    // Removes the item without releasing it.
    T Extract(int32_t index) {
        CheckIndex(index, m_count);
        T item = m_items[index];
        std::memmove(static_cast<void*>(m_items + index), m_items + index + 1,
                     sizeof(T) * static_cast<size_t>(m_count - index - 1));
        --m_count;
        ShrinkAfterRemoval();
        return item;
    }

    void Clear() {
        ReleaseAll();
        m_count = 0;
        std::free(m_items);
        m_items = nullptr;
        m_capacity = 0;
    }

    void SetCapacity(int32_t capacity) {
        if (capacity < m_count)
            ThrowListError(CListException::Underflow);
        if (capacity != m_capacity)
            Reallocate(capacity, CListException::Overflow);
    }

private:
    static void CheckIndex(int32_t index, int32_t limit) {
        if (index < 0 || index >= limit)
            ThrowListError(CListException::IndexOutOfRange);
    }

    void Reallocate(int32_t capacity, CListException::Kind failure) {
        if (capacity == 0) {
            std::free(m_items);
            m_items = nullptr;
            m_capacity = 0;
            return;
        }
        if (static_cast<size_t>(capacity) > SIZE_MAX / sizeof(T))
            ThrowListError(failure);
        void* grown =
            std::realloc(static_cast<void*>(m_items), sizeof(T) * static_cast<size_t>(capacity));
        if (grown == nullptr)
            ThrowListError(failure);
        m_items = static_cast<T*>(grown);
        m_capacity = capacity;
    }

    void ShrinkAfterRemoval() {
        int32_t capacity = list_policy::Shrink(m_count, m_capacity, m_step);
        if (capacity != m_capacity) {
            try {
                Reallocate(capacity, CListException::Overflow);
            } catch (const CListException&) {
                // A smaller block that cannot be had leaves the larger one in use.
            }
        }
    }

    void ReleaseAll() {
        // Released from the back so that an object's destructor never sees
        // a half-moved array.
        while (m_count > 0) {
            T item = m_items[--m_count];
            Ownership::Release(item);
        }
    }

    int32_t m_count = 0;
    int32_t m_capacity = 0;
    int32_t m_step;
    T* m_items = nullptr;
};

template <class T, class KeyOf = CIdentityKeyOf<T>, bool Duplicates = false>
using CSortedList = CDynamicList<T, CListNotOwningItem, KeyOf, true, Duplicates>;
template <class T> using CUnsortedList = CDynamicList<T, CListNotOwningItem>;
template <class T> using CUnsortedPtrOwningList = CDynamicList<T*, CListOwningItem>;
template <class T, class KeyOf, bool Duplicates = false>
using CSortedPtrOwningList = CDynamicList<T*, CListOwningItem, KeyOf, true, Duplicates>;

// The untyped list: pointer-sized words with virtual compare and key
// operations. Ownership 1 frees each word as a malloc block; ownership 2
// hands it to DeleteObject, which a derived list overrides.
class CList {
public:
    enum Ownership : int32_t { kOwnNone = 0, kOwnMemory = 1, kOwnObject = 2 };
    using Word = uintptr_t;

    CList(bool sorted, bool duplicates, Ownership ownership,
          int32_t step = list_policy::kAutomatic);
    virtual ~CList();
    CList(const CList&) = delete;
    CList& operator=(const CList&) = delete;

    int32_t Count() const { return m_list.Count(); }
    int32_t Capacity() const { return m_list.Capacity(); }
    Word Get(int32_t index) const { return m_list[index]; }
    void Insert(int32_t index, Word item) { m_list.Insert(index, item); }
    int32_t Add(Word item);
    // -1 when the key is present and duplicates are not allowed.
    int32_t InsertSorted(Word item);
    bool Find(Word key, int32_t* position) const;
    void Delete(int32_t index);
    void Clear();
    void SetCapacity(int32_t capacity) { m_list.SetCapacity(capacity); }

protected:
    // Negative, zero or positive as a is below, equal to or above b.
    virtual int Compare(Word a, Word b) const;
    virtual Word KeyOf(Word item) const { return item; }
    virtual void DeleteObject(Word) {}

private:
    void Release(Word item);

    CDynamicList<Word> m_list;
    bool m_sorted;
    bool m_duplicates;
    Ownership m_ownership;
};

} // namespace kdm
