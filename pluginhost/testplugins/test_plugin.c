/*
 * A configurable plugin for the plugin host's tests.
 *
 * Behaviour comes from a text file beside the library: the library's own
 * path + ".cfg" (e.g. plugins/a.dll.cfg, which the scan ignores), read when
 * the library is mapped.  Lines "key=value", numbers in C notation:
 *   systemID, logLevel, mask5, runThread, acceptsRead,
 *   loadResult, loadError, openResult, closeResult, closeError,
 *   unloadResult, unloadError, trace (path of a file to append calls to).
 * Each call appends one line "<file name> <call> ..." to the trace file; a
 * destructor appends "<file name> unmapped" when the library is released.
 *
 * The run thread (IOCTL code 1) and the start-up Read block until Close, as
 * real plugins do, so that the host must join them after closing.
 *
 * Entry points left out by definitions: OMIT_LOAD, ONLY_LOAD, OMIT_READ,
 * OMIT_CLOSE.  NEEDS_DEPENDENCY calls a function of a separate library.
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

#ifdef NEEDS_DEPENDENCY
int test_dependency_value(void);
#endif

static char g_name[256] = "?";
static char g_trace[1024];
static long g_config[13];
static CoreWriteFn g_write;

enum {
  kSystemId, kLogLevel, kMask5, kRunThread, kAcceptsRead, kLoadResult, kLoadError,
  kOpenResult, kCloseResult, kCloseError, kUnloadResult, kUnloadError, kKeys
};
static const char* const kKeyNames[kKeys] = {
    "systemID", "logLevel", "mask5", "runThread", "acceptsRead", "loadResult", "loadError",
    "openResult", "closeResult", "closeError", "unloadResult", "unloadError"};

static void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
static void Trace(const char* format, ...) {
  char line[1024];
  int used = snprintf(line, sizeof line, "%s ", g_name);
  va_list args;
  va_start(args, format);
  vsnprintf(line + used, sizeof line - (size_t)used, format, args);
  va_end(args);
  if (g_trace[0] == '\0') return;
  FILE* file = fopen(g_trace, "a");
  if (file == NULL) return;
  fprintf(file, "%s\n", line);
  fclose(file);
}

/* Runs when the library is mapped, so that even a library without Load
 * knows its trace file. */
__attribute__((constructor)) static void ReadConfig(void) {
  Dl_info info;
  if (dladdr((void*)&ReadConfig, &info) == 0 || info.dli_fname == NULL) return;
  const char* slash = strrchr(info.dli_fname, '/');
  snprintf(g_name, sizeof g_name, "%s", slash != NULL ? slash + 1 : info.dli_fname);
  char path[1200];
  snprintf(path, sizeof path, "%s.cfg", info.dli_fname);
  FILE* file = fopen(path, "r");
  if (file == NULL) return;
  char line[1200];
  while (fgets(line, sizeof line, file) != NULL) {
    char* value = strchr(line, '=');
    if (value == NULL) continue;
    *value++ = '\0';
    value[strcspn(value, "\r\n")] = '\0';
    if (strcmp(line, "trace") == 0) snprintf(g_trace, sizeof g_trace, "%s", value);
    for (int i = 0; i < kKeys; ++i)
      if (strcmp(line, kKeyNames[i]) == 0) g_config[i] = strtol(value, NULL, 0);
  }
  fclose(file);
}

#if !defined(ONLY_LOAD)
static atomic_int g_closed;

/* Blocks until Close (at most 30 s, so a faulty host cannot hang a test). */
static void WaitForClose(void) {
  const struct timespec step = {0, 1000000};
  for (int i = 0; i < 30000 && !atomic_load(&g_closed); ++i) nanosleep(&step, NULL);
}
#endif

__attribute__((destructor)) static void Unmapped(void) { Trace("unmapped"); }

