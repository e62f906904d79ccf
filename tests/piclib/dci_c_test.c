/* The public header compiles as C and links against libkdmdci alone. */
#include "kdmdci.h"

#include <stdio.h>
#include <string.h>

int main(void) {
    DecompressParams params;
    KdmBitmapInfoHeader header;
    ProcessTimes times;
    char text[64];
    int failures = 0;

    if (DCI_InterfaceVersion() != 0x10005) {
        fprintf(stderr, "interface version %d\n", (int)DCI_InterfaceVersion());
        ++failures;
    }
    DCI_Init();
    memset(&params, 0, sizeof params);
    params.Size = DCI_PARAMS_BASIC_SIZE;
    params.CompAlg = DCI_MAKE_ALG(0, 5, 256);
    if (DCI_DecompressImage(NULL, 0, NULL, 0, &params, &header) != DCI_ERR_ALGORITHM)
        ++failures;
    DCI_GetCompressionModeText(params.CompAlg, text, (int32_t)sizeof text);
    if (strcmp(text, "Kaldomeris II - Wavelet (Level5)") != 0)
        ++failures;
    if (DCI_GetProcessTimes(&times) != 1)
        ++failures;
    DCI_Done();
    if (failures)
        fprintf(stderr, "%d failures\n", failures);
    return failures ? 1 : 0;
}
