/*
 * A plugin for the document tests: it records the configuration documents
 * and events the core hands it, and can write configuration documents of its
 * own.
 *
 * Settings come from the library's own path + ".cfg", lines "key=value":
 *   systemID, logLevel   its identifier and default threshold at load;
 *   mask2                subscription mask of class 2 (the memory state),
 *                        non-zero also makes the plugin accept Write;
 *   trace                file to append one line per recorded call to;
 *   post                 (repeatable, up to 8) a document to write as a
 *                        configuration event from the run thread once the
 *                        core's first status document has arrived; an empty
 *                        value writes the event without payload.
 *
 * Trace lines, each starting with the library's file name:
 *   config size=N data=0|1 level=L text=...  an IOCTL code 2 call; L is the
 *                                            core's answer, at that moment,
 *                                            to a threshold query for the
 *                                            plugin's own module
 *   write type=0xT subtype=0xS provider=0xP text=...  a Write call
 *   posted code=C                            the result of one own document
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "pluginhost/plugin_abi.h"

enum { kMaxPosts = 8, kMaxText = 4096 };

static char g_name[256] = "?";
static char g_trace[1024];
static uint32_t g_systemId;
static int32_t g_logLevel;
static uint32_t g_mask2;
static char g_posts[kMaxPosts][kMaxText];
static int g_postCount;
static CoreWriteFn g_write;
static atomic_int g_configs;
static atomic_int g_closed;

static void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
static void Trace(const char* format, ...) {
  if (g_trace[0] == '\0') return;
  FILE* file = fopen(g_trace, "a");
  if (file == NULL) return;
  /* One buffered line, so that it reaches the file in one write. */
  static _Thread_local char line[2 * kMaxText];
  int used = snprintf(line, sizeof line, "%s ", g_name);
  va_list args;
  va_start(args, format);
  vsnprintf(line + used, sizeof line - (size_t)used, format, args);
  va_end(args);
  fprintf(file, "%s\n", line);
  fclose(file);
}

__attribute__((constructor)) static void ReadConfig(void) {
  Dl_info info;
  if (dladdr((void*)&ReadConfig, &info) == 0 || info.dli_fname == NULL) return;
  const char* slash = strrchr(info.dli_fname, '/');
  snprintf(g_name, sizeof g_name, "%s", slash != NULL ? slash + 1 : info.dli_fname);
  char path[1200];
  snprintf(path, sizeof path, "%s.cfg", info.dli_fname);
  FILE* file = fopen(path, "r");
  if (file == NULL) return;
  static char line[kMaxText + 64];
  while (fgets(line, sizeof line, file) != NULL) {
    char* value = strchr(line, '=');
    if (value == NULL) continue;
    *value++ = '\0';
    value[strcspn(value, "\r\n")] = '\0';
    if (strcmp(line, "trace") == 0) snprintf(g_trace, sizeof g_trace, "%s", value);
    if (strcmp(line, "systemID") == 0) g_systemId = (uint32_t)strtoul(value, NULL, 0);
    if (strcmp(line, "logLevel") == 0) g_logLevel = (int32_t)strtol(value, NULL, 0);
    if (strcmp(line, "mask2") == 0) g_mask2 = (uint32_t)strtoul(value, NULL, 0);
    if (strcmp(line, "post") == 0 && g_postCount < kMaxPosts)
      snprintf(g_posts[g_postCount++], kMaxText, "%s", value);
  }
  fclose(file);
}

/* Waits (at most 30 s, so a faulty core cannot hang a test) until `flag`
 * reaches `value`. */
static void WaitFor(atomic_int* flag, int value) {
  const struct timespec step = {0, 1000000};
  for (int i = 0; i < 30000 && atomic_load(flag) < value; ++i) nanosleep(&step, NULL);
}

static int32_t QueryOwnThreshold(void) {
  CoreEvent query;
  memset(&query, 0, sizeof query);
  query.structSize = sizeof query;
  query.version = 1;
  query.providerID = g_systemId;
  query.eventType = EVENT_LOG;
  query.eventSubtype = SUBTYPE_LOG_QUERY;
  WriteResult result = {sizeof result, 1, 0};
  g_write(&query, &result);
  return result.code;
}

static void PostDocuments(void) {
  for (int i = 0; i < g_postCount; ++i) {
    CoreEvent event;
    memset(&event, 0, sizeof event);
    event.structSize = sizeof event;
    event.version = 1;
    event.dataSize = (int32_t)strlen(g_posts[i]);
    event.data = event.dataSize != 0 ? g_posts[i] : NULL;
    event.providerID = g_systemId;
    event.eventType = EVENT_CONFIG_UPDATE;
    WriteResult result = {sizeof result, 1, 0};
    g_write(&event, &result);
    Trace("posted code=%d", result.code);
  }
}

PLUGIN_EXPORT int32_t Load(const LoadRequest* request, LoadReply* reply) {
  g_write = request->write;
  reply->systemID = g_systemId;
  reply->logLevel = g_logLevel;
  reply->subscriptionMasks[2] = g_mask2;
  reply->acceptsWrite = g_mask2 != 0;
  reply->runThread = g_postCount > 0;
  return 0;
}

PLUGIN_EXPORT int32_t Unload(const UnloadRequest* request, UnloadReply* reply) {
  (void)request;
  (void)reply;
  return 0;
}

PLUGIN_EXPORT int32_t Open(const OpenRequest* request, OpenReply* reply) {
  (void)request;
  (void)reply;
  return 0;
}

PLUGIN_EXPORT int32_t Close(const CloseRequest* request, CloseReply* reply) {
  (void)request;
  (void)reply;
  atomic_store(&g_closed, 1);
  return 0;
}

PLUGIN_EXPORT int32_t Read(const ReadRequest* request, ReadReply* reply) {
  (void)request;
  (void)reply;
  return 0;
}

PLUGIN_EXPORT int32_t Write(const DeliveredEvent* event, WriteReply* reply) {
  (void)reply;
  Trace("write type=0x%X subtype=0x%X provider=0x%08X text=%.*s", event->eventType,
        event->eventSubtype, event->providerID, event->data != NULL ? event->dataSize : 0,
        event->data != NULL ? (const char*)event->data : "");
  return 0;
}

PLUGIN_EXPORT int32_t Seek(const void* request, void* reply) {
  (void)request;
  (void)reply;
  return 0;
}

PLUGIN_EXPORT int32_t IOCTL(const IoctlRequest* request, IoctlReply* reply) {
  (void)reply;
  if (request->code == IOCTL_RUN) {
    /* Write only once the core is up and its first document is out. */
    WaitFor(&g_configs, 1);
    PostDocuments();
    WaitFor(&g_closed, 1);
  } else if (request->code == IOCTL_CONFIG_UPDATE) {
    const char* text = (const char*)request->buffer.data;
    Trace("config size=%u data=%d level=%d text=%.*s", request->buffer.length, text != NULL,
          QueryOwnThreshold(), text != NULL ? (int)request->buffer.length : 0,
          text != NULL ? text : "");
    atomic_fetch_add(&g_configs, 1);
  }
  return 0;
}
