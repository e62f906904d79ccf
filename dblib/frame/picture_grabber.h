// Base of the live-picture grabber a database creates.
#pragma once

#include <cstdint>

#include "frame/smart_class.h"

namespace kdm {

class TKdmDatabase;

class TKdmPictureGrabber : public TSmartClass {
public:
    explicit TKdmPictureGrabber(TKdmDatabase* database) : m_database(database) {}
    TKdmDatabase* Database() const { return m_database; }
    uint32_t Handle() const { return m_handle; }
    void SetHandle(uint32_t handle) { m_handle = handle; }

protected:
    // Leaves the database's child list.
    void Shutdown() override;

private:
    TKdmDatabase* m_database;
    uint32_t m_handle = 0;
};

} // namespace kdm
