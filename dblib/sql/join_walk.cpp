#include "sql/join_walk.h"

#include <cstring>

#include "sql/schema.h"
#include "sql/sql_parser.h"

namespace kdm::sql {

namespace {

bool IsMarker(int64_t position) {
    return position == kBeforeFirst || position == kAfterLast;
}

} // namespace

CJoinWalk::CJoinWalk(CSQLParser& parser, CEvaluator& evaluator, CAbortState& abort, void* cursor)
    : m_evaluator(evaluator), m_abort(abort), m_cursor(cursor) {
    CLinkLists& links = parser.Links();
    for (int32_t i = 0; i < links.TableCount(); ++i)
        m_links.push_back(&links.Link(i));
    m_keyJoins.resize(m_links.size());
    auto depthOf = [this](const CTableLink* link) {
        for (size_t i = 0; i < m_links.size(); ++i)
            if (m_links[i] == link)
                return static_cast<int64_t>(i);
        return int64_t(-1);
    };
    // The referencing row must be read before its key table; both fields
    // must lie inside their row buffers. Anything else is not executable.
    for (int32_t i = 0; i < links.JoinCount(); ++i) {
        const CJoin& join = links.Join(i);
        int64_t key = depthOf(join.keyLink), ref = depthOf(join.refLink);
        bool fits = join.keyField != nullptr && join.refField != nullptr &&
                    uint64_t(join.refField->offset) + 9 <= join.refLink->BufferSize();
        if (key < 0 || ref < 0 || ref >= key || !fits) {
            m_valid = false;
            continue;
        }
        m_keyJoins[static_cast<size_t>(key)].push_back(&join);
    }
}

bool CJoinWalk::OnRow() const {
    if (m_links.empty())
        return false;
    for (const CTableLink* link : m_links)
        if (!link->found)
            return false;
    return true;
}

void CJoinWalk::ResetAll(bool atEnd) {
    for (CTableLink* link : m_links)
        link->Reset(atEnd);
}

void CJoinWalk::SaveAll() {
    for (CTableLink* link : m_links)
        link->Save();
}

void CJoinWalk::RestoreAll() {
    for (CTableLink* link : m_links)
        link->Restore();
}

void CJoinWalk::ClearStarts() {
    for (CTableLink* link : m_links)
        link->ClearStart();
}

CJoinWalk::Snapshot CJoinWalk::Take() const {
    Snapshot s;
    for (const CTableLink* link : m_links) {
        s.positions.push_back(link->position);
        s.flags.push_back(uint8_t((link->found ? 1 : 0) | (link->fetchedByKey ? 2 : 0)));
        s.rows.emplace_back(link->RowBuffer(), link->RowBuffer() + link->BufferSize());
    }
    return s;
}

void CJoinWalk::Put(const Snapshot& s) {
    for (size_t i = 0; i < m_links.size() && i < s.positions.size(); ++i) {
        CTableLink& link = *m_links[i];
        link.position = s.positions[i];
        link.found = (s.flags[i] & 1) != 0;
        link.fetchedByKey = (s.flags[i] & 2) != 0;
        link.startPending = false;
        std::memcpy(link.RowBuffer(), s.rows[i].data(), s.rows[i].size());
    }
}

void CJoinWalk::Step(bool backward, bool singleStep, bool* found, uint8_t* state) {
    m_found = false;
    m_state = peNoErr;
    m_backward = backward;
    m_single = singleStep;
    if (!m_valid) {
        *found = false;
        *state = peInvalJoin;
        return;
    }
    if (!m_links.empty() && !m_abort.Poll())
        Visit(0);
    *found = m_found && !m_abort.Aborted();
    *state = m_state;
}

void CJoinWalk::Visit(size_t depth) {
    CTableLink& link = *m_links[depth];
    const bool last = depth + 1 == m_links.size();
    if (link.found && !last) {
        Visit(depth + 1);
        if (m_found || m_state != peNoErr || m_abort.Aborted())
            return;
    }
    for (;;) {
        // Tables after this one have no current row while it moves.
        for (size_t k = depth + 1; k < m_links.size(); ++k)
            m_links[k]->found = false;
        bool exact = false;
        if (!Advance(depth, &exact))
            return;
        // Positions below a table that did not land on its start row no
        // longer mean anything.
        if (!exact)
            for (size_t k = depth + 1; k < m_links.size(); ++k)
                m_links[k]->ClearStart();
        if (m_abort.Poll())
            return;
        uint8_t state;
        bool ok = m_evaluator.Evaluate(&state);
        if (state != peNoErr) {
            m_state = state;
            return;
        }
        if (ok) {
            if (last) {
                m_found = true;
            } else {
                m_links[depth + 1]->Reset(m_backward);
                Visit(depth + 1);
            }
        }
        if (m_found || m_state != peNoErr || m_abort.Aborted() || m_single)
            return;
    }
}

bool CJoinWalk::AdvanceByKey(size_t depth) {
    CTableLink& link = *m_links[depth];
    const std::vector<const CJoin*>& joins = m_keyJoins[depth];
    if (link.fetchedByKey) {
        link.Reset(m_backward);
        return false;
    }
    auto refStorage = [](const CJoin& j) -> const uint8_t* {
        if (!j.refLink->found)
            return nullptr;
        return j.refLink->CurrentRow() + j.refField->offset;
    };
    const CJoin& first = *joins[0];
    const uint8_t* ref = refStorage(first);
    bool present = ref != nullptr && (ref[0] & 0x80) != 0;
    if (!present && first.mode == 0) {
        link.Reset(m_backward);
        return false;
    }
    for (size_t i = 1; i < joins.size(); ++i) {
        const uint8_t* other = refStorage(*joins[i]);
        if (!present || other == nullptr || (other[0] & 0x80) == 0 ||
            std::memcmp(ref + 1, other + 1, 8) != 0) {
            link.Reset(m_backward);
            return false;
        }
    }
    uint8_t key[9] = {};
    if (present)
        std::memcpy(key, ref, sizeof key);
    const TCBDatabaseEngine& engine = link.Engine();
    bool found = false;
    int32_t result = 0;
    if (engine.FetchPrimKey != nullptr && !m_abort.Poll())
        result = engine.FetchPrimKey(engine.user, key, &found, first.mode != 0, m_cursor, &link);
    if (result == 0 || !found) {
        link.Reset(m_backward);
        return false;
    }
    int64_t value = 0;
    if (present)
        std::memcpy(&value, key + 1, sizeof value);
    link.fetchedByKey = true;
    link.found = true;
    link.position = value;
    return true;
}

bool CJoinWalk::Advance(size_t depth, bool* exactStart) {
    *exactStart = false;
    if (m_abort.Poll())
        return false;
    if (!m_keyJoins[depth].empty())
        return AdvanceByKey(depth);
    CTableLink& link = *m_links[depth];
    const TCBDatabaseEngine& engine = link.Engine();
    if (engine.FetchRow == nullptr) {
        link.found = false;
        return false;
    }
    bool found = false;
    if (link.startPending) {
        int64_t start = link.position;
        link.ClearStart();
        int32_t result = engine.FetchRow(engine.user, &link, 0, &link.position, &found, m_cursor);
        link.found = result != 0 && found && !IsMarker(link.position);
        if (link.found) {
            *exactStart = true;
            return true;
        }
        if (m_single) {
            link.position = kAfterLast;
            return false;
        }
        // Not there (any more): the neighbour in the walking direction.
        link.position = start;
        if (m_abort.Poll())
            return false;
        found = false;
    }
    int32_t result =
        engine.FetchRow(engine.user, &link, m_backward ? 2 : 1, &link.position, &found, m_cursor);
    link.found = result != 0 && found && !IsMarker(link.position);
    return link.found;
}

} // namespace kdm::sql
