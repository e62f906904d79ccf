/*
 * KdmDBI: the database interface of the Kaldomeris recorders.
 *
 * A flat C interface. Every function except DBI_InterfaceVersion returns a
 * 32-bit success flag (non-zero on success); after a failure
 * DBI_GetLastError on the same thread tells why. No function lets an
 * exception or a processor fault escape.
 *
 * Ownership: every buffer a caller passes stays the caller's. Strings the
 * library returns point into a library object and stay valid until that
 * object changes or is destroyed: copy them at once. Handles are 32-bit,
 * never 0, unique across databases, datasets, setup clients and picture
 * grabbers; a field handle is the address of a column definition and is
 * valid from the dataset's open until its close.
 *
 * Threads: any thread may call any function. Functions that talk to a
 * recorder or load a medium block the calling thread until they end.
 */
#ifndef KDMDBI_H
#define KDMDBI_H

#include <stddef.h>
#include <stdint.h>

#if defined(__i386__)
#define KDM_API __attribute__((stdcall))
#else
#define KDM_API
#endif

#if defined(KDMDBI_BUILDING)
#define KDMDBI_EXPORT __attribute__((visibility("default")))
#else
#define KDMDBI_EXPORT
#endif

#define KDMDBI_FUNC KDMDBI_EXPORT KdmBool32 KDM_API

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Basic types ------------------------------------------------------ */

typedef int32_t KdmBool32;    /* result of every function: non-zero = success */
typedef uint8_t KdmBool;      /* one-byte boolean of arguments and records: 0 or 1 */
typedef uint32_t KdmHandle;   /* object handle; 0 is never valid */
typedef intptr_t KdmUserData; /* caller's value handed back to a callback */
typedef const void* KdmField; /* field handle: address of a column definition */

#define KDMDBI_INTERFACE_VERSION 0x00030001u
#define KDM_BOOKMARK_SIZE 264

/* Error codes of DBI_GetLastError. */
#define KDM_ERR_ABORTED (-1)         /* "Command aborted." */
#define KDM_ERR_NOT_IMPLEMENTED (-2) /* "Command not implemented." */
#define KDM_ERR_UNKNOWN 0
#define KDM_ERR_GENERIC 1
#define KDM_ERR_CONNECTION 2
#define KDM_ERR_INVALID_HANDLE 4
#define KDM_ERR_RECORDER 5
#define KDM_ERR_RELEASE_LOCK_EVENT 6
#define KDM_ERR_INTERFACE 7
#define KDM_ERR_HEAP 8
#define KDM_ERR_PARAMETER 9
#define KDM_ERR_DATABASE_ENGINE 10
#define KDM_ERR_SQL 11
#define KDM_ERR_TIMEOUT 12

/* Field type codes (code 8 is not used). */
#define KDM_FIELD_UNKNOWN 0
#define KDM_FIELD_BOOL 1
#define KDM_FIELD_UINT8 2
#define KDM_FIELD_INT16 3
#define KDM_FIELD_INT32 4
#define KDM_FIELD_INT64 5
#define KDM_FIELD_UINT16 6
#define KDM_FIELD_UINT32 7
#define KDM_FIELD_FLOAT 9
#define KDM_FIELD_DOUBLE 10
#define KDM_FIELD_STRING 11
#define KDM_FIELD_DATETIME 12
#define KDM_FIELD_BLOB 13

/* Records keep their field order; on 32-bit x86 every offset and size is
 * the recorder's. Pointer members are pointer-sized, so records holding
 * pointers are larger on x86-64: set their size word with sizeof. */
#pragma pack(push, 4)

typedef struct KdmGuid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
} KdmGuid;

/* Milliseconds since midnight, then day number (1 = 1 January of year 1,
 * proleptic Gregorian; 0 = no date). {0, 0} is "no date-time" and NULL. */
typedef struct KdmNativeDateTime {
    uint32_t milliseconds;
    uint32_t day;
} KdmNativeDateTime;

