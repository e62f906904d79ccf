// The exported interface: each export is a few lines behind one guard that
// turns any escaping exception into the export's failure value.
#include "kdmdci.h"

#include "decoder.h"
#include "library.h"

#include <cstdio>
#include <cstring>

namespace {

template <typename F, typename R> R guarded(R failure, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

bool capable() {
#if defined(__x86_64__)
    return true;
#elif defined(__i386__)
    static const bool mmx = __builtin_cpu_supports("mmx");
    return mmx;
#else
    return true;
#endif
}

constexpr int32_t kPlaneOpNotBuilt = DCI_ERR_EXCEPTION;

} // namespace

extern "C" {

KDM_DCI_EXPORT int32_t KDM_API DCI_InterfaceVersion(void) {
    return 0x10005;
}

KDM_DCI_EXPORT uint8_t KDM_API DCI_CheckCapabilities(void) {
    return guarded<>(uint8_t{0}, [] { return static_cast<uint8_t>(capable() ? 1 : 0); });
}

KDM_DCI_EXPORT void KDM_API DCI_Init(void) {
    guarded(0, [] {
        kdmdci::libraryInit();
        return 0;
    });
}

KDM_DCI_EXPORT void KDM_API DCI_Done(void) {
    guarded(0, [] {
        kdmdci::libraryDone();
        return 0;
    });
}

KDM_DCI_EXPORT int32_t KDM_API DCI_DecompressImage(const void* picture, int32_t length,
                                                   void* output, int32_t capacity,
                                                   const DecompressParams* params,
                                                   KdmBitmapInfoHeader* header) {
    return guarded(int32_t{DCI_ERR_EXCEPTION}, [&]() -> int32_t {
        if (!capable())
            return DCI_ERR_CAPABILITY;
        if (!params)
            return DCI_ERR_EXCEPTION;
        const uint32_t family = params->CompAlg >> 24;
        if (family < 1 || family > 3)
            return DCI_ERR_ALGORITHM;
        const size_t len = (picture && length > 0) ? static_cast<size_t>(length) : 0;
        const size_t cap = capacity > 0 ? static_cast<size_t>(capacity) : 0;
        KdmBitmapInfoHeader scratch;
        const int32_t r = kdmdci::decodePicture(static_cast<const uint8_t*>(picture), len,
                                                static_cast<uint8_t*>(output), cap, *params,
                                                header ? *header : scratch);
        return r == kdmdci::kOutputTooSmall ? DCI_ERR_PICTURE_SIZE : r;
    });
}

KDM_DCI_EXPORT int32_t KDM_API DCI_ConvertToStdJPEG(const void*, int32_t, void*, int32_t,
                                                    const void*, int32_t, const DecompressParams*) {
    return 0;
}

KDM_DCI_EXPORT char* KDM_API DCI_GetCompressionModeText(uint32_t alg, char* text,
                                                        int32_t capacity) {
    return guarded(text, [&] {
        if (!text || capacity <= 0)
            return text;
        char local[292];
        const unsigned family = alg >> 24, level = (alg >> 16) & 0xFF;
        static const char* const kFamily1[3] = {"High compression (Kaldomeris I - JPeg)",
                                                "Medium compression (Kaldomeris I - JPeg)",
                                                "Low compression (Kaldomeris I - JPeg)"};
        const char* unknown = "Unknown compression format";
        switch (family) {
        case 0:
            std::snprintf(local, sizeof local, "Kaldomeris II - Wavelet (Level%u)", level);
            break;
        case 1:
            std::snprintf(local, sizeof local, "%s", level < 3 ? kFamily1[level] : unknown);
            break;
        case 2:
            std::snprintf(local, sizeof local, "Kaldomeris II - JPeg (Level%u)", level);
            break;
        case 3:
            std::snprintf(local, sizeof local, "Kaldomeris II - JPeg-File (Level%u)", level);
            break;
        default:
            std::snprintf(local, sizeof local, "%s", unknown);
            break;
        }
        const size_t n = std::min(std::strlen(local), static_cast<size_t>(capacity) - 1);
        std::memcpy(text, local, n);
        text[n] = '\0';
        return text;
    });
}

KDM_DCI_EXPORT int32_t KDM_API DCI_PostCompress(const void*, int32_t, void*, int32_t, uint32_t,
                                                int32_t, int32_t, void*) {
    return 0;
}

KDM_DCI_EXPORT int32_t KDM_API DCI_GetProcessTimes(ProcessTimes* times) {
    return guarded(int32_t{0}, [&]() -> int32_t {
        if (!times)
            return 0;
        std::memcpy(times, &kdmdci::threadTimes(), sizeof(ProcessTimes));
        return 1;
    });
}

KDM_DCI_EXPORT int32_t KDM_API DCI_RemoveHoppMMX(void*, int32_t, const KdmBitmapInfoHeader*) {
    return -1;
}

KDM_DCI_EXPORT int32_t KDM_API DCI_CalcGrad(const uint8_t*, int32_t, int16_t*, int32_t,
                                            const uint8_t*, const KdmBitmapInfoHeader*) {
    return kPlaneOpNotBuilt;
}

KDM_DCI_EXPORT int32_t KDM_API DCI_GradMul(const int16_t*, int32_t, int32_t, const int16_t*,
                                           int32_t, int32_t, int32_t*, int32_t,
                                           const KdmBitmapInfoHeader*) {
    return kPlaneOpNotBuilt;
}

KDM_DCI_EXPORT int32_t KDM_API DCI_MiddleGrad(const int16_t*, int32_t, const KdmBitmapInfoHeader*) {
    return kPlaneOpNotBuilt;
}

KDM_DCI_EXPORT int32_t KDM_API DCI_Grad2YPlane(const void*, int32_t, int32_t, uint8_t*, int32_t,
                                               int32_t, const KdmBitmapInfoHeader*) {
    return kPlaneOpNotBuilt;
}

KDM_DCI_EXPORT int32_t KDM_API DCI_Mul2YPlane(const void*, int32_t, int32_t, uint8_t*, int32_t,
                                              int32_t, const KdmBitmapInfoHeader*) {
    return kPlaneOpNotBuilt;
}

KDM_DCI_EXPORT int32_t KDM_API DCI_AccumulatePic(const uint8_t*, int32_t, uint16_t*, int32_t,
                                                 const KdmBitmapInfoHeader*) {
    return kPlaneOpNotBuilt;
}

KDM_DCI_EXPORT int32_t KDM_API DCI_ScaleAverageBuf(const uint16_t*, int32_t, uint8_t*, int32_t,
                                                   int32_t, const KdmBitmapInfoHeader*) {
    return kPlaneOpNotBuilt;
}

} // extern "C"
