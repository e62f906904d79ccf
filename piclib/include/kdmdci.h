/* KdmDCI: the picture library.
 *
 * Decodes the pictures that recorders store (the PicData blob together with
 * its PicCompAlg algorithm identifier) into device-independent bitmaps.
 *
 * Every buffer passed in belongs to the caller and is neither kept nor freed.
 * No export blocks except on the short internal lock taken while a decode
 * prepares its tables; decodes may run on any number of threads at once.
 * No export lets a fault or an exception escape: each answers the failure
 * value listed with it.
 */
#ifndef KDMDCI_H
#define KDMDCI_H

#include <stddef.h>
#include <stdint.h>

#if defined(__i386__)
#define KDM_API __attribute__((stdcall))
#else
#define KDM_API
#endif

#if defined(KDMDCI_BUILDING)
#define KDM_DCI_EXPORT __attribute__((visibility("default")))
#else
#define KDM_DCI_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Algorithm identifier: family in bits 24-31, level in bits 16-23, quantiser
 * scale (1/256 units, 256 = the standard tables) in bits 0-15. */
#define DCI_FAMILY_WAVELET 0u
#define DCI_FAMILY_JPEG1 1u
#define DCI_FAMILY_JPEG2 2u
#define DCI_FAMILY_JPEGFILE 3u
#define DCI_MAKE_ALG(family, level, scale)                                                         \
    ((((uint32_t)(family)&0xFFu) << 24) | (((uint32_t)(level)&0xFFu) << 16) |                      \
     ((uint32_t)(scale)&0xFFFFu))

/* DecompressParams.Flags */
#define DCI_FLAG_STORE_COEFFICIENTS 0x1u
#define DCI_FLAG_DIFFERENCE_DECODE 0x2u
#define DCI_FLAG_LUMA_ONLY 0x100u
#define DCI_FLAG_EDGE_TOP 0x200u
#define DCI_FLAG_FIELD_TO_FRAME 0x400u
#define DCI_FLAG_FILL_FROM_NEXT 0x800u
#define DCI_FLAG_EDGE_REPAIR 0x1000u
#define DCI_FLAG_TWO_FIELDS 0x2000u
#define DCI_FLAG_CHROMA_LINE_AVERAGE 0x4000u
#define DCI_FLAG_EXTENDED_PARAMS 0x8000u
#define DCI_FLAG_HALF_SIZE 0x20000u
#define DCI_FLAG_QUARTER_SIZE 0x40000u
#define DCI_FLAG_PLANAR_OUTPUT 0x80000u
#define DCI_FLAG_PLANAR_720 0x100000u
#define DCI_FLAG_TOP_DOWN 0x200000u
#define DCI_FLAG_VERIFY_CRC 0x10000000u
#define DCI_FLAG_DECODE_ONLY 0x40000000u

/* Results of DCI_DecompressImage */
#define DCI_OK 0
#define DCI_ERR_ALGORITHM (-65535)    /* family byte not 1, 2 or 3 */
#define DCI_ERR_PICTURE_SIZE (-65534) /* output missing or below the image size */
#define DCI_ERR_EXCEPTION (-65533)    /* a fault inside the library */
#define DCI_ERR_CAPABILITY (-65532)   /* processor check failed */
#define DCI_ERR_PARAMETERS 0x10000    /* VideoNorm or OutputFormat not supported */
#define DCI_ERR_NOT_STARTED 0x20000   /* DCI_Init not called */
#define DCI_ERR_CRC 0x40000000        /* CRC trailer mismatch; pixels are written */
/* Family 3 file scan problems (any bit of 0x1-0x4000) */
#define DCI_SCAN_NO_SOI 0x1
#define DCI_SCAN_NO_EOI 0x2
#define DCI_SCAN_NO_SOF0 0x4
#define DCI_SCAN_NO_SOS 0x8
#define DCI_SCAN_NO_DHT 0x10
#define DCI_SCAN_NO_DQT 0x20
#define DCI_SCAN_BAD_DHT 0x100
#define DCI_SCAN_BAD_DQT 0x200
#define DCI_SCAN_NOT_SOF0 0x1000
#define DCI_SCAN_NOT_3_COMPONENTS 0x2000
#define DCI_SCAN_BAD_SAMPLING 0x4000

/* Describes a picture and the wanted output; built by the caller and only
 * read. On 32-bit x86 the basic part (up to DcValues) is 28 bytes and the
 * whole record 48; on x86-64 the two addresses are 8 bytes wide and the
 * sizes are DCI_PARAMS_BASIC_SIZE and DCI_PARAMS_EXTENDED_SIZE. */
typedef struct DecompressParams {
    int32_t Size;         /* DCI_PARAMS_BASIC_SIZE or DCI_PARAMS_EXTENDED_SIZE */
    uint32_t CompAlg;     /* algorithm identifier */
    int32_t VideoNorm;    /* 0: 288-line fields, 1: 240-line fields */
    int32_t OutputFormat; /* 0 full, 1 or 2 half width, 3 one pixel per 8x8 block */
    uint32_t Flags;       /* DCI_FLAG_... */
    /* 512 bytes per decoded macroblock (both fields of a two-field picture),
     * written with STORE_COEFFICIENTS, read with DIFFERENCE_DECODE; or null. */
    void* CoefBuffer;
    int16_t* DcValues; /* 3168 entries, or null */
    /* Extended part: read only with DCI_FLAG_EXTENDED_PARAMS and a Size that
     * covers it. */
    int32_t TableSlot;  /* dequantisation table cache slot 0-36 */
    int32_t Brightness; /* low byte added to every sample; default 128 */
    int32_t Contrast;   /* luma table multiplier, 256 = 1.0 */
    int32_t Saturation; /* chroma table multiplier, 256 = 1.0 */
    int32_t Sharpness;  /* low 16 bits signed: horizontal luma filter gain; 0 off */
} DecompressParams;