typedef struct KdmGenericDateTime {
    uint32_t year;
    uint32_t month;     /* 1..12 */
    uint32_t day;       /* 1..31 */
    uint32_t dayOfWeek; /* 0 Sunday .. 6 Saturday */
    uint32_t hour;
    uint32_t minute;
    uint32_t second;
    uint32_t millisecond;
} KdmGenericDateTime;

/* Field_AsBlob: data stays valid until the row is refilled or cleared. */
typedef struct KdmBlobDesc {
    uint32_t attribute;
    uint32_t length;
    const void* data;
} KdmBlobDesc;

typedef struct KdmHeapStatistics {
    int32_t usedBlocks;
    int32_t usedBytes;
    int32_t freeBlocks;
    int32_t freeBytes;
} KdmHeapStatistics;

/* Opaque position of a row; the 64-bit value at offset 16 is the row's
 * position, -2 for "no row". */
typedef struct KdmBookmark {
    uint8_t bytes[KDM_BOOKMARK_SIZE];
} KdmBookmark;

/* Database_GetDatabaseInfo: set size (at least 320) before the call. */
typedef struct TKdmDatabaseInfoStruct {
    uint32_t size;
    char name[260];         /* medium or database name */
    uint32_t sizeMiB;       /* medium size in MiB, rounded up */
    uint8_t identifier[16]; /* medium or database identifier */
    uint8_t identifier2[16];
    int64_t value1;
    int64_t value2;
    uint32_t kind;
} TKdmDatabaseInfoStruct;

/* Database_GetDateTimeInfo: set size (at least 240). */
typedef struct TKdmGetDateTimeInfo {
    uint32_t size;
    uint32_t reserved; /* not filled */
    KdmNativeDateTime dateTime1;
    KdmNativeDateTime dateTime2;
    int64_t value;
    int32_t values[4];
    uint8_t bytes1[32];
    uint8_t bytes2[32];
    char text1[64];
    char text2[64];
} TKdmGetDateTimeInfo;

#define KDM_RING_INFO_MAX_ENTRIES 64

typedef struct TKdmRingbufferInfoEntry {
    uint32_t values[5];
    KdmBool flags[3];
    char name[33];
} TKdmRingbufferInfoEntry;

/* Database_GetRingInfo: set size (at least 3604). */
typedef struct TKdmRingbufferInfoStruct {
    uint32_t size;
    uint32_t values[3];
    uint32_t count;
    TKdmRingbufferInfoEntry entries[KDM_RING_INFO_MAX_ENTRIES];
} TKdmRingbufferInfoStruct;

/* Database_GetServerInfo: set size (at least 504). */
typedef struct TKdmServerInfoStruct {
    uint32_t size;
    char text1[64];
    char text2[64];
    char text3[64];
    uint32_t values1[3];
    char text4[128];
    uint32_t values2[4];
    char text5[128];
    uint8_t bytes[16];
    uint32_t value3;
    uint32_t value4;
} TKdmServerInfoStruct;

/* One named event field of a start or stop request, chained by next. */
typedef struct TKdmEventFieldDesc {
    uint32_t size;
    struct TKdmEventFieldDesc* next;
    char name[35];   /* up to 32 characters */
    KdmBool present; /* 0: NULL */
    int32_t type;    /* KDM_FIELD_... */
    union {
        int64_t asInt64;
        double asDouble;
        KdmNativeDateTime asDateTime;
        const char* asString;
        struct {
            int32_t length;
            const void* data;
        } asBlob;
    } value;
} TKdmEventFieldDesc;

typedef struct TCmdStartKdmEvent {
    uint32_t size;
    uint32_t value1;
    int64_t eventTypeId;
    const char* text; /* may be null: sent empty */
    uint32_t value2;
    int32_t value3;
    uint32_t value4;
    int64_t value5;
    int32_t value6;
    KdmBool flags[4];
    const TKdmEventFieldDesc* fields;
} TCmdStartKdmEvent;

