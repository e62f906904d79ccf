/* Record layouts of kdmdbi.h, checked by the compiler. The 32-bit x86
 * figures are the recorder's own; the -m32 build compiles this file. */
#include <stddef.h>

#include "kdmdbi.h"

#define AT(type, field, offset) _Static_assert(offsetof(type, field) == (offset), #type "." #field)
#define SIZE(type, size) _Static_assert(sizeof(type) == (size), "sizeof " #type)

/* Independent of the pointer width. */
SIZE(KdmGuid, 16);
SIZE(KdmNativeDateTime, 8);
SIZE(KdmGenericDateTime, 32);
SIZE(KdmHeapStatistics, 16);
SIZE(KdmBookmark, 264);
SIZE(KdmBool, 1);
SIZE(KdmBool32, 4);
SIZE(KdmHandle, 4);

AT(TKdmDatabaseInfoStruct, name, 4);
AT(TKdmDatabaseInfoStruct, sizeMiB, 264);
AT(TKdmDatabaseInfoStruct, identifier, 268);
AT(TKdmDatabaseInfoStruct, identifier2, 284);
AT(TKdmDatabaseInfoStruct, value1, 300);
AT(TKdmDatabaseInfoStruct, value2, 308);
AT(TKdmDatabaseInfoStruct, kind, 316);
SIZE(TKdmDatabaseInfoStruct, 320);

AT(TKdmGetDateTimeInfo, dateTime1, 8);
AT(TKdmGetDateTimeInfo, dateTime2, 16);
AT(TKdmGetDateTimeInfo, value, 24);
AT(TKdmGetDateTimeInfo, values, 32);
AT(TKdmGetDateTimeInfo, bytes1, 48);
AT(TKdmGetDateTimeInfo, bytes2, 80);
AT(TKdmGetDateTimeInfo, text1, 112);
AT(TKdmGetDateTimeInfo, text2, 176);
SIZE(TKdmGetDateTimeInfo, 240);

AT(TKdmRingbufferInfoEntry, flags, 20);
AT(TKdmRingbufferInfoEntry, name, 23);
SIZE(TKdmRingbufferInfoEntry, 56);
AT(TKdmRingbufferInfoStruct, values, 4);
AT(TKdmRingbufferInfoStruct, count, 16);
AT(TKdmRingbufferInfoStruct, entries, 20);
SIZE(TKdmRingbufferInfoStruct, 3604);

AT(TKdmServerInfoStruct, text1, 4);
AT(TKdmServerInfoStruct, text2, 68);
AT(TKdmServerInfoStruct, text3, 132);
AT(TKdmServerInfoStruct, values1, 196);
AT(TKdmServerInfoStruct, text4, 208);
AT(TKdmServerInfoStruct, values2, 336);
AT(TKdmServerInfoStruct, text5, 352);
AT(TKdmServerInfoStruct, bytes, 480);
AT(TKdmServerInfoStruct, value3, 496);
AT(TKdmServerInfoStruct, value4, 500);
SIZE(TKdmServerInfoStruct, 504);

SIZE(KdmNotifyRecord1, 16);
AT(KdmNotifyRecord4, value2, 8);
AT(KdmNotifyRecord4, time1, 16);
AT(KdmNotifyRecord4, time2, 24);
SIZE(KdmNotifyRecord4, 32);
AT(KdmNotifyRecord5, value2, 8);
AT(KdmNotifyRecord5, value3, 16);
AT(KdmNotifyRecord5, value4, 20);
SIZE(KdmNotifyRecord5, 24);

AT(TKdmMediumState, mediumChanges, 4);
AT(TKdmMediumState, mediumId, 8);
AT(TKdmMediumState, clusterNumber, 24);
AT(TKdmMediumState, picturesOnMedium, 32);
AT(TKdmMediumState, msSinceMediumStart, 48);
AT(TKdmMediumState, picturesSinceInitialize, 56);
AT(TKdmMediumState, msSinceStoreStart, 72);
AT(TKdmMediumState, reserved4, 80);
SIZE(TKdmMediumState, 96);

AT(TNFServer_EventStartStop, values1, 4);
AT(TNFServer_EventStartStop, flags, 16);
AT(TNFServer_EventStartStop, value2, 20);
AT(TNFServer_EventStartStop, value3, 24);
AT(TNFServer_EventStartStop, value4, 32);
AT(TNFServer_EventStartStop, text, 40);
AT(TNFServer_EventStartStop, times, 168);
AT(TNFServer_EventStartStop, value5, 200);
AT(TNFServer_EventStartStop, value6, 204);
AT(TNFServer_EventStartStop, value7, 208);
AT(TNFServer_EventStartStop, itemCount, 212);
AT(TNFServer_EventStartStop, items, 216);

#if defined(__i386__)
/* Records with pointer members: the recorder's figures. */
SIZE(KdmBlobDesc, 12);
AT(KdmBlobDesc, data, 8);

AT(TKdmEventFieldDesc, next, 4);
AT(TKdmEventFieldDesc, name, 8);
AT(TKdmEventFieldDesc, present, 43);
AT(TKdmEventFieldDesc, type, 44);
AT(TKdmEventFieldDesc, value, 48);
AT(TKdmEventFieldDesc, value.asBlob.data, 52);
SIZE(TKdmEventFieldDesc, 56);

AT(TCmdStartKdmEvent, value1, 4);
AT(TCmdStartKdmEvent, eventTypeId, 8);
AT(TCmdStartKdmEvent, text, 16);
AT(TCmdStartKdmEvent, value2, 20);
AT(TCmdStartKdmEvent, value3, 24);
AT(TCmdStartKdmEvent, value4, 28);
AT(TCmdStartKdmEvent, value5, 32);
AT(TCmdStartKdmEvent, value6, 40);
AT(TCmdStartKdmEvent, flags, 44);
AT(TCmdStartKdmEvent, fields, 48);
SIZE(TCmdStartKdmEvent, 52);

AT(TCmdStopKdmEvent, value2, 8);
AT(TCmdStopKdmEvent, eventId, 16);
AT(TCmdStopKdmEvent, text, 24);
AT(TCmdStopKdmEvent, value3, 28);
AT(TCmdStopKdmEvent, flags, 32);
AT(TCmdStopKdmEvent, fields, 36);
SIZE(TCmdStopKdmEvent, 40);

AT(TCmdPeekKdmEvent, eventId, 8);
AT(TCmdPeekKdmEvent, text, 16);
AT(TCmdPeekKdmEvent, value2, 20);
SIZE(TCmdPeekKdmEvent, 24);

SIZE(TNFServer_EventStartStop, 220);

AT(TKdmEventNotificationDesc, next, 4);
AT(TKdmEventNotificationDesc, value1, 8);
AT(TKdmEventNotificationDesc, value2, 12);
AT(TKdmEventNotificationDesc, value3, 16);
AT(TKdmEventNotificationDesc, text, 24);
SIZE(TKdmEventNotificationDesc, 28);

SIZE(KdmUserData, 4);
SIZE(KdmField, 4);
#elif defined(__x86_64__)
/* Pointers widen in place; nothing else moves. */
SIZE(KdmBlobDesc, 16);
SIZE(TKdmEventFieldDesc, 64);
SIZE(TCmdStartKdmEvent, 60);
SIZE(TCmdStopKdmEvent, 48);
SIZE(TCmdPeekKdmEvent, 28);
SIZE(TNFServer_EventStartStop, 224);
SIZE(TKdmEventNotificationDesc, 36);
SIZE(KdmUserData, 8);
#endif

/* Something to link: the file's work is done by the compiler. */
int kdmdbi_layout_checked(void) { return 1; }
