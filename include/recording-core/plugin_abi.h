/*
 * plugin_abi.h - the binary contract between the recording server core and
 * its plugins.
 *
 * A plugin is a shared object (ELF, but named "NAME.dll") found in the
 * "plugins" or "protected-plugins" directory beside the core executable.  It
 * exports up to eight C functions named "Load", "Unload", "Open", "Close",
 * "Read", "Write", "Seek" and "IOCTL".  Only "Load" is required.  Every entry
 * point has the same shape:
 *
 *     int32_t Name(const Request* request, Reply* reply);
 *
 * The core owns both blocks, builds them on its stack, zero-fills the reply
 * and presets its header; the plugin may use them only during the call.  A
 * result of 0 means success.  A call counts as failed when the result or the
 * reply's errorCode is non-zero.
 *
 * Every block starts with a BlockHeader { structSize, version }.  All layouts
 * are little-endian with 64-bit pointers and fixed offsets; the
 * static assertions after each struct pin them down.
 *
 * Threads on which the core calls each entry point:
 *   Load, Open, Close, Unload  [main thread], one plugin at a time
 *   Write                      [dispatcher] (main thread), one event at a time
 *   IOCTL code 1 (run)         [plugin run thread], once, from load to close
 *   IOCTL code 2 (config)      [dispatcher]
 *   IOCTL code 4 (supervisor)  [io-thread]
 *   Read                       [plugin read thread] once at start, and
 *                              [request thread] once per delivered read request
 * The write callback handed over in LoadRequest.write may be called from any
 * thread at any time, including from inside any entry point.
 *
 * This header is plain C11 and valid C++; it includes only <stdint.h> and
 * <stddef.h>.
 */
#ifndef RECORDING_CORE_PLUGIN_ABI_H_
#define RECORDING_CORE_PLUGIN_ABI_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define PLUGIN_ABI_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#define PLUGIN_ABI_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* ------------------------------------------------------------------------ */
/* Module identifiers                                                        */
/* ------------------------------------------------------------------------ */

/* A ModuleId names a module.  Bits 16..27 are the module number, which
 * indexes the log thresholds and addresses supervisor messages; the other
 * bits are part of the identity only. */
typedef uint32_t ModuleId;

#define CORE_MODULE_ID ((ModuleId)0x80000000u) /* the core itself, number 0 */
#define MODULE_NUMBER(id) ((uint32_t)(((id) >> 16) & 0xFFFu))
#define LOG_THRESHOLD_SLOTS 255 /* module numbers 0..254 have a threshold */

/* ------------------------------------------------------------------------ */
/* Result codes the core produces itself                                    */
/* ------------------------------------------------------------------------ */

#define CORE_RC_NOT_EXPORTED (-100)     /* entry point missing, call skipped */
#define CORE_RC_DELIVERY_MISSING (-101) /* one-shot log delivery: required entry point missing */
/* A C++ exception left the entry point.  The core catches it at the call,
 * logs it once per plugin and entry point (level 75) and counts the call as
 * failed with this result; the run goes on.  Entry points must not throw. */
#define CORE_RC_PLUGIN_EXCEPTION (-102)

/* WriteResult.code values of the write callback. */
#define WRITE_ACCEPTED 0
#define WRITE_REFUSED 1             /* stopping; request-bound write not allowed; no supervisor pipe */
#define WRITE_NO_KEY_FRAME 3        /* dependent video frame without an admitted key frame */
#define WRITE_RUN_TOO_LONG 4        /* dependent video frame past the run limit */
#define WRITE_THROTTLED 5           /* video frame dropped: memory throttling */
#define WRITE_NO_MEMORY (-1)        /* the payload copy could not be allocated (or the core event
                                       queue is over its byte budget); a read request
                                       whose reader thread could not be started */

/* ------------------------------------------------------------------------ */
/* Event types and subtypes                                                 */
/* ------------------------------------------------------------------------ */

/* eventType: bits 0..7 are subscription classes 0..7, bit 10 is class 8.
 * Bit 8 marks a configuration update.  512, 4096 and 8192 are compared as
 * whole values. */
