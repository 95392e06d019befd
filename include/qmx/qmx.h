/*
 * qmx: relay and filter instant-messaging traffic (OSCAR, MSN, YMSG).
 *
 * The library never touches a socket. A host hands it a connected pair of
 * sockets as an "instance", lends it a thread through QMX_processInstance,
 * and serves every wait, receive, send, log line and policy decision through
 * the 17 callback slots of the instance's protocol.
 *
 * Calling order expected of a host:
 *   QMX_init();  QMX_setCallback(...) / QMX_setProtoCallback(...);
 *   per connection: QMX_newInstance -> QMX_processInstance -> QMX_deleteInstance;
 *   QMX_shutdown().
 *
 * Threads: the library starts none. Every function runs on the caller's
 * thread; all callbacks of one relay run on the thread inside
 * QMX_processInstance. Several instances may be relayed at once on different
 * threads, so a host's callbacks must be thread-safe. QMX_init, QMX_shutdown
 * and the callback-table setters must not run while relays run.
 *
 * This header is plain C and uses fixed-width types only, so that hosts built
 * by GCC, Clang, MinGW or MSVC agree on every record layout.
 */
#ifndef QMX_QMX_H
#define QMX_QMX_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(QMX_STATIC)
#define QMX_API
#elif defined(QMX_BUILDING)
#define QMX_API __declspec(dllexport)
#else
#define QMX_API __declspec(dllimport)
#endif
#else
#if defined(QMX_BUILDING)
#define QMX_API __attribute__((visibility("default")))
#else
#define QMX_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Protocols ---------------------------------------------------------- */

#define QMX_PROTO_OSCAR 0u /* AIM / ICQ */
#define QMX_PROTO_MSN 1u   /* MSN Messenger */
#define QMX_PROTO_YMSG 2u  /* Yahoo Messenger */
#define QMX_PROTO_COUNT 3u

/* ---- Callback slots ----------------------------------------------------- */

#define QMX_SLOT_COUNT 17u

#define QMX_CB_LOG 0u             /* host: log line                          */
#define QMX_CB_POLICY 1u          /* host: is this action allowed?           */
#define QMX_CB_EVENT 2u           /* host: inspect / rewrite an event        */
#define QMX_CB_RAW_DATA 3u        /* host: bytes without the protocol framing */
#define QMX_CB_WAIT 4u            /* host: wait for readiness                */
#define QMX_CB_SEND 5u            /* host: send bytes                        */
#define QMX_CB_RECV 6u            /* host: receive bytes                     */
#define QMX_CB_HALF_CLOSE 7u      /* host: stop sending on a socket          */
#define QMX_CB_INSTANCE_NEW 8u    /* host: an instance was created           */
#define QMX_CB_INSTANCE_DELETE 9u /* host: an instance is being deleted      */
#define QMX_CB_PROTO_NEW 10u      /* protocol: per-instance constructor      */
#define QMX_CB_PROTO_DELETE 11u   /* protocol: per-instance destructor       */
#define QMX_CB_PROTO_PROCESS 12u  /* protocol: relay loop                    */
#define QMX_CB_PROTO_INIT 13u     /* protocol: process-wide set-up           */
#define QMX_CB_PROTO_SHUTDOWN 14u /* protocol: process-wide tear-down        */
/* Slots 15 and 16 are stored but never called. */

/* ---- Events, policy actions, log levels --------------------------------- */

#define QMX_EVENT_LOGIN 0u    /* login request or sign-on of the local user */
#define QMX_EVENT_TEXT 1u     /* instant message                            */
#define QMX_EVENT_FILE 2u     /* file transfer request                      */
#define QMX_EVENT_DATACAST 3u /* buzz, plugin message, datacast             */
#define QMX_EVENT_OTHER 4u    /* internal only; never passed to the host    */

#define QMX_ACTION_LOGIN 0u        /* local: who logs in; remote: NULL      */
#define QMX_ACTION_IM_OUT 1u       /* local: sender;      remote: recipient */
#define QMX_ACTION_IM_IN 2u        /* local: recipient;   remote: sender    */
#define QMX_ACTION_FILE_SEND 3u    /* local: sender;      remote: receiver  */
#define QMX_ACTION_FILE_RECEIVE 4u /* local: receiver;    remote: sender    */
#define QMX_ACTION_DATACAST_OUT 5u /* local: sender;      remote: recipient */
#define QMX_ACTION_DATACAST_IN 6u  /* local: recipient;   remote: sender    */

