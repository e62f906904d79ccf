#include "sql/sql_session.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <thread>

#include "sql/schema.h"

namespace kdm::sql {

namespace {

template <class T> T Get(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <class T> void Put(uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

// Unique within the process: a start time plus a counter.
uint64_t NewIdentity() {
    static const uint64_t base =
        static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    static std::atomic<uint64_t> counter{0};
    return base + counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

bool Blank(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return c == ' ' || (c > 0 && c < 32); });
}

// The condition starts with the word WHERE or WITH.
bool StartsWithClauseWord(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] > 0 && text[i] < 32)))
        ++i;
    size_t j = i;
    while (j < text.size() && (std::isalnum(static_cast<unsigned char>(text[j])) || text[j] == '_'))
        ++j;
    std::string word = UpperAscii(text.substr(i, j - i).c_str());
    return word == "WHERE" || word == "WITH";
}

void Succeed(TSQLErrorReport* report) {
    SetErrorReport(report, peNoErr, 0, 0);
}
bool Fail(TSQLErrorReport* report, uint8_t code) {
    SetErrorReport(report, code, 0, 0);
    return false;
}

// A move that could not finish puts the cursor back where it was; an abort
// (state 0 here) is reported as success with *aborted.
bool GiveUp(CJoinWalk& walk, int64_t* sessionRow, int64_t savedRow, int64_t* rowNumber, bool* found,
            bool* aborted, TSQLErrorReport* report, uint8_t state) {
    walk.RestoreAll();
    *sessionRow = savedRow;
    *rowNumber = savedRow;
    *found = false;
    if (state == peNoErr) {
        *aborted = true;
        Succeed(report);
    } else {
        Fail(report, state);
    }
    return false;
}

} // namespace

uint32_t TSQLBookmark::TableCount() const {
    return Get<uint32_t>(bytes);
}
uint32_t TSQLBookmark::Handle() const {
    return Get<uint32_t>(bytes + 4);
}
uint64_t TSQLBookmark::Identity() const {
    return Get<uint64_t>(bytes + 8);
}
int64_t TSQLBookmark::RowNumber() const {
    return Get<int64_t>(bytes + 16);
}
uint32_t TSQLBookmark::TableNo(uint32_t i) const {
    return i < kMaxBookmarkTables ? Get<uint32_t>(bytes + 24 + 12 * i) : 0;
}
int64_t TSQLBookmark::Position(uint32_t i) const {
    return i < kMaxBookmarkTables ? Get<int64_t>(bytes + 28 + 12 * i) : 0;
}

// ---- the cursor ------------------------------------------------------------------------

CSQLSession::CSQLSession(const CDatabaseStructure& db, const CSQLSyntax& syntax)
    : m_parser(db, syntax, this), m_identity(NewIdentity()) {}

bool CSQLSession::Prepare() {
    m_evaluator = std::make_unique<CEvaluator>(m_parser);
    m_walk = std::make_unique<CJoinWalk>(m_parser, *m_evaluator, m_abort, this);
    m_walk->ResetAll(false);
    m_rowNumber = -1;
    return true;
}

bool CSQLSession::RecordMatches(CTableLink* link, const uint8_t* record) {
    if (m_evaluator == nullptr || link == nullptr || record == nullptr)
        return true;
    bool found = link->found;
    link->found = true;
    link->SetCurrentRow(record);
    uint8_t state;
    bool ok = m_evaluator->Evaluate(&state);
    link->SetCurrentRow(nullptr);
    link->found = found;
    return ok;
}

bool SqlCursorRecordMatches(void* cursor, CTableLink* link, const uint8_t* record) {
    if (cursor == nullptr)
        return true;
    return static_cast<CSQLSession*>(cursor)->RecordMatches(link, record);
}

bool SqlCursorAborted(void* cursor) {
    return cursor != nullptr && static_cast<CSQLSession*>(cursor)->PollAbort();
}