typedef struct TCmdStopKdmEvent {
    uint32_t size;
    uint32_t value1;
    int64_t value2;
    int64_t eventId;
    const char* text;
    uint32_t value3;
    KdmBool flags[4];
    const TKdmEventFieldDesc* fields;
} TCmdStopKdmEvent;

typedef struct TCmdPeekKdmEvent {
    uint32_t size;
    uint32_t value1;
    int64_t eventId;
    const char* text;
    uint32_t value2;
} TCmdPeekKdmEvent;

/* Answer of the event commands and record of notification codes 2 and 3.
 * items points to itemCount 8-byte items, valid until the next command on
 * the same connection. */
typedef struct TNFServer_EventStartStop {
    uint32_t size;
    uint32_t values1[3];
    KdmBool flags[4];
    uint32_t value2;
    int64_t value3;
    int64_t value4;
    char text[128];
    KdmNativeDateTime times[4];
    int32_t value5;
    uint32_t value6;
    uint32_t value7;
    uint32_t itemCount;
    const void* items;
} TNFServer_EventStartStop;

/* One element of the list given to Database_SetEventNotificationList. */
typedef struct TKdmEventNotificationDesc {
    uint32_t size;
    const struct TKdmEventNotificationDesc* next;
    uint32_t value1;
    uint32_t value2;
    int64_t value3;
    const char* text; /* may be null: sent empty */
} TKdmEventNotificationDesc;

/* Records of the server-notification callback, by code. */
typedef struct KdmNotifyRecord1 {
    uint32_t size; /* 16 */
    uint32_t values[3];
} KdmNotifyRecord1;

typedef struct KdmNotifyRecord4 {
    uint32_t size; /* 32 */
    uint32_t value1;
    int64_t value2;
    KdmNativeDateTime time1;
    KdmNativeDateTime time2;
} KdmNotifyRecord4;

typedef struct KdmNotifyRecord5 {
    uint32_t size; /* 24 */
    uint32_t value1;
    int64_t value2;
    uint32_t value3;
    uint32_t value4;
} KdmNotifyRecord5;

/* Passed to the backup callback with every report. */
typedef struct TKdmMediumState {
    uint32_t size; /* 96 */
    uint32_t mediumChanges;
    uint8_t mediumId[16];
    uint32_t clusterNumber;
    uint32_t reserved1;
    int64_t picturesOnMedium;
    int64_t reserved2;
    int64_t msSinceMediumStart;
    int64_t picturesSinceInitialize;
    int64_t reserved3;
    int64_t msSinceStoreStart;
    uint8_t reserved4[16];
} TKdmMediumState;

#pragma pack(pop)

/* ---- Callbacks (same calling convention as the functions) -------------- */

/* Return true to stop the enumeration at this handle. */
typedef KdmBool(KDM_API* KdmEnumCallback)(KdmUserData userData, KdmHandle handle);
/* Return 0 to abort the connect or load. Runs on the calling thread. */
typedef int32_t(KDM_API* KdmProgressCallback)(KdmUserData userData, int32_t position,
                                              int32_t total);
/* Called after every disconnect, on the disconnecting thread. */
typedef void(KDM_API* KdmDisconnectMonitor)(KdmUserData userData, KdmHandle handle);
/* Server notifications; runs on the library's back-channel thread, must
 * return true and must not wait for a command of the same database.
 * record is null for codes 0 and 32 (the back channel ended). */
typedef KdmBool(KDM_API* KdmNotificationCallback)(KdmUserData userData, int32_t code,
                                                  const void* record);
/* Backup reports; extra depends on the code. */
typedef void(KDM_API* KdmBackupCallback)(KdmUserData userData, int32_t code, int64_t x, int64_t y,
                                         const TKdmMediumState* state, void* extra);

/* ---- Library ------------------------------------------------------------ */

/* 0x00030001; no other effect. */
KDMDBI_EXPORT uint32_t KDM_API DBI_InterfaceVersion(void);
/* True and all four filled when the calling thread's last call failed; the
 * message stays valid until this thread's next call. Changes nothing. */