#define QMX_LOG_BLOCKED 0u    /* an action refused by the policy  */
#define QMX_LOG_CONNECTION 1u /* a side of the connection closed  */
#define QMX_LOG_ERROR 2u      /* malformed input                  */
#define QMX_LOG_DEBUG 3u      /* tracing                          */

/* ---- Slot argument and result values ----------------------------------- */

/* QMX_CB_WAIT result bits (socket A is the client, B the server). */
#define QMX_READY_A 1
#define QMX_READY_B 2
#define QMX_URGENT_A 4 /* out-of-band data waiting */
#define QMX_URGENT_B 8

/* QMX_CB_SEND / QMX_CB_RECV flags. */
#define QMX_FLAG_NORMAL 0u
#define QMX_FLAG_OOB 1u

/* QMX_CB_RAW_DATA result bit: do not forward these bytes. */
#define QMX_RAW_DO_NOT_FORWARD 2

/* ---- Records ------------------------------------------------------------ */

/* A host socket handle: the library only hands it back to the host's slots.
 * 0 means "no socket" in the arguments of QMX_CB_WAIT. */
typedef uintptr_t QMX_Socket;

/* Replacement for the text of a QMX_EVENT_TEXT event. Owned by the event:
 * allocated by QMX_setReplacementText, freed by QMX_deleteReplacementText. */
typedef struct ReplacementText {
    uint8_t *data; /* private copy, not zero-terminated */
    uint64_t size;
} ReplacementText;

/* One filtered action, valid only during the QMX_CB_EVENT call that receives
 * it (the library builds it on its own stack). */
typedef struct FilterEvent {
    uint32_t type;                /* QMX_EVENT_* */
    uint32_t fromClient;          /* 1: client -> server, 0: server -> client */
    const char *from;             /* sender; for a login, the name logging in */
    const char *to;               /* recipient; NULL where there is none */
    uint32_t wideText;            /* 1: text is not in a single-byte character set */
    const char *text;             /* message text or file name; not zero-terminated */
    uint64_t textLength;          /* byte count of text */
    ReplacementText *replacement; /* set only through QMX_setReplacementText */
} FilterEvent;

/* ---- Slot function types ------------------------------------------------ */

/* Generic slot type; cast to and from the slot's own type below. */
typedef void (*QMX_Callback)(void);

/* 0: printf-style log line at a QMX_LOG_* level. */
typedef void (*QMX_LogFn)(uint32_t id, uint32_t level, const char *format, ...);
/* 1: 0 refuses the action, anything else allows it. remote may be NULL. */
typedef int32_t (*QMX_PolicyFn)(uint32_t id, const char *local, uint32_t action,
                                const char *remote);
/* 2: 0 refuses (where the protocol honours it); may attach a replacement. */
typedef int32_t (*QMX_EventFn)(uint32_t id, FilterEvent *event);
/* 3: bytes without the protocol's framing; result bit value 2: do not forward.
 * from/to are sockets (OSCAR, YMSG) or pointers to the MSN relay sides, whose
 * first member is the socket. */
typedef int32_t (*QMX_RawDataFn)(uint32_t id, uintptr_t from, uintptr_t to, const uint8_t *data,
                                 intptr_t count);
/* 4: <0 failure, 0 timeout, >0 bits: 1 A readable, 2 B readable,
 * 4 A out-of-band, 8 B out-of-band. A socket of 0 is not watched. */
typedef int32_t (*QMX_WaitFn)(QMX_Socket readA, QMX_Socket readB, QMX_Socket exceptA,
                              QMX_Socket exceptB, int32_t seconds, int32_t microseconds);
/* 5: bytes taken; <1 ends the sending of that buffer. flags 1: out-of-band. */
typedef int32_t (*QMX_SendFn)(QMX_Socket socket, const uint8_t *bytes, intptr_t count,
                              uint32_t flags);