#define EVENT_CLASS(i) ((uint32_t)1u << (i)) /* classes 0..7 */
#define EVENT_CLASS8 0x400u
#define EVENT_VIDEO 0x1u            /* class 0; video frame when subtype bit 24 is set */
#define EVENT_MEMORY_STATE 0x4u     /* class 2: the core's memory state document */
#define EVENT_LOG 0x40u             /* class 6: log messages and threshold queries */
#define EVENT_CONFIG_UPDATE 0x100u  /* XML document to every plugin but its provider */
#define EVENT_BLOCK_RELEASE 512u    /* drop a hold on the block in data */
#define EVENT_CANCEL_REQUEST 4096u  /* with providerID 0: cancel read request requestID */
#define EVENT_TO_SUPERVISOR 8192u   /* data is a malloc'ed packet for the supervisor */

#define SUBTYPE_LOG_QUERY 0x00000001u   /* class 6: ask a module's current threshold */
#define SUBTYPE_LOG_MESSAGE 0x00000002u /* class 6: a log line; the core sends 0x01000002 */
#define SUBTYPE_XML_DOCUMENT 0x00000010u /* the core sends 0x01000010 */
#define SUBTYPE_VIDEO_FRAME 0x01000000u /* with class 0: a video frame */

/* ------------------------------------------------------------------------ */
/* Blocks                                                                   */
/* ------------------------------------------------------------------------ */

typedef struct BlockHeader {
  uint32_t structSize; /* 0: size of the whole block, header included */
  uint32_t version;    /* 4: layout version of the block */
} BlockHeader;
PLUGIN_ABI_STATIC_ASSERT(sizeof(BlockHeader) == 8, "BlockHeader size");

/* Attributes carried unchanged from a writer to every recipient (152 bytes).
 * The core reads only logLevel and keyFrame. */
typedef struct EventAttributes {
  uint8_t reserved0[8];  /* +0 */
  int32_t logLevel;      /* +8: log severity, 0 (verbose) .. 100 (severe) */
  uint8_t reserved1[6];  /* +12 */
  uint8_t keyFrame;      /* +18: video frame: exactly 1 marks a key frame */
  uint8_t reserved2[133]; /* +19 */
} EventAttributes;
PLUGIN_ABI_STATIC_ASSERT(sizeof(EventAttributes) == 152, "EventAttributes size");
PLUGIN_ABI_STATIC_ASSERT(offsetof(EventAttributes, logLevel) == 8, "logLevel");
PLUGIN_ABI_STATIC_ASSERT(offsetof(EventAttributes, keyFrame) == 18, "keyFrame");

/* CoreEvent: what a writer hands to the write callback (192 bytes). */
typedef struct CoreEvent {
  uint32_t structSize;   /* 0: 192 */
  uint32_t version;      /* 4: 1 */
  int32_t dataSize;      /* 8: payload bytes, 0 = none */
  uint32_t padding;      /* 12 */
  void* data;            /* 16: payload; stays the writer's (copied before the
                            callback returns) except for block releases and
                            to-supervisor events */
  uint32_t providerID;   /* 24: writer's ModuleId; 0 marks a read request */
  uint32_t requestID;    /* 28: read request this event belongs to, 0 = none */
  uint32_t eventType;    /* 32: class bits and special kinds */
  uint32_t eventSubtype; /* 36: matched against subscription masks */
  EventAttributes attributes; /* 40: logLevel at 48, keyFrame at 58 */
} CoreEvent;
PLUGIN_ABI_STATIC_ASSERT(sizeof(CoreEvent) == 192, "CoreEvent size");
PLUGIN_ABI_STATIC_ASSERT(offsetof(CoreEvent, dataSize) == 8, "CoreEvent.dataSize");
PLUGIN_ABI_STATIC_ASSERT(offsetof(CoreEvent, data) == 16, "CoreEvent.data");
PLUGIN_ABI_STATIC_ASSERT(offsetof(CoreEvent, providerID) == 24, "CoreEvent.providerID");
PLUGIN_ABI_STATIC_ASSERT(offsetof(CoreEvent, requestID) == 28, "CoreEvent.requestID");
PLUGIN_ABI_STATIC_ASSERT(offsetof(CoreEvent, eventType) == 32, "CoreEvent.eventType");
PLUGIN_ABI_STATIC_ASSERT(offsetof(CoreEvent, eventSubtype) == 36, "CoreEvent.eventSubtype");
PLUGIN_ABI_STATIC_ASSERT(offsetof(CoreEvent, attributes) == 40, "CoreEvent.attributes");
PLUGIN_ABI_STATIC_ASSERT(offsetof(CoreEvent, attributes.logLevel) == 48, "CoreEvent.logLevel");
PLUGIN_ABI_STATIC_ASSERT(offsetof(CoreEvent, attributes.keyFrame) == 58, "CoreEvent.keyFrame");

