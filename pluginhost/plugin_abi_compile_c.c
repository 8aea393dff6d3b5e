/* Compiles the plugin header as strict C11 (-pedantic -Werror) and reports
 * the layout a C plugin sees, for comparison with the C++ view. */
#include "pluginhost/plugin_abi.h"

#define ABI_LAYOUT_LIST(X)                                                    \
  X(sizeof(CoreEvent)) X(sizeof(DeliveredEvent)) X(sizeof(WriteReply))       \
  X(sizeof(LoadRequest)) X(sizeof(LoadReply)) X(sizeof(OpenRequest))         \
  X(sizeof(IoctlRequest)) X(sizeof(IoctlReply)) X(sizeof(ReadRequest))       \
  X(offsetof(LoadReply, logLevel)) X(offsetof(DeliveredEvent, attributes))   \
  X(offsetof(CoreContextTable, logLine)) X(sizeof(PipePacketHeader))

size_t AbiLayoutFromC(size_t* out, size_t capacity);

size_t AbiLayoutFromC(size_t* out, size_t capacity) {
  const size_t values[] = {
#define ABI_VALUE(v) (v),
      ABI_LAYOUT_LIST(ABI_VALUE)
#undef ABI_VALUE
  };
  const size_t count = sizeof values / sizeof values[0];
  for (size_t i = 0; i < count && i < capacity; ++i) out[i] = values[i];
  return count;
}