/* 6: <0 failure, 0 peer closed, >0 bytes placed. flags 1: out-of-band. */
typedef int32_t (*QMX_RecvFn)(QMX_Socket socket, uint8_t *buffer, intptr_t size, uint32_t flags);
/* 7: stop sending on socket (how is always 1); the result is not read. */
typedef int32_t (*QMX_HalfCloseFn)(QMX_Socket socket, int32_t how);
/* 8: returns the instance's user data. */
typedef uintptr_t (*QMX_InstanceNewFn)(uint32_t id, QMX_Socket client, QMX_Socket server,
                                       uintptr_t userArg);
/* 9: the instance is about to be removed; its data are still readable. */
typedef void (*QMX_InstanceDeleteFn)(uint32_t id);
/* 10: returns the instance's protocol data. */
typedef void *(*QMX_ProtoNewFn)(uint32_t id, QMX_Socket client, QMX_Socket server,
                                uintptr_t userArg);
/* 11: frees the protocol data (found with QMX_getInstanceProtoData). */
typedef void (*QMX_ProtoDeleteFn)(uint32_t id);
/* 12: the relay loop; its result is returned by QMX_processInstance. */
typedef int32_t (*QMX_ProtoProcessFn)(uint32_t id);
/* 13, 14: process-wide set-up and tear-down; 0 is success. */
typedef int32_t (*QMX_ProtoInitFn)(void);
typedef int32_t (*QMX_ProtoShutdownFn)(void);

/* ---- Library ------------------------------------------------------------ */

/* Creates the registry and the three callback tables, installs the built-in
 * defaults of slots 0-7 (on every call) and runs each protocol's slot 13.
 * 0 on success, 1 on failure. */
QMX_API uint32_t QMX_init(void);

/* Deletes every live instance (slots 9, 11), runs each slot 14 and frees the
 * tables. 1 when any protocol's shutdown slot failed, else 0. */
QMX_API uint32_t QMX_shutdown(void);

/* ---- Callback tables ---------------------------------------------------- */

/* Stores f in one slot of all three tables. 1 when slot > 16 or the library
 * is not initialised. NULL empties the slot. */
QMX_API uint32_t QMX_setCallback(uint32_t slot, QMX_Callback f);

/* Stores f in one protocol's table. 1 when protocol > 2, slot > 16 or the
 * table does not exist. */
QMX_API uint32_t QMX_setProtoCallback(uint32_t protocol, uint32_t slot, QMX_Callback f);

/* Reads one slot; NULL when out of range, not initialised or empty. */
QMX_API QMX_Callback QMX_getProtoCallback(uint32_t protocol, uint32_t slot);

/* ---- Instances ---------------------------------------------------------- */

/* Creates an instance: calls slot 10 then slot 8 with the same arguments.
 * Returns the new id (never 0), or 0 on failure. */
QMX_API uint32_t QMX_newInstance(uint32_t protocol, QMX_Socket client, QMX_Socket server,
                                 uintptr_t userArg);

/* Calls slot 9 then slot 11 and forgets the instance. 0, or 2 for an id that
 * is not registered. */
QMX_API uint32_t QMX_deleteInstance(uint32_t id);

/* Runs the instance's relay on the calling thread until the connection ends.
 * 1 for an unknown id, 0 when slot 12 is empty, else slot 12's result. */
QMX_API int32_t QMX_processInstance(uint32_t id);

/* What slot 8 returned for the instance; 0 for an unknown id. */
QMX_API uintptr_t QMX_getInstanceUserData(uint32_t id);

/* What slot 10 returned for the instance; NULL for an unknown id. */
QMX_API void *QMX_getInstanceProtoData(uint32_t id);

/* ---- Replacement text (call from inside QMX_CB_EVENT) ------------------- */

/* Attaches a private copy of n bytes to the event, freeing any earlier
 * replacement. Nothing happens when event or bytes is NULL. The first
 * argument is not read. */
QMX_API void QMX_setReplacementText(uintptr_t unused, FilterEvent *event, const void *bytes,
                                    uint64_t n);

/* The replacement bytes, or NULL when the event has none. */
QMX_API const uint8_t *QMX_getReplacementText(const FilterEvent *event);

/* The replacement's byte count, or 0. */
QMX_API uint64_t QMX_getReplacementTextSize(const FilterEvent *event);

/* Frees the event's replacement, if any. */
QMX_API void QMX_deleteReplacementText(FilterEvent *event);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QMX_QMX_H */
