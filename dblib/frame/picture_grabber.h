// Base of the live-picture grabber a database creates: its lock, its field
// definitions and the opened state. Opening and grabbing belong to the
// remote kind.
#pragma once

#include <atomic>
#include <cstdint>

#include "frame/critical_section.h"
#include "frame/fields.h"
#include "frame/smart_class.h"

namespace kdm {

class TKdmDatabase;

class TKdmPictureGrabber : public TSmartClass {
public:
    explicit TKdmPictureGrabber(TKdmDatabase* database) : m_database(database) {}
    TKdmDatabase* Database() const { return m_database; }
    uint32_t Handle() const { return m_handle; }
    void SetHandle(uint32_t handle) { m_handle = handle; }
    TCriticalSection& Lock() { return m_lock; }

    bool Opened() const { return m_opened.load(std::memory_order_relaxed); }
    void Close();
    int32_t FieldCount();
    TDBIFieldDef* GetField(int32_t index);
    TDBIFieldDef* FindField(const char* name); // null when absent
    TDBIFieldDef* FieldByName(const char* name);

protected:
    // Leaves the database's child list, then closes.
    void Shutdown() override;
    TDBIFieldDefs& Fields() { return m_fields; }
    void SetOpened(bool opened) { m_opened.store(opened, std::memory_order_relaxed); }
    // "PictureGrabber must be opened for this operation!"
    void RequireOpened() const;

private:
    TKdmDatabase* m_database;
    uint32_t m_handle = 0;
    TCriticalSection m_lock;
    TDBIFieldDefs m_fields;
    std::atomic<bool> m_opened{false};
};

} // namespace kdm
