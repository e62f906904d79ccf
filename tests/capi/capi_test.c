/* The public header as C: includes only kdmdbi.h, links only libkdmdbi.so. */
#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include "kdmdbi.h"

static int g_passed, g_failed;

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (cond) {                                                                                \
            ++g_passed;                                                                            \
        } else {                                                                                   \
            ++g_failed;                                                                            \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);               \
        }                                                                                          \
    } while (0)

static int LastError(int32_t* code, int32_t* sub1, int32_t* sub2, const char** message) {
    *code = *sub1 = *sub2 = -99;
    *message = "";
    return DBI_GetLastError(code, sub1, sub2, message);
}

static void ExpectError(int32_t code, const char* text) {
    int32_t c, s1, s2;
    const char* m;
    CHECK(LastError(&c, &s1, &s2, &m));
    CHECK(c == code);
    CHECK(strcmp(m, text) == 0);
    if (c != code || strcmp(m, text) != 0)
        fprintf(stderr, "  got %d \"%s\", wanted %d \"%s\"\n", c, m, code, text);
}

static void TestVersion(void) {
    CHECK(DBI_InterfaceVersion() == 0x00030001u);
}

static void TestMd5(void) {
    static const char* const cases[][2] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
    };
    char out[64];
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        memset(out, 'x', sizeof out);
        CHECK(DBI_EncodeString(out, cases[i][0], 33));
        CHECK(strcmp(out, cases[i][1]) == 0);
    }
    char eighty[81] = "";
    for (int i = 0; i < 8; ++i)
        strcat(eighty, "1234567890");
    CHECK(DBI_EncodeString(out, eighty, sizeof out));
    CHECK(strcmp(out, "57edf4a22be3c955ac49da2e2107b67a") == 0);
    memset(out, 'x', sizeof out);
    CHECK(!DBI_EncodeString(out, "abc", 32));
    ExpectError(1, "DBI_EncodeString: Destination buffer too small.");
    CHECK(out[0] == 'x');
    CHECK(!DBI_EncodeString(NULL, "abc", 33));
    ExpectError(1, "DBI_EncodeString: Argument dest must not be a null pointer.");
}

static void TestSqlTexts(void) {
    char out[64];
    CHECK(DBI_SQLDateTimeStr(out, sizeof out, 0, 0, 0, 1, 2, 3, 4));
    CHECK(strcmp(out, "01:02:03,004") == 0);
    CHECK(DBI_SQLDateTimeStr(out, sizeof out, 2003, 4, 7, 1, 2, 3, 4));
    CHECK(strcmp(out, "2003/04/07 01:02:03,004") == 0);
    CHECK(DBI_SQLDateStr(out, sizeof out, 2003, 4, 7));
    CHECK(strcmp(out, "2003/04/07") == 0);
    CHECK(DBI_SQLTimeStr(out, sizeof out, 23, 59, 58, 999));
    CHECK(strcmp(out, "23:59:58,999") == 0);
    CHECK(DBI_SQLDateStr(out, 5, 2003, 4, 7));
    CHECK(strcmp(out, "2003") == 0);
    memset(out, 'x', sizeof out);
    CHECK(DBI_SQLDateStr(out, 0, 2003, 4, 7));
    CHECK(out[0] == 'x');
}

typedef KdmBool32(KDM_API* HandleFn)(KdmHandle);

static KdmBool32 KDM_API DatabaseSetOptions(KdmHandle h) {
    return Database_SetOptions(h, 0);
}
static KdmBool32 KDM_API DataSetOpen(KdmHandle h) {
    return DataSet_Open(h);
}
static KdmBool32 KDM_API SetupDisconnect(KdmHandle h) {
    return SetupClient_Disconnect(h);
}
static KdmBool32 KDM_API GrabberOpen(KdmHandle h) {
    return PictureGrabber_Open(h);
}
static KdmBool32 KDM_API WriterAbort(KdmHandle h) {
    return BackupWriter_AbortBackup(h);
}
static KdmBool32 KDM_API ListCount(KdmHandle h) {
    int32_t n;
    return KdmServerList_Count(h, &n);
}

