// hello.dll: a plugin with nothing to do, written in C++.  It only
// describes itself; the standard library code it uses must stay inside it.
#include <recording-core/plugin_abi.h>

#include <string>

namespace {
std::string Greeting() { return "hello"; }
}  // namespace

PLUGIN_EXPORT int32_t Load(const LoadRequest* /*request*/, LoadReply* reply) {
  reply->systemID = 0x000A0000u;  // module number 10
  reply->logLevel = Greeting().size() == 5 ? 25 : 0;
  return 0;
}