KDMDBI_FUNC DBI_GetLastError(int32_t* code, int32_t* sub1, int32_t* sub2, const char** message);
KDMDBI_FUNC DBI_CheckHeap(int32_t fill, KdmBool* ok);
KDMDBI_FUNC DBI_GetHeapStatistics(KdmHeapStatistics* stats, KdmBool* ok);
KDMDBI_FUNC DBI_SetHeapDebugOptions(KdmBool checkBefore, KdmBool checkAfter);
KDMDBI_FUNC DBI_TestFunction(void);
/* dest gets the 32 lowercase hex digits of MD5(src); destSize must exceed 32. */
KDMDBI_FUNC DBI_EncodeString(char* dest, const char* src, int32_t destSize);
KDMDBI_FUNC DBI_SQLDateStr(char* dest, int32_t destSize, uint32_t year, uint32_t month,
                           uint32_t day);
KDMDBI_FUNC DBI_SQLTimeStr(char* dest, int32_t destSize, uint32_t hour, uint32_t minute,
                           uint32_t second, uint32_t millisecond);
KDMDBI_FUNC DBI_SQLDateTimeStr(char* dest, int32_t destSize, uint32_t year, uint32_t month,
                               uint32_t day, uint32_t hour, uint32_t minute, uint32_t second,
                               uint32_t millisecond);
/* Holds the registry lock during the whole walk; found = 0 when no call
 * returned true. */
KDMDBI_FUNC DBI_EnumDatabases(KdmEnumCallback callback, KdmUserData userData, KdmHandle* found);
KDMDBI_FUNC DBI_EnumSetupClients(KdmEnumCallback callback, KdmUserData userData, KdmHandle* found);
KDMDBI_FUNC DBI_CheckSocketVersion(KdmBool* ok, int32_t* wantedVersion, int32_t* foundVersion,
                                   KdmBool* protocolsMissing);

/* ---- Creating objects ---------------------------------------------------- */

/* aliasGuid may be null (all zero). The new database is not connected. */
KDMDBI_FUNC DBI_CreateRemoteDatabase(KdmHandle* handle, const char* aliasName, const char* address,
                                     const char* user, const char* password, const char* user2,
                                     const char* password2, const KdmGuid* aliasGuid);
/* A backup file or CD image; *handle = 0 when path is neither. */
KDMDBI_FUNC DBI_CreateFilebasedMedium(KdmHandle* handle, const char* path,
                                      const KdmGuid* aliasGuid);
KDMDBI_FUNC DBI_CreateTapebasedMedium(KdmHandle* handle, int32_t tapeNumber,
                                      const KdmGuid* aliasGuid);
KDMDBI_FUNC DBI_CreateSetupClient(KdmHandle* handle, const char* aliasName, const char* address,
                                  const char* user, const char* password, const char* user2,
                                  const char* password2, const KdmGuid* aliasGuid);
/* target: address to scan, empty for a broadcast. */
KDMDBI_FUNC DBI_CreateKdmServerList(const char* target, KdmHandle* handle);
KDMDBI_FUNC DBI_CanUseKdmTapeWriter(KdmBool* canUse);
KDMDBI_FUNC DBI_CreateKdmFileWriter(KdmHandle* handle, const char* fileName);
KDMDBI_FUNC DBI_CreateKdmTapeWriter(KdmHandle* handle, int32_t driveNumber);

/* ---- Database ------------------------------------------------------------ */

/* Handle 0 or an unknown handle: success, nothing done. */
KDMDBI_FUNC Database_Destroy(KdmHandle database);
KDMDBI_FUNC Database_SetOptions(KdmHandle database, int32_t options);
KDMDBI_FUNC Database_LimitBandwidth(KdmHandle database, int32_t value);
KDMDBI_FUNC Database_AggregateFunctionCapabilities(KdmHandle database, int32_t function,
                                                   int32_t* caps);