/* WriteResult: the outcome of the write callback (12 bytes). */
typedef struct WriteResult {
  uint32_t structSize; /* 0: 12 */
  uint32_t version;    /* 4: 1 */
  int32_t code;        /* 8: WRITE_* code, or the threshold for a log query */
} WriteResult;
PLUGIN_ABI_STATIC_ASSERT(sizeof(WriteResult) == 12, "WriteResult size");
PLUGIN_ABI_STATIC_ASSERT(offsetof(WriteResult, code) == 8, "WriteResult.code");

/* DeliveredEvent: what a plugin's Write receives (200 bytes): the CoreEvent
 * with eight bytes inserted after the version. */
typedef struct DeliveredEvent {
  uint32_t structSize;   /* 0: 200 */
  uint32_t version;      /* 4: 1 */
  uint32_t reserved0;    /* 8: 0 */
  uint8_t reserved1;     /* 12: 0 */
  uint8_t padding0[3];   /* 13 */
  int32_t dataSize;      /* 16 */
  uint32_t padding1;     /* 20 */
  void* data;            /* 24: the core's shared payload block */
  uint32_t providerID;   /* 32 */
  uint32_t requestID;    /* 36 */
  uint32_t eventType;    /* 40 */
  uint32_t eventSubtype; /* 44 */
  EventAttributes attributes; /* 48: logLevel at 56, keyFrame at 66 */
} DeliveredEvent;
PLUGIN_ABI_STATIC_ASSERT(sizeof(DeliveredEvent) == 200, "DeliveredEvent size");
PLUGIN_ABI_STATIC_ASSERT(offsetof(DeliveredEvent, dataSize) == 16, "DeliveredEvent.dataSize");
PLUGIN_ABI_STATIC_ASSERT(offsetof(DeliveredEvent, data) == 24, "DeliveredEvent.data");
PLUGIN_ABI_STATIC_ASSERT(offsetof(DeliveredEvent, providerID) == 32, "DeliveredEvent.providerID");
PLUGIN_ABI_STATIC_ASSERT(offsetof(DeliveredEvent, requestID) == 36, "DeliveredEvent.requestID");
PLUGIN_ABI_STATIC_ASSERT(offsetof(DeliveredEvent, eventType) == 40, "DeliveredEvent.eventType");
PLUGIN_ABI_STATIC_ASSERT(offsetof(DeliveredEvent, eventSubtype) == 44, "DeliveredEvent.eventSubtype");
PLUGIN_ABI_STATIC_ASSERT(offsetof(DeliveredEvent, attributes.logLevel) == 56, "DeliveredEvent.logLevel");
PLUGIN_ABI_STATIC_ASSERT(offsetof(DeliveredEvent, attributes.keyFrame) == 66, "DeliveredEvent.keyFrame");

/* WriteReply: a plugin's answer to Write (32 bytes). */
typedef struct WriteReply {
  uint32_t structSize;  /* 0: 32 */
  uint32_t version;     /* 4: 1 */
  uint8_t reserved[16]; /* 8 */
  int32_t errorCode;    /* 24 */
  uint32_t keepBlock;   /* 28: non-zero: the plugin keeps its hold on data and
                           releases it later with an EVENT_BLOCK_RELEASE */
} WriteReply;
PLUGIN_ABI_STATIC_ASSERT(sizeof(WriteReply) == 32, "WriteReply size");
PLUGIN_ABI_STATIC_ASSERT(offsetof(WriteReply, errorCode) == 24, "WriteReply.errorCode");
PLUGIN_ABI_STATIC_ASSERT(offsetof(WriteReply, keepBlock) == 28, "WriteReply.keepBlock");

/* The write callback: a plugin's only way onto the event bus.  Always
 * returns 0; the outcome is in result->code.  [any-thread] */
typedef int32_t (*CoreWriteFn)(const CoreEvent* event, WriteResult* result);

/* The core object as plugins see it (LoadRequest.context): a table of four
 * functions in fixed slot order, each taking the context first. */
