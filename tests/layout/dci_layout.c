/* Compile-time layout of KdmDCI's public records: on 32-bit x86 exactly the
 * recorder software's offsets and sizes; on x86-64 with 8-byte addresses. */
#include "kdmdci.h"

#include <stddef.h>

#define DCI_AT(type, field, offset)                                                                \
    _Static_assert(offsetof(type, field) == (offset), #type "." #field " offset")

DCI_AT(KdmBitmapInfoHeader, biSize, 0);
DCI_AT(KdmBitmapInfoHeader, biWidth, 4);
DCI_AT(KdmBitmapInfoHeader, biHeight, 8);
DCI_AT(KdmBitmapInfoHeader, biPlanes, 12);
DCI_AT(KdmBitmapInfoHeader, biBitCount, 14);
DCI_AT(KdmBitmapInfoHeader, biCompression, 16);
DCI_AT(KdmBitmapInfoHeader, biSizeImage, 20);
DCI_AT(KdmBitmapInfoHeader, biXPelsPerMeter, 24);
DCI_AT(KdmBitmapInfoHeader, biYPelsPerMeter, 28);
DCI_AT(KdmBitmapInfoHeader, biClrUsed, 32);
DCI_AT(KdmBitmapInfoHeader, biClrImportant, 36);
_Static_assert(sizeof(KdmBitmapInfoHeader) == 40, "bitmap header size");

DCI_AT(ProcessTimes, Times, 0);
_Static_assert(sizeof(ProcessTimes) == 32, "ProcessTimes size");

DCI_AT(DecompressParams, Size, 0);
DCI_AT(DecompressParams, CompAlg, 4);
DCI_AT(DecompressParams, VideoNorm, 8);
DCI_AT(DecompressParams, OutputFormat, 12);
DCI_AT(DecompressParams, Flags, 16);

#if defined(__i386__)
DCI_AT(DecompressParams, CoefBuffer, 20);
DCI_AT(DecompressParams, DcValues, 24);
DCI_AT(DecompressParams, TableSlot, 28);
DCI_AT(DecompressParams, Brightness, 32);
DCI_AT(DecompressParams, Contrast, 36);
DCI_AT(DecompressParams, Saturation, 40);
DCI_AT(DecompressParams, Sharpness, 44);
_Static_assert(sizeof(DecompressParams) == 48, "DecompressParams size");
_Static_assert(DCI_PARAMS_BASIC_SIZE == 28, "basic DecompressParams size");
_Static_assert(DCI_PARAMS_EXTENDED_SIZE == 48, "extended DecompressParams size");
#else
DCI_AT(DecompressParams, CoefBuffer, 24);
DCI_AT(DecompressParams, DcValues, 32);
DCI_AT(DecompressParams, TableSlot, 40);
DCI_AT(DecompressParams, Brightness, 44);
DCI_AT(DecompressParams, Contrast, 48);
DCI_AT(DecompressParams, Saturation, 52);
DCI_AT(DecompressParams, Sharpness, 56);
_Static_assert(sizeof(DecompressParams) == 64, "DecompressParams size");
_Static_assert(DCI_PARAMS_BASIC_SIZE == 40, "basic DecompressParams size");
#endif