KDMDBI_FUNC Database_RegisterDisconnectMonitor(KdmHandle database, KdmDisconnectMonitor monitor,
                                               KdmUserData userData);
KDMDBI_FUNC Database_UnregisterDisconnectMonitor(KdmHandle database, KdmDisconnectMonitor monitor,
                                                 KdmUserData userData);
KDMDBI_FUNC Database_SetConnectParams(KdmHandle database, const char* address, const char* user,
                                      const char* password, const char* user2,
                                      const char* password2);
/* Blocks until connected or failed; *result is the connect result. info may
 * be null and is written only when the connect negotiated a value. */
KDMDBI_FUNC Database_Connect(KdmHandle database, int32_t* result, KdmProgressCallback progress,
                             KdmUserData progressUserData, int32_t a, int32_t b, int32_t* info);
KDMDBI_FUNC Database_Connected(KdmHandle database, KdmBool* connected);
KDMDBI_FUNC Database_Disconnect(KdmHandle database);
KDMDBI_FUNC Database_GetNegotiationState(KdmHandle database, KdmBool* negotiated, int32_t* value);
KDMDBI_FUNC Database_CreateDataSet(KdmHandle database, KdmHandle* dataset);
KDMDBI_FUNC Database_SetCBNotification(KdmHandle database, KdmNotificationCallback callback,
                                       KdmUserData userData);
KDMDBI_FUNC Database_GetAliasname(KdmHandle database, const char** name);
KDMDBI_FUNC Database_GetAliasGuid(KdmHandle database, KdmGuid* guid);
KDMDBI_FUNC Database_GetUsername(KdmHandle database, const char** user, const char** user2);
KDMDBI_FUNC Database_GetPassword(KdmHandle database, const char** password, const char** password2);
KDMDBI_FUNC Database_GetAddress(KdmHandle database, const char** address);
KDMDBI_FUNC Database_GetDatabaseInfo(KdmHandle database, TKdmDatabaseInfoStruct* info);
KDMDBI_FUNC Database_RecorderSetXSwitch(KdmHandle database, int64_t value1, int64_t value2,
                                        KdmBool value3);
KDMDBI_FUNC Database_RecorderSetRelay(KdmHandle database, uint32_t value1, int64_t value2,
                                      int64_t value3);
KDMDBI_FUNC Database_RecorderStartCamCycle(KdmHandle database, int64_t value1, KdmBool value2,
                                           int64_t value3);
/* The three small values and the flag travel as 32-bit words. */
KDMDBI_FUNC Database_RecorderADSetupMode(KdmHandle database, int64_t value1, uint32_t value2,
                                         uint32_t byte1, uint32_t byte2, uint32_t byte3,
                                         uint32_t flag, int32_t value3);
KDMDBI_FUNC Database_RecorderAvailable(KdmHandle database, int64_t value, KdmBool* available);
KDMDBI_FUNC Database_SendTelemetryCmd(KdmHandle database, int64_t value, const void* data,
                                      int32_t length);
KDMDBI_FUNC Database_ReleaseLockEvent(KdmHandle database, int64_t value);
/* Sends data and copies the answer into answer (up to capacity); *copied
 * is the number of bytes copied. */
KDMDBI_FUNC Database_PingPong(KdmHandle database, const void* data, int32_t length, void* answer,
                              int32_t capacity, int32_t* copied);
KDMDBI_FUNC Database_EnableDummyPackets(KdmHandle database, int32_t intervalSeconds, int32_t count);
KDMDBI_FUNC Database_GetDateTime(KdmHandle database, KdmNativeDateTime* first,
                                 KdmNativeDateTime* second);
KDMDBI_FUNC Database_GetDateTimeInfo(KdmHandle database, TKdmGetDateTimeInfo* info, KdmBool flag);
KDMDBI_FUNC Database_GetRingInfo(KdmHandle database, TKdmRingbufferInfoStruct* info);
KDMDBI_FUNC Database_GetServerInfo(KdmHandle database, TKdmServerInfoStruct* info);
KDMDBI_FUNC Database_StartKdmEvent(KdmHandle database, const TCmdStartKdmEvent* request,
                                   int32_t* result, TNFServer_EventStartStop* answer);
