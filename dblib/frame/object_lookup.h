// Typed access to the objects behind handles, for the export files.
#pragma once

#include "frame/custom_medium.h"
#include "frame/database.h"
#include "frame/dataset.h"
#include "frame/export_frame.h"
#include "frame/picture_grabber.h"

namespace kdm {

// Each registry holds one kind, so the casts are safe.
template <class F> KdmBool32 OnDatabase(KdmHandle h, F&& f) {
    return RunExport([&] { f(*static_cast<TKdmDatabase*>(DatabaseHandles().Lookup(h))); });
}
template <class F> KdmBool32 OnDataSet(KdmHandle h, F&& f) {
    return RunExport([&] { f(*static_cast<TKdmDataSet*>(DataSetHandles().Lookup(h))); });
}
template <class F> KdmBool32 OnSetupClient(KdmHandle h, F&& f) {
    return RunExport([&] { f(*static_cast<TCustomMedium*>(SetupClientHandles().Lookup(h))); });
}
template <class F> KdmBool32 OnPictureGrabber(KdmHandle h, F&& f) {
    return RunExport(
        [&] { f(*static_cast<TKdmPictureGrabber*>(PictureGrabberHandles().Lookup(h))); });
}

// What databases and setup clients share, behind both export families.
namespace medium {

void Connect(TCustomMedium& m, int32_t* result, KdmProgressCallback progress, KdmUserData userData,
             int32_t a, int32_t b, int32_t* info);
void Connected(TCustomMedium& m, KdmBool* connected);
void SetConnectParams(TCustomMedium& m, const char* address, const char* user, const char* password,
                      const char* user2, const char* password2);
void GetAliasname(TCustomMedium& m, const char** name);
void GetAliasGuid(TCustomMedium& m, KdmGuid* guid);
void GetUsername(TCustomMedium& m, const char** user, const char** user2);
void GetPassword(TCustomMedium& m, const char** password, const char** password2);
void GetAddress(TCustomMedium& m, const char** address);

} // namespace medium
} // namespace kdm
