// A small database kind for the tests of the object base: a connected flag
// and a fixed table of rows (ID Int32, NAME String) held in memory.
#pragma once

#include <atomic>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "frame/database.h"
#include "frame/dataset.h"
#include "frame/picture_grabber.h"
#include "frame/rows.h"

namespace kdm::test {

struct MemRow {
    int32_t id;
    std::string name;
};

struct MemCounters {
    int execute = 0, reexecute = 0, closeCursor = 0, stepWidthChanged = 0, abort = 0;
};

class MemDataSet : public TKdmDataSet {
public:
    MemDataSet(TKdmDatabase* db, const std::vector<MemRow>* rows, MemCounters* counters)
        : TKdmDataSet(db), m_rows(rows), m_counters(counters) {}

    int64_t Index() const { return m_index; }

    void GetBookmark(KdmBookmark* bookmark) override {
        std::memset(bookmark, 0, sizeof *bookmark);
        int64_t position = m_index >= 0 ? m_index : -2;
        std::memcpy(bookmark->bytes + 16, &position, sizeof position);
    }
    void ClearRow() override {
        m_index = -1;
        m_row.ClearRow();
    }
    void Abort() override { ++m_counters->abort; }
    void Execute() override {
        ++m_counters->execute;
        Fields().Add(new TDBIFieldDef("ID", "MEM", 4, 0, 0, 0));
        Fields().Add(new TDBIFieldDef("NAME", "MEM", 11, 0, 32, 1));
        m_row.BuildFields(Fields());
    }
    void Reexecute() override { ++m_counters->reexecute; }
    void CloseCursor() override { ++m_counters->closeCursor; }
    void GetPosition(int64_t* recNo, int64_t* count) override {
        *recNo = m_index + 1;
        *count = static_cast<int64_t>(m_rows->size());
    }
    bool Fetch(int32_t mode, bool forward) override {
        int64_t n = static_cast<int64_t>(m_rows->size());
        int64_t next;
        switch (mode) {
        case kFetchFirst:
            next = 0;
            break;
        case kFetchStep:
            next = m_index + (forward ? GetStepWidth() : -GetStepWidth());
            break;
        default:
            next = n - 1;
            break;
        }
        if (next < 0 || next >= n)
            return false;
        Show(next);
        return true;
    }
    bool LocateWhere(int32_t, const char* condition) override {
        int32_t id = std::atoi(condition);
        for (size_t i = 0; i < m_rows->size(); ++i)
            if ((*m_rows)[i].id == id) {
                Show(static_cast<int64_t>(i));
                return true;
            }
        return false;
    }
    bool Locate(int32_t, const void* data, int32_t) override {
        int64_t position;
        std::memcpy(&position, static_cast<const uint8_t*>(data) + 16, sizeof position);
        if (position < 0 || position >= static_cast<int64_t>(m_rows->size()))
            return false;
        Show(position);
        return true;
    }
    bool LocateKeys(const void*, int32_t) override { return false; }
    bool IsStatic() override { return true; }
    void StepWidthChanged() override { ++m_counters->stepWidthChanged; }

private:
    // Fills the row in the value-buffer form and binds the columns to it.
    void Show(int64_t index) {
        m_index = index;
        const MemRow& r = (*m_rows)[static_cast<size_t>(index)];
        uint8_t* id = m_row[0]->Buffer();
        id[0] = 0x80;
        std::memcpy(id + 1, &r.id, 4);
        uint8_t* name = m_row[1]->Buffer();
        std::memset(name, 0, m_row[1]->BufferSize());
        size_t length = r.name.size() > 32 ? 32 : r.name.size();
        name[0] = 0x80;
        name[2] = static_cast<uint8_t>(length);
        std::memcpy(name + 3, r.name.data(), length);
        m_row.Bind(Fields());
    }

    const std::vector<MemRow>* m_rows;
    MemCounters* m_counters;
    TKdmDBIRow m_row;
    int64_t m_index = -1;
};

class MemGrabber : public TKdmPictureGrabber {
public:
    using TKdmPictureGrabber::TKdmPictureGrabber;
};

class MemDatabase : public TKdmDatabase {
public:
    // shared: counters that outlive the database, for tests of its end.
    explicit MemDatabase(std::vector<MemRow> rows = {}, const KdmGuid* guid = nullptr,
                         MemCounters* shared = nullptr)
        : TKdmDatabase(guid), counters(shared != nullptr ? *shared : m_ownCounters),
          m_rows(std::move(rows)) {}

private:
    MemCounters m_ownCounters;

public:
    MemCounters& counters;
    std::atomic<int> disconnects{0};
    int32_t connectResult = 0;

    void DoDisconnect() override {
        m_connected = false;
        ++disconnects;
    }
    int32_t DoConnect(int32_t a, int32_t b) override {
        // Progress is reported as a kind would during its connect.
        CallProgressCallback(1, 3);
        if (a == 1)
            SetNegotiated(b);
        m_connected = connectResult == 0;
        return connectResult;
    }
    bool IsConnected() override { return m_connected; }
    const char* GetAliasName() override { return "memory"; }
    void FillDatabaseInfo(TKdmDatabaseInfoStruct* info) override {
        std::strcpy(info->name, "memory");
        std::memset(reinterpret_cast<uint8_t*>(info) + 4 + 260, 0x11, 320 - 264);
    }
    TKdmDataSet* NewDataSet() override { return new MemDataSet(this, &m_rows, &counters); }
    TKdmPictureGrabber* NewPictureGrabber() override { return new MemGrabber(this); }
    bool IsSequential() override { return false; }
    int32_t AggregateFunctionCapabilities(int32_t function) override { return function * 2; }

private:
    std::vector<MemRow> m_rows;
    bool m_connected = false;
};

} // namespace kdm::test
