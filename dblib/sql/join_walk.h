// The join walk: a depth-first nested loop over the query's tables in
// evaluation order. A table on the key side of a join is read by key from
// the referencing row, every other table is scanned through the row
// provider, and the WHERE p-code prunes partial combinations at each depth.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/sync.h"
#include "sql/evaluator.h"
#include "sql/link_lists.h"

namespace kdm::sql {

class CSQLParser;

// The abort state of one cursor: once set it stays set until the cursor's
// operation ends; the event, when there is one, is polled without waiting.
class CAbortState {
public:
    bool Poll() {
        if (m_aborted.load(std::memory_order_relaxed))
            return true;
        const platform::Event* event = m_event.load(std::memory_order_acquire);
        if (event != nullptr && event->IsSet()) {
            m_aborted.store(true, std::memory_order_relaxed);
            return true;
        }
        return false;
    }
    bool Aborted() const { return m_aborted.load(std::memory_order_relaxed); }
    void Begin(const platform::Event* event) {
        m_aborted.store(false, std::memory_order_relaxed);
        m_event.store(event, std::memory_order_release);
    }
    void End() { Begin(nullptr); }

private:
    std::atomic<bool> m_aborted{false};
    std::atomic<const platform::Event*> m_event{nullptr};
};

class CJoinWalk {
public:
    // `cursor` is handed to the row provider's callbacks.
    CJoinWalk(CSQLParser& parser, CEvaluator& evaluator, CAbortState& abort, void* cursor);
    CJoinWalk(const CJoinWalk&) = delete;
    CJoinWalk& operator=(const CJoinWalk&) = delete;

    // The next (or previous) qualifying combination. *state is 33 unless
    // the p-code failed; an aborted walk finds nothing.
    void Step(bool backward, bool singleStep, bool* found, uint8_t* state);

    int32_t Count() const { return static_cast<int32_t>(m_links.size()); }
    CTableLink& Link(int32_t i) { return *m_links[static_cast<size_t>(i)]; }
    const CTableLink& Link(int32_t i) const { return *m_links[static_cast<size_t>(i)]; }
    // Every table has a current row: the cursor stands on a combination.
    bool OnRow() const;
    void ResetAll(bool atEnd);
    void SaveAll();
    void RestoreAll();
    void ClearStarts();

    // A copy of every table's position, flags and row, for operations that
    // must come back to where they began while their callers saved already.
    struct Snapshot {
        std::vector<int64_t> positions;
        std::vector<uint8_t> flags;
        std::vector<std::vector<uint8_t>> rows;
    };
    Snapshot Take() const;
    void Put(const Snapshot& snapshot);

private:
    void Visit(size_t depth);
    bool Advance(size_t depth, bool* exactStart);
    bool AdvanceByKey(size_t depth);

    std::vector<CTableLink*> m_links;
    std::vector<std::vector<const CJoin*>> m_keyJoins; // per depth: joins with that key side
    CEvaluator& m_evaluator;
    CAbortState& m_abort;
    void* m_cursor;
    bool m_valid = true;
    bool m_found = false;
    bool m_backward = false;
    bool m_single = false;
    uint8_t m_state = 33;
};

} // namespace kdm::sql