#define DCI_PARAMS_BASIC_SIZE ((int32_t)offsetof(DecompressParams, TableSlot))
#define DCI_PARAMS_EXTENDED_SIZE ((int32_t)sizeof(DecompressParams))

/* The 40-byte device-independent bitmap header. */
typedef struct KdmBitmapInfoHeader {
    uint32_t biSize;
    int32_t biWidth;
    int32_t biHeight;
    uint16_t biPlanes;
    uint16_t biBitCount;
    uint32_t biCompression;
    uint32_t biSizeImage;
    int32_t biXPelsPerMeter;
    int32_t biYPelsPerMeter;
    uint32_t biClrUsed;
    uint32_t biClrImportant;
} KdmBitmapInfoHeader;

/* Per-thread timing of the last decode, in counter ticks:
 * [0] entropy decoding (last field), [1] inverse transforms,
 * [2] colour conversion and output, [3] set-up and final line processing. */
typedef struct ProcessTimes {
    int64_t Times[4];
} ProcessTimes;

/* 0x10005; callers refuse to run with any other value. */
KDM_DCI_EXPORT int32_t KDM_API DCI_InterfaceVersion(void);

/* 1 when this processor can run the decoder (always on x86-64), else 0. */
KDM_DCI_EXPORT uint8_t KDM_API DCI_CheckCapabilities(void);

/* Start and stop the library; calls nest. Decoding needs a started library. */
KDM_DCI_EXPORT void KDM_API DCI_Init(void);
KDM_DCI_EXPORT void KDM_API DCI_Done(void);

/* Decodes a picture of family 1, 2 or 3 into `output` (`capacity` bytes).
 * `header` receives the bitmap header (even when the output is too small);
 * null means it is not wanted. `params` must not be null.
 * Returns DCI_OK or one of the DCI_ERR_ / DCI_SCAN_ codes. */
KDM_DCI_EXPORT int32_t KDM_API DCI_DecompressImage(const void* picture, int32_t length,
                                                   void* output, int32_t capacity,
                                                   const DecompressParams* params,
                                                   KdmBitmapInfoHeader* header);

/* Writes a standard JPEG file of a family-1 or -2 picture. Returns its length,
 * 0 when not convertible, or minus the needed capacity. Not built yet:
 * answers 0. */
KDM_DCI_EXPORT int32_t KDM_API DCI_ConvertToStdJPEG(const void* picture, int32_t length,
                                                    void* output, int32_t capacity,
                                                    const void* appSegment, int32_t appLength,
                                                    const DecompressParams* params);

/* Copies the mode text of `alg`, truncated to capacity - 1 characters and
 * zero-terminated, into `text`; returns `text`. */
KDM_DCI_EXPORT char* KDM_API DCI_GetCompressionModeText(uint32_t alg, char* text, int32_t capacity);

/* Re-codes a family-2 picture as a difference stream. Not built yet:
 * answers 0. */
KDM_DCI_EXPORT int32_t KDM_API DCI_PostCompress(const void* picture, int32_t length, void* output,
                                                int32_t capacity, uint32_t flags, int32_t videoNorm,
                                                int32_t threshold, void* reference);

/* Copies the calling thread's ProcessTimes; 1 on success, 0 on failure. */
KDM_DCI_EXPORT int32_t KDM_API DCI_GetProcessTimes(ProcessTimes* times);

/* Operations on 352-pixel-wide planes. Not built yet: DCI_RemoveHoppMMX
 * answers -1, the others DCI_ERR_EXCEPTION. */
KDM_DCI_EXPORT int32_t KDM_API DCI_RemoveHoppMMX(void* picture, int32_t length,
                                                 const KdmBitmapInfoHeader* header);
KDM_DCI_EXPORT int32_t KDM_API DCI_CalcGrad(const uint8_t* luma, int32_t lumaLength,
                                            int16_t* gradient, int32_t gradientLength,
                                            const uint8_t* blockMask,
                                            const KdmBitmapInfoHeader* header);
KDM_DCI_EXPORT int32_t KDM_API DCI_GradMul(const int16_t* first, int32_t firstLength,
                                           int32_t firstOffset, const int16_t* second,
                                           int32_t secondLength, int32_t secondOffset,
                                           int32_t* product, int32_t productLength,
                                           const KdmBitmapInfoHeader* header);
KDM_DCI_EXPORT int32_t KDM_API DCI_MiddleGrad(const int16_t* gradient, int32_t length,
                                              const KdmBitmapInfoHeader* header);
KDM_DCI_EXPORT int32_t KDM_API DCI_Grad2YPlane(const void* source, int32_t length,
                                               int32_t elementSize, uint8_t* luma,
                                               int32_t lumaLength, int32_t scale,
                                               const KdmBitmapInfoHeader* header);
KDM_DCI_EXPORT int32_t KDM_API DCI_Mul2YPlane(const void* source, int32_t length,
                                              int32_t elementSize, uint8_t* luma,
                                              int32_t lumaLength, int32_t divisor,
                                              const KdmBitmapInfoHeader* header);
KDM_DCI_EXPORT int32_t KDM_API DCI_AccumulatePic(const uint8_t* luma, int32_t length,
                                                 uint16_t* accumulator, int32_t accLength,
                                                 const KdmBitmapInfoHeader* header);
KDM_DCI_EXPORT int32_t KDM_API DCI_ScaleAverageBuf(const uint16_t* accumulator, int32_t length,
                                                   uint8_t* luma, int32_t lumaLength, int32_t shift,
                                                   const KdmBitmapInfoHeader* header);

#ifdef __cplusplus
}
#endif

#endif
