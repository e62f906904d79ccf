// The database base object: its datasets and picture grabbers, the
// information block, and the recorder operations a kind either offers or
// answers with "Command not implemented.".
#pragma once

#include "frame/custom_medium.h"
#include "frame/exceptions.h"

namespace kdm {

class TKdmDataSet;
class TKdmPictureGrabber;

class TKdmDatabase : public TCustomMedium {
public:
    static constexpr uint32_t kInfoSize = 320;
    static_assert(sizeof(TKdmDatabaseInfoStruct) == kInfoSize);

    using TCustomMedium::TCustomMedium;

    // Under the lock; the new object's handle. The registry entry and the
    // child list share the one reference the child starts with.
    uint32_t CreateDataSet();
    uint32_t CreatePictureGrabber();
    void GetDatabaseInfo(TKdmDatabaseInfoStruct* info);
    // Removes a child by identity; absence is no error.
    void DetachDataSet(TKdmDataSet* dataSet);
    void DetachPictureGrabber(TKdmPictureGrabber* grabber);
    int32_t DataSetCount();

    virtual void FillDatabaseInfo(TKdmDatabaseInfoStruct* info) = 0;
    virtual TKdmDataSet* NewDataSet() = 0;
    virtual TKdmPictureGrabber* NewPictureGrabber() { throw ECmdNotImplemented(); }
    virtual bool IsSequential() = 0;
    virtual void LimitBandwidth(int32_t) {}
    virtual void SetOptions(int32_t) {}
    virtual int32_t AggregateFunctionCapabilities(int32_t function) = 0;
    virtual void RecorderSetXSwitch(int64_t, int64_t, bool) { throw ECmdNotImplemented(); }
    virtual void RecorderSetRelay(uint32_t, int64_t, int64_t) { throw ECmdNotImplemented(); }
    virtual void RecorderStartCamCycle(int64_t, bool, int64_t) { throw ECmdNotImplemented(); }
    virtual void RecorderADSetupMode(int64_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                     int32_t) {
        throw ECmdNotImplemented();
    }
    virtual bool RecorderAvailable(int64_t) { throw ECmdNotImplemented(); }
    virtual void SendTelemetryCmd(int64_t, const void*, int32_t) { throw ECmdNotImplemented(); }
    virtual void ReleaseLockEvent(int64_t) { throw ECmdNotImplemented(); }
    // The number of answer bytes copied.
    virtual int32_t PingPong(const void*, int32_t, void*, int32_t) { throw ECmdNotImplemented(); }
    virtual void EnableDummyPackets(int32_t, int32_t) { throw ECmdNotImplemented(); }
    virtual void GetDateTime(KdmNativeDateTime*, KdmNativeDateTime*) { throw ECmdNotImplemented(); }
    virtual void GetDateTimeInfo(TKdmGetDateTimeInfo*, bool) { throw ECmdNotImplemented(); }
    virtual void GetRingInfo(TKdmRingbufferInfoStruct*) { throw ECmdNotImplemented(); }
    virtual void GetServerInfo(TKdmServerInfoStruct*) { throw ECmdNotImplemented(); }
    virtual int32_t StartKdmEvent(const TCmdStartKdmEvent*, TNFServer_EventStartStop*) {
        throw ECmdNotImplemented();
    }
    virtual int32_t StopKdmEvent(const TCmdStopKdmEvent*, TNFServer_EventStartStop*) {
        throw ECmdNotImplemented();
    }
    virtual int32_t PeekKdmEvent(const TCmdPeekKdmEvent*, TNFServer_EventStartStop*) {
        throw ECmdNotImplemented();
    }
    virtual void EnableNotifications(int32_t) {}
    virtual void SetEventNotificationList(const TKdmEventNotificationDesc*, bool) {}

protected:
    // Releases the children (their handles leave their registries, so a
    // later call with one fails as an invalid handle), then disconnects.
    void Shutdown() override;

private:
    CUnsortedList<TKdmDataSet*> m_dataSets;
    CUnsortedList<TKdmPictureGrabber*> m_grabbers;
};

// "Must be connected for this operation!"
[[noreturn]] void ThrowNotConnected();

// Enters a new database into its registry once it is fully built; the
// registry takes over the reference it was created with.
uint32_t RegisterDatabase(TKdmDatabase* database);

} // namespace kdm