static void TestInvalidHandles(void) {
    static const struct {
        HandleFn fn;
        const char* text;
        int zeroIsValid;
    } cases[] = {
        {DatabaseSetOptions, "Invalid database handle.", 0},
        {DataSetOpen, "Invalid dataset handle.", 0},
        {SetupDisconnect, "Invalid setup client handle.", 0},
        {GrabberOpen, "Invalid picture grabber handle.", 0},
        {WriterAbort, "Invalid backupwriter handle.", 0},
        {ListCount, "Invalid serverlist handle.", 1},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        CHECK(!cases[i].fn(12345));
        ExpectError(4, cases[i].text);
        if (cases[i].zeroIsValid) {
            CHECK(cases[i].fn(0));
        } else {
            CHECK(!cases[i].fn(0));
            ExpectError(4, cases[i].text);
        }
    }
    /* Destroy ignores 0 and unknown handles. */
    CHECK(Database_Destroy(0) && Database_Destroy(777));
    CHECK(DataSet_Destroy(0) && SetupClient_Destroy(0) && PictureGrabber_Destroy(0));
    CHECK(BackupWriter_Destroy(0) && KdmServerList_Destroy(0) && KdmServerList_Destroy(99));

    int32_t caps = 55;
    CHECK(!Database_AggregateFunctionCapabilities(3, 1, &caps));
    CHECK(caps == 0); /* cleared first */

    char entry[8] = "stale";
    CHECK(KdmServerList_GetEntry(0, 0, entry, sizeof entry));
    CHECK(entry[0] == '\0');
}

static void TestNotImplemented(void) {
    KdmHandle h = 5;
    CHECK(!DBI_CreateRemoteDatabase(&h, "a", "127.0.0.1", "u", "p", "", "", NULL));
    ExpectError(-2, "Command not implemented.");
    CHECK(!DBI_CreateKdmFileWriter(&h, "/tmp/x"));
    ExpectError(-2, "Command not implemented.");
}

static void TestLastErrorState(void) {
    int32_t c, s1, s2;
    const char* m;
    CHECK(!Database_Disconnect(0));
    CHECK(LastError(&c, &s1, &s2, &m));
    CHECK(s1 == 0 && s2 == 0);
    CHECK(LastError(&c, &s1, &s2, &m)); /* reading changes nothing */
    CHECK(DBI_TestFunction());
    CHECK(!LastError(&c, &s1, &s2, &m));
    CHECK(c == -99); /* nothing written */
}

static void* OtherThread(void* arg) {
    int32_t c, s1, s2;
    const char* m;
    int* result = (int*)arg;
    result[0] = LastError(&c, &s1, &s2, &m); /* the main thread's failure is not seen */
    DataSet_Close(1);
    result[1] = LastError(&c, &s1, &s2, &m) && c == 4;
    return NULL;
}

static void TestLastErrorPerThread(void) {
    int result[2] = {-1, -1};
    pthread_t thread;
    CHECK(!Database_Disconnect(0));
    pthread_create(&thread, NULL, OtherThread, result);
    pthread_join(thread, NULL);
    CHECK(result[0] == 0);
    CHECK(result[1] == 1);
    ExpectError(4, "Invalid database handle.");
}

static KdmBool KDM_API NeverCalled(KdmUserData data, KdmHandle h) {
    (void)h;
    ++*(int*)data;
    return 1;
}

static void TestEnumerateEmpty(void) {
    int calls = 0;
    KdmHandle found = 9;
    CHECK(DBI_EnumDatabases(NeverCalled, (KdmUserData)&calls, &found));
    CHECK(found == 0 && calls == 0);
    CHECK(DBI_EnumSetupClients(NeverCalled, (KdmUserData)&calls, &found));
    CHECK(found == 0 && calls == 0);
}

static void TestHeap(void) {
    KdmHeapStatistics stats;
    KdmBool ok = 0;
    CHECK(DBI_CheckHeap(0x5A, &ok) && ok);
    CHECK(DBI_GetHeapStatistics(&stats, &ok) && ok);
    CHECK(stats.usedBlocks >= 0 && stats.usedBytes >= 0 && stats.freeBlocks >= 0 &&
          stats.freeBytes >= 0);
#if !defined(__SANITIZE_ADDRESS__) /* the sanitizer's allocator reports nothing */
    CHECK(stats.usedBytes > 0);
#endif
    CHECK(DBI_SetHeapDebugOptions(1, 1));
    CHECK(DBI_TestFunction());
    CHECK(DBI_SetHeapDebugOptions(0, 0));
}

static void TestSocketVersion(void) {
    KdmBool ok = 0, missing = 1;
    int32_t wanted = 0, found = 0;
    CHECK(DBI_CheckSocketVersion(&ok, &wanted, &found, &missing));
    CHECK(ok == 1 && wanted == 2 && found == 2 && missing == 0);
}

int main(void) {
    TestVersion();
    TestMd5();
    TestSqlTexts();
    TestInvalidHandles();
    TestNotImplemented();
    TestLastErrorState();
    TestLastErrorPerThread();
    TestEnumerateEmpty();
    TestHeap();
    TestSocketVersion();
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