void CSQLSession::MakeBookmark(TSQLBookmark* bookmark) const {
    if (bookmark == nullptr)
        return;
    std::memset(bookmark->bytes, 0, sizeof bookmark->bytes);
    uint32_t n = static_cast<uint32_t>(m_walk->Count());
    Put<uint32_t>(bookmark->bytes, n);
    Put<uint32_t>(bookmark->bytes + 4, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(this)));
    Put<uint64_t>(bookmark->bytes + 8, m_identity);
    Put<int64_t>(bookmark->bytes + 16, m_rowNumber);
    for (uint32_t i = 0; i < n && i < kMaxBookmarkTables; ++i) {
        const CTableLink& link = m_walk->Link(static_cast<int32_t>(i));
        Put<uint32_t>(bookmark->bytes + 24 + 12 * i, link.Table().tableNo);
        Put<int64_t>(bookmark->bytes + 28 + 12 * i, link.position);
    }
}

std::vector<int64_t> CSQLSession::Positions() const {
    std::vector<int64_t> out;
    for (int32_t i = 0; i < m_walk->Count(); ++i)
        out.push_back(m_walk->Link(i).position);
    return out;
}

bool CSQLSession::SamePositions(const std::vector<int64_t>& positions) const {
    if (positions.size() != static_cast<size_t>(m_walk->Count()))
        return false;
    for (int32_t i = 0; i < m_walk->Count(); ++i)
        if (m_walk->Link(i).position != positions[static_cast<size_t>(i)])
            return false;
    return true;
}

bool CSQLSession::AtBookmarkRow(const TSQLBookmark& bookmark) const {
    if (!m_walk->OnRow())
        return false;
    uint32_t n = bookmark.TableCount();
    for (int32_t i = 0; i < m_walk->Count(); ++i) {
        const CTableLink& link = m_walk->Link(i);
        bool matched = false;
        for (uint32_t k = 0; k < n && k < kMaxBookmarkTables; ++k)
            if (bookmark.TableNo(k) == link.Table().tableNo)
                matched = bookmark.Position(k) == link.position;
        if (!matched)
            return false;
    }
    return true;
}

void CSQLSession::StepRowNumber(bool backward) {
    if (!m_counted)
        return;
    if (!backward) {
        if (m_rowNumber == -1)
            m_rowNumber = 0;
        else if (m_rowNumber >= 0 && m_rowNumber + 1 < m_rowCount)
            ++m_rowNumber;
    } else {
        if (m_rowNumber == -2)
            m_rowNumber = m_rowCount - 1;
        else if (m_rowNumber > 0)
            --m_rowNumber;
    }
}

bool CSQLSession::Move(int64_t steps, bool* found, uint8_t* state) {
    bool backward = steps < 0;
    uint64_t n = backward ? 0 - static_cast<uint64_t>(steps) : static_cast<uint64_t>(steps);
    bool f = false;
    uint8_t st = peNoErr;
    for (uint64_t i = 0; i < n; ++i) {
        m_walk->Step(backward, false, &f, &st);
        if (m_abort.Aborted()) {
            f = false;
            break;
        }
        if (!f || st != peNoErr)
            break;
        StepRowNumber(backward);
    }
    *found = f;
    *state = st;
    if (st != peNoErr)
        return false;
    if (m_abort.Aborted())
        return true;
    if (f) {
        if (!m_counted)
            m_rowNumber = 0;
    } else {
        m_rowNumber = backward ? -1 : -2;
    }
    return true;
}

// Counts the rows up to the current one; the position is kept.
int64_t CSQLSession::RecountTo(bool* ok) {
    std::vector<int64_t> target = Positions();
    CJoinWalk::Snapshot here = m_walk->Take();
    m_walk->ResetAll(false);
    int64_t number = 0, result = 0;
    *ok = true;
    for (;;) {
        bool f;
        uint8_t st;
        m_walk->Step(false, false, &f, &st);
        if (m_abort.Aborted()) {
            *ok = false;
            break;
        }
        if (!f || st != peNoErr)
            break;
        if (SamePositions(target)) {
            result = number;
            break;
        }
        ++number;
    }
    m_walk->Put(here);
    return result;
}