typedef struct CoreContext CoreContext;
typedef struct CoreContextTable {
  /* slot 0: kept for the layout; the core object is owned by the core
   * process, and a plugin's call does nothing. */
  void (*destroy)(CoreContext* self);
  /* slot 1: writes the monotonic clock in nanoseconds into *slot and returns
   * slot.  [any-thread] */
  int64_t* (*now)(CoreContext* self, int64_t* slot);
  /* slot 2: publishes the core's memory state document.  [any-thread] */
  void (*publishMemoryState)(CoreContext* self);
  /* slot 3: writes one line straight to the console log.  [any-thread] */
  void (*logLine)(CoreContext* self, ModuleId module, int32_t level, const char* text);
} CoreContextTable;
struct CoreContext {
  const CoreContextTable* table; /* at the object's address */
};
PLUGIN_ABI_STATIC_ASSERT(offsetof(CoreContextTable, now) == 8, "slot 1");
PLUGIN_ABI_STATIC_ASSERT(offsetof(CoreContextTable, publishMemoryState) == 16, "slot 2");
PLUGIN_ABI_STATIC_ASSERT(offsetof(CoreContextTable, logLine) == 24, "slot 3");

/* Load ------------------------------------------------------------------- */

typedef struct LoadRequest {
  uint32_t structSize;  /* 0: 24 */
  uint32_t version;     /* 4: 3 */
  CoreContext* context; /* 8: the core object */
  CoreWriteFn write;    /* 16: the write callback */
} LoadRequest;
PLUGIN_ABI_STATIC_ASSERT(sizeof(LoadRequest) == 24, "LoadRequest size");
PLUGIN_ABI_STATIC_ASSERT(offsetof(LoadRequest, context) == 8, "LoadRequest.context");
PLUGIN_ABI_STATIC_ASSERT(offsetof(LoadRequest, write) == 16, "LoadRequest.write");

#define SUBSCRIPTION_MASKS 9

/* LoadReply: the plugin's description of itself (68 bytes).  The core keeps
 * a copy for the plugin's whole life. */
typedef struct LoadReply {
  uint32_t structSize;   /* 0: preset 68 */
  uint32_t version;      /* 4: preset 2 */
  uint32_t systemID;     /* 8: the plugin's ModuleId */
  uint32_t subscriptionMasks[SUBSCRIPTION_MASKS]; /* 12: mask i for class i,
                            mask 8 for class 8 (eventType bit 10); mask 5 also
                            orders the close pass, largest first */
  uint32_t reserved48;   /* 48: not read by the core */
  uint8_t runThread;     /* 52: give the plugin a thread calling IOCTL code 1 */
  uint8_t reserved53;    /* 53: not read by the core */
  uint8_t acceptsRead;   /* 54: start-up Read thread and read requests */
  uint8_t acceptsWrite;  /* 55: matching events through Write */
  uint32_t reserved56;   /* 56: not read by the core */
  int32_t errorCode;     /* 60: non-zero rejects the plugin */
  int32_t logLevel;      /* 64: default threshold: 0 none, 1..100, -1 unset */
} LoadReply;
PLUGIN_ABI_STATIC_ASSERT(sizeof(LoadReply) == 68, "LoadReply size");
PLUGIN_ABI_STATIC_ASSERT(offsetof(LoadReply, systemID) == 8, "LoadReply.systemID");
PLUGIN_ABI_STATIC_ASSERT(offsetof(LoadReply, subscriptionMasks) == 12, "LoadReply.masks");
PLUGIN_ABI_STATIC_ASSERT(offsetof(LoadReply, runThread) == 52, "LoadReply.runThread");
PLUGIN_ABI_STATIC_ASSERT(offsetof(LoadReply, acceptsRead) == 54, "LoadReply.acceptsRead");
PLUGIN_ABI_STATIC_ASSERT(offsetof(LoadReply, acceptsWrite) == 55, "LoadReply.acceptsWrite");
PLUGIN_ABI_STATIC_ASSERT(offsetof(LoadReply, errorCode) == 60, "LoadReply.errorCode");
PLUGIN_ABI_STATIC_ASSERT(offsetof(LoadReply, logLevel) == 64, "LoadReply.logLevel");

/* Open / Close / Unload -------------------------------------------------- */

#define OPEN_MODE_NORMAL 0
#define OPEN_MODE_LOG_DELIVERY 1 /* one-shot delivery of a configuration problem */

