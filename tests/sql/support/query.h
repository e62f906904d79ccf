// Helpers for running statements through a session manager in tests.
#pragma once

#include <string>
#include <vector>

#include "sql/sql_session.h"
#include "sql/support/mem_db.h"

namespace kdm::sql::test {

struct CCursor {
    CSQLSessionManager& manager;
    CursorHandle handle = 0;
    const std::vector<TResultColumn>* columns = nullptr;
    TSQLErrorReport report;
    int64_t row = 0;
    bool found = false;
    bool aborted = false;
    TSQLBookmark mark;

    explicit CCursor(CSQLSessionManager& m) : manager(m) {}
    CCursor(CSQLSessionManager& m, const std::string& sql) : manager(m) { Open(sql); }
    ~CCursor() {
        if (handle != 0)
            manager.CloseCursor(handle, &report);
    }
    bool Open(const std::string& sql, bool executable = true) {
        return manager.OpenCursor(sql.c_str(), executable, &handle, &columns, &report);
    }
    bool Fetch(int32_t mode, int64_t steps, const platform::Event* event = nullptr) {
        return manager.FetchCursor(handle, mode, steps, &row, &found, event, &aborted, &mark,
                                   &report);
    }
    std::string Row() const { return found ? RowText(*columns) : "-"; }
    // Every row, first to last, with " | " between them.
    std::string All() {
        std::string out;
        for (bool ok = Fetch(0, 1); ok && found; ok = Fetch(2, 1))
            out += (out.empty() ? "" : " | ") + RowText(*columns);
        return out;
    }
    // The same backward.
    std::string AllBackward() {
        std::string out;
        for (bool ok = Fetch(1, -1); ok && found; ok = Fetch(2, -1))
            out += (out.empty() ? "" : " | ") + RowText(*columns);
        return out;
    }
};

// The rows of one statement, or "error <name>" when it does not open or
// a fetch fails.
inline std::string RunAll(CSQLSessionManager& manager, const std::string& sql) {
    CCursor c(manager);
    if (!c.Open(sql))
        return std::string("error ") + ErrorName(c.report.code);
    std::string rows = c.All();
    if (c.report.code != peNoErr)
        return std::string("error ") + ErrorName(c.report.code);
    return rows;
}

} // namespace kdm::sql::test