// ---- the manager -----------------------------------------------------------------------

// Releases one reference of a looked-up cursor at the end of an operation.
class CSQLCursorRef {
public:
    CSQLCursorRef(CSQLSessionManager& manager, CSQLSession* session)
        : m_manager(manager), m_session(session) {}
    ~CSQLCursorRef() {
        if (m_session != nullptr)
            m_manager.Release(m_session);
    }
    CSQLCursorRef(const CSQLCursorRef&) = delete;
    CSQLCursorRef& operator=(const CSQLCursorRef&) = delete;

private:
    CSQLSessionManager& m_manager;
    CSQLSession* m_session;
};

namespace {

// Hands the caller's abort event to the cursor for one operation.
class CSQLAbortHandler {
public:
    CSQLAbortHandler(CAbortState& state, const platform::Event* event) : m_state(state) {
        m_state.Begin(event);
    }
    ~CSQLAbortHandler() { m_state.End(); }
    CSQLAbortHandler(const CSQLAbortHandler&) = delete;
    CSQLAbortHandler& operator=(const CSQLAbortHandler&) = delete;

private:
    CAbortState& m_state;
};

} // namespace

CSQLSessionManager::CSQLSessionManager(const TCBDatabaseEngine& engine)
    : m_engine(engine), m_db(engine) {
    m_cursors.reserve(25);
}

CSQLSessionManager::~CSQLSessionManager() {
    for (CSQLSession* s : m_cursors)
        delete s;
}

int32_t CSQLSessionManager::CursorCount() {
    TEnterCriticalSection guard(m_lock);
    return static_cast<int32_t>(m_cursors.size());
}

CSQLSession* CSQLSessionManager::Lookup(CursorHandle handle, bool executable,
                                        TSQLErrorReport* report) {
    TEnterCriticalSection guard(m_lock);
    for (CSQLSession* s : m_cursors)
        if (reinterpret_cast<CursorHandle>(s) == handle) {
            if (executable && !s->m_executable) {
                Fail(report, peNotExecAble);
                return nullptr;
            }
            ++s->m_refs;
            return s;
        }
    Fail(report, peInvalCurHan);
    return nullptr;
}

void CSQLSessionManager::Release(CSQLSession* session) {
    bool last;
    {
        TEnterCriticalSection guard(m_lock);
        last = --session->m_refs == 0;
    }
    if (last)
        delete session;
}

bool CSQLSessionManager::OpenCursor(const char* statement, bool executable, CursorHandle* handle,
                                    const std::vector<TResultColumn>** columns,
                                    TSQLErrorReport* report) {
    if (handle != nullptr)
        *handle = 0;
    auto session = std::make_unique<CSQLSession>(m_db, m_syntax);
    if (!session->m_parser.Compile(statement != nullptr ? statement : "")) {
        *report = session->m_parser.ErrorReport();
        return false;
    }
    if (session->m_parser.Links().TableCount() > static_cast<int32_t>(kMaxBookmarkTables))
        return Fail(report, peBookm2Big);
    session->Prepare();
    session->m_executable = executable;
    CSQLSession* s = session.release();
    {
        TEnterCriticalSection guard(m_lock);
        m_cursors.push_back(s);
    }
    if (handle != nullptr)
        *handle = reinterpret_cast<CursorHandle>(s);
    if (columns != nullptr)
        *columns = &s->m_parser.Links().ResultColumns();
    Succeed(report);
    return true;
}

bool CSQLSessionManager::CloseCursor(CursorHandle handle, TSQLErrorReport* report) {
    CSQLSession* found = nullptr;
    {
        TEnterCriticalSection guard(m_lock);
        for (size_t i = 0; i < m_cursors.size(); ++i)
            if (reinterpret_cast<CursorHandle>(m_cursors[i]) == handle) {
                found = m_cursors[i];
                m_cursors.erase(m_cursors.begin() + static_cast<std::ptrdiff_t>(i));
                break;
            }
    }
    if (found != nullptr)
        Release(found);
    Succeed(report);
    return true;
}