typedef struct OpenRequest {
  uint32_t structSize; /* 0: 24 */
  uint32_t version;    /* 4: 1 */
  uint64_t reserved0;  /* 8: 0 */
  uint32_t reserved1;  /* 16: 0 */
  uint32_t mode;       /* 20: OPEN_MODE_* */
} OpenRequest;
PLUGIN_ABI_STATIC_ASSERT(sizeof(OpenRequest) == 24, "OpenRequest size");
PLUGIN_ABI_STATIC_ASSERT(offsetof(OpenRequest, mode) == 20, "OpenRequest.mode");

typedef struct OpenReply {
  uint32_t structSize;  /* 0: 16 */
  uint32_t version;     /* 4: 1 */
  uint32_t reserved[2]; /* 8: free for plugins; the core reads nothing */
} OpenReply;
PLUGIN_ABI_STATIC_ASSERT(sizeof(OpenReply) == 16, "OpenReply size");

typedef struct CloseRequest {
  uint32_t structSize; /* 0: 12 */
  uint32_t version;    /* 4: 1 */
  uint32_t reserved;   /* 8: 0 */
} CloseRequest;
PLUGIN_ABI_STATIC_ASSERT(sizeof(CloseRequest) == 12, "CloseRequest size");

typedef struct CloseReply {
  uint32_t structSize; /* 0: 12 */
  uint32_t version;    /* 4: 1 */
  int32_t errorCode;   /* 8 */
} CloseReply;
PLUGIN_ABI_STATIC_ASSERT(sizeof(CloseReply) == 12, "CloseReply size");

typedef struct UnloadRequest {
  uint32_t structSize; /* 0: 8 */
  uint32_t version;    /* 4: 1 */
} UnloadRequest;
PLUGIN_ABI_STATIC_ASSERT(sizeof(UnloadRequest) == 8, "UnloadRequest size");

typedef struct UnloadReply {
  uint32_t structSize; /* 0: 12 */
  uint32_t version;    /* 4: 1 */
  int32_t errorCode;   /* 8 */
} UnloadReply;
PLUGIN_ABI_STATIC_ASSERT(sizeof(UnloadReply) == 12, "UnloadReply size");

/* Read ------------------------------------------------------------------- */

typedef struct ReadRequest {
  uint32_t structSize; /* 0: 40 */
  uint32_t version;    /* 4: 1 */
  uint32_t reserved0;  /* 8: 0 */
  uint8_t flag;        /* 12: 1 */
  uint8_t reserved1[3]; /* 13: 0 */
  uint32_t dataSize;   /* 16: request payload bytes; 0 in the start-up call */
  uint32_t reserved2;  /* 20: 0 */
  const void* data;    /* 24: copy of the request payload, valid until Read
                          returns; null in the start-up call */
  uint32_t requestID;  /* 32: the request; 0 in the start-up call */
  uint32_t reserved3;  /* 36: 0 */
} ReadRequest;
PLUGIN_ABI_STATIC_ASSERT(sizeof(ReadRequest) == 40, "ReadRequest size");
PLUGIN_ABI_STATIC_ASSERT(offsetof(ReadRequest, flag) == 12, "ReadRequest.flag");
PLUGIN_ABI_STATIC_ASSERT(offsetof(ReadRequest, dataSize) == 16, "ReadRequest.dataSize");
PLUGIN_ABI_STATIC_ASSERT(offsetof(ReadRequest, data) == 24, "ReadRequest.data");
PLUGIN_ABI_STATIC_ASSERT(offsetof(ReadRequest, requestID) == 32, "ReadRequest.requestID");

typedef struct ReadReply {
  uint32_t structSize;  /* 0: 32 */
  uint32_t version;     /* 4: 1 */
  uint32_t reserved[6]; /* 8: the core reads nothing back */
} ReadReply;
PLUGIN_ABI_STATIC_ASSERT(sizeof(ReadReply) == 32, "ReadReply size");

/* IOCTL ------------------------------------------------------------------ */

#define IOCTL_RUN 1           /* the plugin's own run thread, no data */
#define IOCTL_CONFIG_UPDATE 2 /* data: text of a configuration document */
#define IOCTL_SUPERVISOR 4    /* data: a whole supervisor packet, header included */

