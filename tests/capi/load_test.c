/* What the library does when it loads: it reads its switches from the
 * configuration store, reports a store that does not parse once, and
 * writes nothing. The library is opened with dlopen after the store is in
 * place, as a program would load it.
 *   load_test LIBRARY on|off */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kdmdbi.h"

static int g_passed, g_failed;
#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (cond)                                                                                  \
            ++g_passed;                                                                            \
        else {                                                                                     \
            ++g_failed;                                                                            \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);               \
        }                                                                                          \
    } while (0)

static char* Slurp(const char* path) {
    FILE* f = fopen(path, "rb");
    if (f == NULL)
        return NULL;
    static char buffer[65536];
    size_t n = fread(buffer, 1, sizeof buffer - 1, f);
    buffer[n] = '\0';
    fclose(f);
    return buffer;
}

static int Count(const char* text, const char* needle) {
    int n = 0;
    for (const char* p = strstr(text, needle); p != NULL; p = strstr(p + 1, needle))
        ++n;
    return n;
}

int main(int argc, char** argv) {
    if (argc != 3)
        return 2;
    int on = strcmp(argv[2], "on") == 0;
    char dir[] = "/tmp/kdm-load-XXXXXX";
    if (mkdtemp(dir) == NULL)
        return 2;
    char store[256], debug[256];
    snprintf(store, sizeof store, "%s/registry.reg", dir);
    snprintf(debug, sizeof debug, "%s/debug.txt", dir);
    char content[512];
    snprintf(content, sizeof content,
             "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorsken\\KDMII\\KdmDBI]\n"
             "\"DebugOutput\"=\" %d\"\n"
             "this line does not parse\n",
             on);
    FILE* f = fopen(store, "wb");
    fputs(content, f);
    fclose(f);
    setenv("KDM_REGISTRY_FILE", store, 1);
    setenv("KDM_DEBUG_OUTPUT", debug, 1);

    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (lib == NULL) {
        fprintf(stderr, "%s\n", dlerror());
        return 2;
    }
    KdmBool32(KDM_API * disconnect)(KdmHandle) =
        (KdmBool32(KDM_API*)(KdmHandle))dlsym(lib, "Database_Disconnect");
    CHECK(disconnect != NULL);
    CHECK(disconnect(0) == 0);
    CHECK(disconnect(0) == 0);

    const char* out = Slurp(debug);
    if (out == NULL)
        out = "";
    if (on) {
        CHECK(Count(out, "### ERROR: Configuration store ") == 1);
        CHECK(Count(out, "line 5") == 1);
        CHECK(Count(out, "### ERROR: KDMDBI: Invalid database handle. (4,0,0)\n") == 2);
    } else {
        CHECK(out[0] == '\0');
    }
    /* Loading reads; it never rewrites the store. */
    CHECK(strcmp(Slurp(store), content) == 0);

    unlink(store);
    unlink(debug);
    rmdir(dir);
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