bool CSQLSessionManager::ExecuteCursor(CursorHandle handle, TSQLErrorReport* report) {
    CSQLSession* s = Lookup(handle, false, report);
    if (s == nullptr)
        return false;
    CSQLCursorRef ref(*this, s);
    TEnterCriticalSection lock(s->m_lock);
    s->m_walk->ResetAll(false);
    s->m_executable = true;
    s->m_rowNumber = -1;
    Succeed(report);
    return true;
}

bool CSQLSessionManager::GetBookmark(CursorHandle handle, TSQLBookmark* bookmark,
                                     TSQLErrorReport* report) {
    CSQLSession* s = Lookup(handle, true, report);
    if (s == nullptr)
        return false;
    CSQLCursorRef ref(*this, s);
    TEnterCriticalSection lock(s->m_lock);
    s->MakeBookmark(bookmark);
    Succeed(report);
    return true;
}

// Sleeps between the tries of a waiting fetch; false once aborted.
bool CSQLSessionManager::WaitRetry(CSQLSession& s, int64_t ms) {
    while (ms > 0) {
        int64_t slice = std::min<int64_t>(ms, 100);
        if (s.m_abort.Poll())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(slice));
        ms -= slice;
    }
    return !s.m_abort.Poll();
}

bool CSQLSessionManager::Fetch(CSQLSession& s, int32_t mode, int64_t steps, int64_t* rowNumber,
                               bool* found, bool* aborted, TSQLBookmark* bookmark,
                               TSQLErrorReport* report) {
    *found = false;
    *aborted = false;
    if (mode < 0 || mode > 3)
        return Fail(report, peCritical);
    CJoinWalk& walk = *s.m_walk;
    walk.SaveAll();
    const int64_t savedRow = s.m_rowNumber;
    auto giveUp = [&](uint8_t state) {
        return GiveUp(walk, &s.m_rowNumber, savedRow, rowNumber, found, aborted, report, state);
    };
    bool f = false;
    uint8_t state = peNoErr;
    if (mode == 3) {
        const bool wasOnRow = walk.OnRow();
        const std::vector<int64_t> before = s.Positions();
        int64_t pause = 10;
        bool waited = false;
        for (;;) {
            walk.ResetAll(true);
            s.m_rowNumber = -2;
            if (!s.Move(-1, &f, &state))
                return giveUp(state);
            if (s.m_abort.Aborted())
                return giveUp(peNoErr);
            if (f && (!wasOnRow || !s.SamePositions(before)))
                break;
            if (!WaitRetry(s, pause))
                return giveUp(peNoErr);
            waited = true;
            pause = pause == 10 ? 110 : std::min<int64_t>(pause + 100, 5000);
        }
        // The table grew while the call waited: the count no longer holds.
        if (s.m_counted && waited) {
            s.m_counted = false;
            s.m_rowNumber = 0;
        }
    } else {
        if (mode == 0) {
            walk.ResetAll(false);
            s.m_rowNumber = -1;
        } else if (mode == 1) {
            walk.ResetAll(true);
            s.m_rowNumber = -2;
        }
        if (steps != 0) {
            if (!s.Move(steps, &f, &state))
                return giveUp(state);
            if (s.m_abort.Aborted())
                return giveUp(peNoErr);
        } else {
            f = walk.OnRow();
            if (!f)
                s.m_rowNumber =
                    walk.Count() == 0 || walk.Link(0).position == kBeforeFirst ? -1 : -2;
        }
    }
    *found = f;
    *rowNumber = s.m_rowNumber;
    s.MakeBookmark(bookmark);
    Succeed(report);
    return true;
}

