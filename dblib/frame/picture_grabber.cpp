#include "frame/picture_grabber.h"

#include "frame/database.h"
#include "frame/dataset.h"

namespace kdm {

void TKdmPictureGrabber::Shutdown() {
    try {
        if (m_database != nullptr)
            m_database->DetachPictureGrabber(this);
    } catch (...) {
    }
    Close();
}

void TKdmPictureGrabber::RequireOpened() const {
    if (!Opened())
        throw EException("PictureGrabber must be opened for this operation!", 400, 100);
}

void TKdmPictureGrabber::Close() {
    TEnterCriticalSection guard(m_lock);
    SetOpened(false);
    m_fields.Clear();
}

int32_t TKdmPictureGrabber::FieldCount() {
    TEnterCriticalSection guard(m_lock);
    RequireOpened();
    return m_fields.Count();
}

TDBIFieldDef* TKdmPictureGrabber::GetField(int32_t index) {
    TEnterCriticalSection guard(m_lock);
    RequireOpened();
    return m_fields[index];
}

TDBIFieldDef* TKdmPictureGrabber::FindField(const char* name) {
    TEnterCriticalSection guard(m_lock);
    RequireOpened();
    int32_t index = m_fields.FindColumn(name);
    return index == TDBIFieldDefs::kNotFound ? nullptr : m_fields[index];
}

TDBIFieldDef* TKdmPictureGrabber::FieldByName(const char* name) {
    TDBIFieldDef* field = FindField(name);
    if (field == nullptr)
        ThrowFieldNotFound(name);
    return field;
}

} // namespace kdm