typedef struct BufferDescriptor {
  uint32_t structSize; /* 0: 24 (8 for IOCTL_RUN, rest zero) */
  uint32_t version;    /* 4: 1 */
  uint32_t length;     /* 8: bytes of data */
  uint32_t reserved;   /* 12: 0 */
  void* data;          /* 16 */
} BufferDescriptor;
PLUGIN_ABI_STATIC_ASSERT(sizeof(BufferDescriptor) == 24, "BufferDescriptor size");
PLUGIN_ABI_STATIC_ASSERT(offsetof(BufferDescriptor, data) == 16, "BufferDescriptor.data");

typedef struct IoctlRequest {
  uint32_t structSize;     /* 0: 40 */
  uint32_t version;        /* 4: 1 */
  uint32_t code;           /* 8: IOCTL_* */
  uint32_t reserved;       /* 12: 0 */
  BufferDescriptor buffer; /* 16 */
} IoctlRequest;
PLUGIN_ABI_STATIC_ASSERT(sizeof(IoctlRequest) == 40, "IoctlRequest size");
PLUGIN_ABI_STATIC_ASSERT(offsetof(IoctlRequest, code) == 8, "IoctlRequest.code");
PLUGIN_ABI_STATIC_ASSERT(offsetof(IoctlRequest, buffer) == 16, "IoctlRequest.buffer");

typedef struct IoctlReply {
  uint32_t structSize; /* 0: 28 */
  uint32_t version;    /* 4: 1 */
  uint32_t code;       /* 8: preset to the request's code */
  int32_t errorCode;   /* 12 */
  uint32_t keepBlock;  /* 16: config update: non-zero keeps the hold on data */
  BlockHeader nested;  /* 20: preset { 8, 1 } */
} IoctlReply;
PLUGIN_ABI_STATIC_ASSERT(sizeof(IoctlReply) == 28, "IoctlReply size");
PLUGIN_ABI_STATIC_ASSERT(offsetof(IoctlReply, errorCode) == 12, "IoctlReply.errorCode");
PLUGIN_ABI_STATIC_ASSERT(offsetof(IoctlReply, keepBlock) == 16, "IoctlReply.keepBlock");
PLUGIN_ABI_STATIC_ASSERT(offsetof(IoctlReply, nested) == 20, "IoctlReply.nested");

/* Supervisor packets ----------------------------------------------------- */

/* Header of every packet on the supervisor link, little-endian.  A plugin
 * sends a packet to the supervisor as an EVENT_TO_SUPERVISOR event whose
 * malloc'ed data is the complete packet; the core frees it after writing. */
typedef struct PipePacketHeader {
  uint32_t length; /* 0: whole packet, header included, at most 65536 */
  uint32_t target; /* 4: bits 20..31 carry the addressed module number */
  uint32_t kind;   /* 8: 7 supervisor information, 8 stop, else plugin message */
  uint32_t extra;  /* 12: not interpreted by the core */
} PipePacketHeader;
PLUGIN_ABI_STATIC_ASSERT(sizeof(PipePacketHeader) == 16, "PipePacketHeader size");

#define PIPE_KIND_INFO 7
#define PIPE_KIND_STOP 8
#define PIPE_MAX_PACKET 65536u

/* Entry points ----------------------------------------------------------- */

/* Put PLUGIN_EXPORT before each entry point a plugin defines, e.g.
 *   PLUGIN_EXPORT int32_t Load(const LoadRequest* request, LoadReply* reply);
 * Build plugins with -fvisibility=hidden so only the entry points export. */
#ifdef __cplusplus
#define PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#else
#define PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

typedef int32_t (*PluginLoadFn)(const LoadRequest* request, LoadReply* reply);
typedef int32_t (*PluginUnloadFn)(const UnloadRequest* request, UnloadReply* reply);
typedef int32_t (*PluginOpenFn)(const OpenRequest* request, OpenReply* reply);
typedef int32_t (*PluginCloseFn)(const CloseRequest* request, CloseReply* reply);
typedef int32_t (*PluginReadFn)(const ReadRequest* request, ReadReply* reply);
typedef int32_t (*PluginWriteFn)(const DeliveredEvent* event, WriteReply* reply);
typedef int32_t (*PluginSeekFn)(const void* request, void* reply); /* bound, never called */
typedef int32_t (*PluginIoctlFn)(const IoctlRequest* request, IoctlReply* reply);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* RECORDING_CORE_PLUGIN_ABI_H_ */