bool CSQLSessionManager::FetchCursor(CursorHandle handle, int32_t mode, int64_t steps,
                                     int64_t* rowNumber, bool* found,
                                     const platform::Event* abortEvent, bool* aborted,
                                     TSQLBookmark* bookmark, TSQLErrorReport* report) {
    *found = false;
    *aborted = false;
    CSQLSession* s = Lookup(handle, true, report);
    if (s == nullptr)
        return false;
    CSQLCursorRef ref(*this, s);
    TEnterCriticalSection lock(s->m_lock);
    CSQLAbortHandler abort(s->m_abort, abortEvent);
    return Fetch(*s, mode, steps, rowNumber, found, aborted, bookmark, report);
}

bool CSQLSessionManager::CountRecords(CursorHandle handle, int64_t* count, int64_t* rowNumber,
                                      const platform::Event* abortEvent, bool* aborted,
                                      TSQLBookmark* bookmark, TSQLErrorReport* report) {
    *aborted = false;
    *count = 0;
    CSQLSession* s = Lookup(handle, true, report);
    if (s == nullptr)
        return false;
    CSQLCursorRef ref(*this, s);
    TEnterCriticalSection lock(s->m_lock);
    CSQLAbortHandler abort(s->m_abort, abortEvent);
    CJoinWalk& walk = *s->m_walk;
    if (!s->m_counted) {
        walk.SaveAll();
        const bool wasOnRow = walk.OnRow();
        const std::vector<int64_t> saved = s->Positions();
        int64_t number = s->m_rowNumber;
        int64_t n = 0;
        walk.ResetAll(false);
        for (;;) {
            bool f;
            uint8_t state;
            walk.Step(false, false, &f, &state);
            if (s->m_abort.Aborted()) {
                walk.RestoreAll();
                *aborted = true;
                *rowNumber = s->m_rowNumber;
                Succeed(report);
                return false;
            }
            if (state != peNoErr) {
                walk.RestoreAll();
                *rowNumber = s->m_rowNumber;
                return Fail(report, state);
            }
            if (!f)
                break;
            ++n;
            if (wasOnRow && s->SamePositions(saved))
                number = n - 1;
        }
        walk.RestoreAll();
        s->m_counted = true;
        s->m_rowCount = n;
        s->m_rowNumber = number;
    }
    *count = s->m_rowCount;
    *rowNumber = s->m_rowNumber;
    s->MakeBookmark(bookmark);
    Succeed(report);
    return true;
}