KDMDBI_FUNC Database_StopKdmEvent(KdmHandle database, const TCmdStopKdmEvent* request,
                                  int32_t* result, TNFServer_EventStartStop* answer);
KDMDBI_FUNC Database_PeekKdmEvent(KdmHandle database, const TCmdPeekKdmEvent* request,
                                  int32_t* result, TNFServer_EventStartStop* answer);
KDMDBI_FUNC Database_EnableNotifications(KdmHandle database, int32_t mask);
KDMDBI_FUNC Database_SetEventNotificationList(KdmHandle database,
                                              const TKdmEventNotificationDesc* first, KdmBool flag);
KDMDBI_FUNC Database_CreatePictureGrabber(KdmHandle database, KdmHandle* grabber);

/* ---- Dataset -------------------------------------------------------------- */

KDMDBI_FUNC DataSet_Destroy(KdmHandle dataset);
KDMDBI_FUNC DataSet_GetDatabase(KdmHandle dataset, KdmHandle* database);
KDMDBI_FUNC DataSet_FieldCount(KdmHandle dataset, int32_t* count);
KDMDBI_FUNC DataSet_GetField(KdmHandle dataset, int32_t index, KdmField* field);
/* *field = 0 when there is no such field. */
KDMDBI_FUNC DataSet_FindField(KdmHandle dataset, const char* name, KdmField* field);
KDMDBI_FUNC DataSet_FieldByName(KdmHandle dataset, const char* name, KdmField* field);
KDMDBI_FUNC DataSet_SetOptions(KdmHandle dataset, int32_t options);
KDMDBI_FUNC DataSet_GetOptions(KdmHandle dataset, int32_t* options);
KDMDBI_FUNC DataSet_SetSQLStatement(KdmHandle dataset, const char* sql);
/* buffer may be null; copies at most *length-1 characters, then *length is
 * the statement's full length. */
KDMDBI_FUNC DataSet_GetSQLStatement(KdmHandle dataset, char* buffer, int32_t* length);
KDMDBI_FUNC DataSet_Open(KdmHandle dataset);
KDMDBI_FUNC DataSet_Close(KdmHandle dataset);
KDMDBI_FUNC DataSet_Refresh(KdmHandle dataset, int32_t mode);
KDMDBI_FUNC DataSet_Active(KdmHandle dataset, KdmBool* open);
KDMDBI_FUNC DataSet_FetchFirst(KdmHandle dataset, KdmBool* gotRow);
KDMDBI_FUNC DataSet_FetchLast(KdmHandle dataset, KdmBool* gotRow);
KDMDBI_FUNC DataSet_FetchNewest(KdmHandle dataset, KdmBool* gotRow);
KDMDBI_FUNC DataSet_FetchPrev(KdmHandle dataset, KdmBool* gotRow);
KDMDBI_FUNC DataSet_FetchNext(KdmHandle dataset, KdmBool* gotRow);
KDMDBI_FUNC DataSet_SetStepWidth(KdmHandle dataset, int32_t width);
KDMDBI_FUNC DataSet_GetStepWidth(KdmHandle dataset, int32_t* width);
KDMDBI_FUNC DataSet_LocateWhere(KdmHandle dataset, int32_t mode, const char* condition,
                                KdmBool* found);
KDMDBI_FUNC DataSet_GetBookmark(KdmHandle dataset, KdmBookmark* bookmark);
KDMDBI_FUNC DataSet_LocateBookmark(KdmHandle dataset, int32_t kind, const void* data,
                                   KdmBool* found);