#if !defined(OMIT_LOAD)
PLUGIN_EXPORT int32_t Load(const LoadRequest* request, LoadReply* reply) {
  g_write = request->write;
  Trace("Load req=%u/%u reply=%u/%u context=%d", request->structSize, request->version,
        reply->structSize, reply->version, request->context != NULL);
  reply->systemID = (uint32_t)g_config[kSystemId];
  reply->subscriptionMasks[5] = (uint32_t)g_config[kMask5];
  reply->runThread = (uint8_t)g_config[kRunThread];
  reply->acceptsRead = (uint8_t)g_config[kAcceptsRead];
  reply->errorCode = (int32_t)g_config[kLoadError];
  reply->logLevel = (int32_t)g_config[kLogLevel];
#ifdef NEEDS_DEPENDENCY
  return test_dependency_value();
#else
  return (int32_t)g_config[kLoadResult];
#endif
}
#endif

#if !defined(ONLY_LOAD)
PLUGIN_EXPORT int32_t Unload(const UnloadRequest* request, UnloadReply* reply) {
  Trace("Unload req=%u/%u reply=%u/%u", request->structSize, request->version, reply->structSize,
        reply->version);
  reply->errorCode = (int32_t)g_config[kUnloadError];
  return (int32_t)g_config[kUnloadResult];
}

PLUGIN_EXPORT int32_t Open(const OpenRequest* request, OpenReply* reply) {
  Trace("Open mode=%u req=%u/%u reply=%u/%u", request->mode, request->structSize, request->version,
        reply->structSize, reply->version);
  return (int32_t)g_config[kOpenResult];
}

#if !defined(OMIT_CLOSE)
PLUGIN_EXPORT int32_t Close(const CloseRequest* request, CloseReply* reply) {
  Trace("Close req=%u/%u reply=%u/%u", request->structSize, request->version, reply->structSize,
        reply->version);
  atomic_store(&g_closed, 1);
  reply->errorCode = (int32_t)g_config[kCloseError];
  return (int32_t)g_config[kCloseResult];
}
#endif

#if !defined(OMIT_READ)
PLUGIN_EXPORT int32_t Read(const ReadRequest* request, ReadReply* reply) {
  Trace("Read begin req=%u/%u flag=%u size=%u data=%d id=%u reply=%u/%u", request->structSize,
        request->version, request->flag, request->dataSize, request->data != NULL,
        request->requestID, reply->structSize, reply->version);
  if (request->requestID == 0) WaitForClose();
  Trace("Read end");
  return 0;
}
#endif

PLUGIN_EXPORT int32_t Write(const DeliveredEvent* event, WriteReply* reply) {
  Trace("Write size=%d provider=0x%08X type=0x%X subtype=0x%X level=%d reply=%u/%u text=%.*s",
        event->dataSize, event->providerID, event->eventType, event->eventSubtype,
        event->attributes.logLevel, reply->structSize, reply->version, event->dataSize,
        (const char*)event->data);
  /* Whatever the plugin writes during the delivery must be swallowed. */
  if (g_write != NULL) {
    CoreEvent note;
    memset(&note, 0, sizeof note);
    note.structSize = sizeof note;
    note.version = 1;
    note.eventType = 1;
    WriteResult result = {sizeof result, 1, 99};
    g_write(&note, &result);
    Trace("Write callback code=%d", result.code);
  }
  return 0;
}

PLUGIN_EXPORT int32_t Seek(const void* request, void* reply) {
  (void)request;
  (void)reply;
  return 0;
}

PLUGIN_EXPORT int32_t IOCTL(const IoctlRequest* request, IoctlReply* reply) {
  Trace("IOCTL begin code=%u req=%u/%u buffer=%u/%u reply=%u/%u/%u nested=%u/%u", request->code,
        request->structSize, request->version, request->buffer.structSize, request->buffer.version,
        reply->structSize, reply->version, reply->code, reply->nested.structSize,
        reply->nested.version);
  if (request->code == IOCTL_RUN) WaitForClose();
  Trace("IOCTL end");
  return 0;
}
#endif