bool CSQLSessionManager::Locate(CSQLSession& s, int32_t kind, const TSQLBookmark& target,
                                int64_t steps, int64_t* rowNumber, bool* found, bool* aborted,
                                TSQLBookmark* bookmark, TSQLErrorReport* report) {
    *found = false;
    *aborted = false;
    *rowNumber = s.m_rowNumber;
    if (kind < 0 || kind > 4)
        return Fail(report, peCritical);
    CJoinWalk& walk = *s.m_walk;
    const uint32_t n = target.TableCount();
    if (n != static_cast<uint32_t>(walk.Count()) || n > kMaxBookmarkTables || n == 0)
        return Fail(report, peInvalBookmark);
    std::vector<int64_t> starts;
    for (int32_t i = 0; i < walk.Count(); ++i) {
        uint32_t k = 0;
        while (k < n && target.TableNo(k) != walk.Link(i).Table().tableNo)
            ++k;
        if (k == n)
            return Fail(report, peInvalBookmark);
        starts.push_back(target.Position(k));
    }
    walk.SaveAll();
    const int64_t savedRow = s.m_rowNumber;
    auto giveUp = [&](uint8_t state) {
        walk.ClearStarts();
        return GiveUp(walk, &s.m_rowNumber, savedRow, rowNumber, found, aborted, report, state);
    };
    auto setStarts = [&] {
        for (int32_t i = 0; i < walk.Count(); ++i)
            walk.Link(i).startPosition = starts[static_cast<size_t>(i)];
    };

    bool f = false, backward = false, reached = false;
    uint8_t state = peNoErr;
    const int64_t first = target.Position(0);
    if (first == kBeforeFirst || first == kAfterLast) {
        backward = first == kAfterLast;
        walk.ResetAll(backward);
        walk.Step(backward, false, &f, &state);
    } else {
        backward = kind == 1 || kind == 4;
        setStarts();
        walk.ResetAll(backward);
        walk.Step(backward, kind == 2, &f, &state);
        if (!s.m_abort.Aborted() && state == peNoErr && !f && kind != 2) {
            backward = !backward;
            setStarts();
            walk.ResetAll(backward);
            walk.Step(backward, false, &f, &state);
        }
        walk.ClearStarts();
        reached = f && s.AtBookmarkRow(target);
    }
    if (s.m_abort.Aborted())
        return giveUp(peNoErr);
    if (state != peNoErr)
        return giveUp(state);

    int64_t taken = 0;
    if ((kind == 3 || kind == 4) && reached) {
        backward = kind == 4;
        uint64_t count =
            steps < 0 ? 0 - static_cast<uint64_t>(steps) : static_cast<uint64_t>(steps);
        for (uint64_t i = 0; i < count && f; ++i) {
            walk.Step(backward, false, &f, &state);
            if (s.m_abort.Aborted())
                return giveUp(peNoErr);
            if (state != peNoErr)
                return giveUp(state);
            if (f)
                ++taken;
        }
    }

    if (f) {
        if (!s.m_counted) {
            s.m_rowNumber = 0;
        } else {
            bool own = target.Handle() == static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&s)) &&
                       target.Identity() == s.m_identity;
            if (own && reached && target.RowNumber() >= 0) {
                int64_t r = target.RowNumber() + (kind == 3 ? taken : kind == 4 ? -taken : 0);
                s.m_rowNumber = std::clamp<int64_t>(r, 0, std::max<int64_t>(s.m_rowCount - 1, 0));
            } else {
                bool ok;
                int64_t r = s.RecountTo(&ok);
                if (!ok)
                    return giveUp(peNoErr);
                s.m_rowNumber = r;
            }
        }
    } else if (kind <= 2) {
        walk.RestoreAll();
        s.m_rowNumber = savedRow;
    } else {
        s.m_rowNumber = backward ? -1 : -2;
    }
    *found = f;
    *rowNumber = s.m_rowNumber;
    s.MakeBookmark(bookmark);
    Succeed(report);
    return true;
}

bool CSQLSessionManager::LocateBookmark(CursorHandle handle, int32_t kind,
                                        const TSQLBookmark& target, int64_t steps,
                                        int64_t* rowNumber, bool* found,
                                        const platform::Event* abortEvent, bool* aborted,
                                        TSQLBookmark* bookmark, TSQLErrorReport* report) {
    *found = false;
    *aborted = false;
    CSQLSession* s = Lookup(handle, true, report);
    if (s == nullptr)
        return false;
    CSQLCursorRef ref(*this, s);
    TEnterCriticalSection lock(s->m_lock);
    CSQLAbortHandler abort(s->m_abort, abortEvent);
    return Locate(*s, kind, target, steps, rowNumber, found, aborted, bookmark, report);
}