KDMDBI_FUNC DataSet_IsEmpty(KdmHandle dataset, KdmBool* result);
KDMDBI_FUNC DataSet_Bod(KdmHandle dataset, KdmBool* result);
KDMDBI_FUNC DataSet_Eod(KdmHandle dataset, KdmBool* result);
KDMDBI_FUNC DataSet_IsStatic(KdmHandle dataset, KdmBool* result);
KDMDBI_FUNC DataSet_IsSequential(KdmHandle dataset, KdmBool* result);
KDMDBI_FUNC DataSet_RecordCount(KdmHandle dataset, int64_t* value);
KDMDBI_FUNC DataSet_RecNo(KdmHandle dataset, int64_t* value);
/* Does not wait for the dataset's lock: interrupts a running operation. */
KDMDBI_FUNC DataSet_AbortOperation(KdmHandle dataset);
/* Keeps other threads out across several calls; unlock on the same thread. */
KDMDBI_FUNC DataSet_LockDataSet(KdmHandle dataset);
KDMDBI_FUNC DataSet_UnlockDataSet(KdmHandle dataset);

/* ---- Field (handle from DataSet_GetField and friends; no lock) ------------ */

KDMDBI_FUNC Field_FieldName(KdmField field, const char** name);
KDMDBI_FUNC Field_FieldType(KdmField field, int32_t* type);
KDMDBI_FUNC Field_IsNull(KdmField field, KdmBool* isNull);
KDMDBI_FUNC Field_AsBool(KdmField field, KdmBool* value);
KDMDBI_FUNC Field_AsInt(KdmField field, int32_t* value);
KDMDBI_FUNC Field_AsInt64(KdmField field, int64_t* value);
KDMDBI_FUNC Field_AsDWord(KdmField field, uint32_t* value);
KDMDBI_FUNC Field_AsFloat(KdmField field, double* value);
KDMDBI_FUNC Field_AsNativeDateTime(KdmField field, KdmNativeDateTime* value);
KDMDBI_FUNC Field_AsGenericDateTime(KdmField field, KdmGenericDateTime* value);
/* *length: capacity in characters on entry (buffer holds one more for the
 * terminator), characters copied on return. */
KDMDBI_FUNC Field_AsString(KdmField field, char* buffer, uint8_t* length);
KDMDBI_FUNC Field_AsBlob(KdmField field, KdmBlobDesc* blob);

/* ---- Picture grabber ------------------------------------------------------ */

KDMDBI_FUNC PictureGrabber_Destroy(KdmHandle grabber);
KDMDBI_FUNC PictureGrabber_GetDatabase(KdmHandle grabber, KdmHandle* database);
KDMDBI_FUNC PictureGrabber_FieldCount(KdmHandle grabber, int32_t* count);
KDMDBI_FUNC PictureGrabber_GetField(KdmHandle grabber, int32_t index, KdmField* field);
KDMDBI_FUNC PictureGrabber_FindField(KdmHandle grabber, const char* name, KdmField* field);
KDMDBI_FUNC PictureGrabber_FieldByName(KdmHandle grabber, const char* name, KdmField* field);
KDMDBI_FUNC PictureGrabber_Open(KdmHandle grabber);
KDMDBI_FUNC PictureGrabber_Close(KdmHandle grabber);
KDMDBI_FUNC PictureGrabber_Abort(KdmHandle grabber);
/* valueLow/valueHigh: the two halves of a 64-bit value. */
KDMDBI_FUNC PictureGrabber_Grab(KdmHandle grabber, uint32_t valueLow, uint32_t valueHigh,
                                uint32_t byte1, uint32_t byte2, uint32_t value2, uint32_t waitMs);

/* ---- Setup client --------------------------------------------------------- */

KDMDBI_FUNC SetupClient_Destroy(KdmHandle client);
KDMDBI_FUNC SetupClient_RegisterDisconnectMonitor(KdmHandle client, KdmDisconnectMonitor monitor,
                                                  KdmUserData userData);
KDMDBI_FUNC SetupClient_UnregisterDisconnectMonitor(KdmHandle client, KdmDisconnectMonitor monitor,
                                                    KdmUserData userData);
KDMDBI_FUNC SetupClient_SetConnectParams(KdmHandle client, const char* address, const char* user,
                                         const char* password, const char* user2,
                                         const char* password2);
KDMDBI_FUNC SetupClient_Connect(KdmHandle client, int32_t* result, KdmProgressCallback progress,
                                KdmUserData progressUserData, int32_t a, int32_t b, int32_t* info);
KDMDBI_FUNC SetupClient_Connected(KdmHandle client, KdmBool* connected);
KDMDBI_FUNC SetupClient_Disconnect(KdmHandle client);
KDMDBI_FUNC SetupClient_SetCBNotification(KdmHandle client, KdmNotificationCallback callback,
                                          KdmUserData userData);
KDMDBI_FUNC SetupClient_GetAliasname(KdmHandle client, const char** name);
KDMDBI_FUNC SetupClient_GetAliasGuid(KdmHandle client, KdmGuid* guid);
KDMDBI_FUNC SetupClient_GetUsername(KdmHandle client, const char** user, const char** user2);
KDMDBI_FUNC SetupClient_GetPassword(KdmHandle client, const char** password,
                                    const char** password2);
KDMDBI_FUNC SetupClient_GetAddress(KdmHandle client, const char** address);
/* fd: a POSIX file descriptor opened by the caller (-1 is invalid). Read:
 * the recorder's setup is written to fd; write: fd's content is sent. */
KDMDBI_FUNC SetupClient_ReadSetup(KdmHandle client, int fd);
KDMDBI_FUNC SetupClient_WriteSetup(KdmHandle client, int fd);

/* ---- Server list (handle 0 is an empty list, not an error) ---------------- */

KDMDBI_FUNC KdmServerList_Destroy(KdmHandle list);
KDMDBI_FUNC KdmServerList_Count(KdmHandle list, int32_t* count);
/* Empties buffer, then copies entry index (cut to size) when it exists. */
KDMDBI_FUNC KdmServerList_GetEntry(KdmHandle list, int32_t index, char* buffer, int32_t size);

/* ---- Backup writer -------------------------------------------------------- */

KDMDBI_FUNC BackupWriter_Destroy(KdmHandle writer);
KDMDBI_FUNC BackupWriter_LimitFileSize(KdmHandle writer, uint32_t limitLow, uint32_t limitHigh);
KDMDBI_FUNC BackupWriter_SetFileName(KdmHandle writer, const char* fileName);
KDMDBI_FUNC BackupWriter_InitializeBackup(KdmHandle writer, KdmBackupCallback callback,
                                          KdmUserData userData, int32_t flags, int32_t* result);
KDMDBI_FUNC BackupWriter_FinalizeBackup(KdmHandle writer, int32_t flag);
KDMDBI_FUNC BackupWriter_NearEndOfMedium(KdmHandle writer, KdmBool* nearEnd);
KDMDBI_FUNC BackupWriter_PrepareStoreSingle(KdmHandle writer, KdmHandle database);
KDMDBI_FUNC BackupWriter_StoreSinglePicture(KdmHandle writer, int32_t argument, int32_t* result);
KDMDBI_FUNC BackupWriter_UnprepareStoreSingle(KdmHandle writer);
KDMDBI_FUNC BackupWriter_StorePictureDataSet(KdmHandle writer, KdmHandle dataset,
                                             int32_t continueFlag, int32_t countFlag,
                                             int32_t* result);
KDMDBI_FUNC BackupWriter_FindMediaDBInfo(KdmHandle writer, const KdmGuid* database, KdmBool* found,
                                         int64_t* lastPicId);
KDMDBI_FUNC BackupWriter_GetMediaDBInfo(KdmHandle writer, int32_t index, KdmBool* found,
                                        KdmGuid* database, int64_t* lastPicId);
KDMDBI_FUNC BackupWriter_CheckMediumRemoved(KdmHandle writer, KdmBool* removed);
KDMDBI_FUNC BackupWriter_AbortBackup(KdmHandle writer);

#ifdef __cplusplus
}
#endif

#endif /* KDMDBI_H */