bool CSQLSessionManager::LocateWhere(CursorHandle handle, int32_t mode, const char* condition,
                                     int64_t* rowNumber, bool* found,
                                     const platform::Event* abortEvent, bool* aborted,
                                     TSQLBookmark* bookmark, TSQLErrorReport* report) {
    *found = false;
    *aborted = false;
    CSQLSession* s = Lookup(handle, true, report);
    if (s == nullptr)
        return false;
    CSQLCursorRef ref(*this, s);
    TEnterCriticalSection lock(s->m_lock);
    CSQLAbortHandler abort(s->m_abort, abortEvent);
    *rowNumber = s->m_rowNumber;
    std::string text = condition != nullptr ? condition : "";
    if (Blank(text))
        return Fail(report, peMissWhere);
    if (mode < 0 || mode > 3)
        return Fail(report, peCritical);

    const CSQLScanner& own = s->m_parser.Scanner();
    std::string head = own.SelectClause() + " FROM " + own.FromClause();
    CSQLSession check(m_db, m_syntax);
    std::string validation =
        "SELECT " + head + " " + (StartsWithClauseWord(text) ? "" : "WHERE ") + text;
    if (!check.m_parser.Compile(validation.c_str())) {
        *report = check.m_parser.ErrorReport();
        return false;
    }
    const CSQLScanner& cond = check.m_parser.Scanner();
    auto joined = [](const std::string& a, const std::string& b, bool parens) {
        std::string out;
        for (const std::string* part : {&a, &b}) {
            if (Blank(*part))
                continue;
            if (!out.empty())
                out += " AND ";
            out += parens ? "(" + *part + ")" : *part;
        }
        return out;
    };
    std::string search = (s->m_parser.Links().optimise ? "SELECT " : "NOTOPT SELECT ") + head;
    std::string where = joined(own.WhereClause(), cond.WhereClause(), true);
    if (!where.empty())
        search += " WHERE " + where;
    if (!Blank(own.OrderClause()))
        search += " ORDER " + own.OrderClause();
    std::string with = joined(own.WithClause(), cond.WithClause(), false);
    if (!with.empty())
        search += " WITH " + with;

    CSQLSession q(m_db, m_syntax);
    if (!q.m_parser.Compile(search.c_str())) {
        *report = q.m_parser.ErrorReport();
        return false;
    }
    q.Prepare();
    q.m_executable = true;
    CSQLAbortHandler searchAbort(q.m_abort, abortEvent);

    TSQLBookmark here;
    s->MakeBookmark(&here);
    int64_t qRow;
    bool qFound = false, qAborted = false;
    TSQLBookmark qMark;
    TSQLErrorReport qReport;
    auto first = [&] { return Fetch(q, 0, 1, &qRow, &qFound, &qAborted, &qMark, &qReport); };
    auto last = [&] { return Fetch(q, 1, -1, &qRow, &qFound, &qAborted, &qMark, &qReport); };
    if (mode == 0) {
        first();
    } else if (mode == 1) {
        last();
    } else {
        bool forward = mode == 2;
        Locate(q, forward ? 0 : 1, here, 0, &qRow, &qFound, &qAborted, &qMark, &qReport);
        if (!qAborted) {
            if (qFound && q.AtBookmarkRow(here)) {
                Fetch(q, 2, forward ? 1 : -1, &qRow, &qFound, &qAborted, &qMark, &qReport);
                if (!qFound && !qAborted)
                    forward ? first() : last();
            } else if (!qFound) {
                forward ? first() : last();
            }
        }
    }
    if (qAborted || s->m_abort.Poll()) {
        *aborted = true;
        Succeed(report);
        return false;
    }
    if (qReport.code != peNoErr) {
        *report = qReport;
        return false;
    }
    if (!qFound || !q.m_walk->OnRow()) {
        s->MakeBookmark(bookmark);
        Succeed(report);
        return true;
    }
    return Locate(*s, 2, qMark, 0, rowNumber, found, aborted, bookmark, report);
}

bool CSQLSessionManager::FetchCursorBlob(const TResultColumn& column, void* buffer,
                                         uint32_t bufferSize, bool* done, TSQLErrorReport* report) {
    *done = false;
    if (column.type != kTypeBlobRef || column.storage == nullptr)
        return Fail(report, peWrongBlobRef);
    const uint8_t* field = column.storage;
    if ((field[0] & 0x80) == 0) {
        *done = true;
        Succeed(report);
        return true;
    }
    uint32_t length = std::min(Get<uint32_t>(field + 5), buffer != nullptr ? bufferSize : 0u);
    if (m_engine.FetchRowBlob != nullptr)
        *done = m_engine.FetchRowBlob(m_engine.user, column.tableNo, column.rowBuffer, field,
                                      length, buffer) != 0;
    Succeed(report);
    return true;
}

} // namespace kdm::sql
