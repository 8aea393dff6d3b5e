#include "configstore/post_document.h"

#include <cstring>
#include <string>

#include <tinyxml.h>

#include "configstore/xml_document.h"

namespace configstore {

void PostDocument(const TiXmlNode& document, uint32_t eventType, CoreWriteFn write) {
  if (write == nullptr) return;
  std::string text = configstore::PrintXmlCompact(document);
  CoreEvent event;
  std::memset(&event, 0, sizeof event);
  event.structSize = sizeof(CoreEvent);
  event.version = 1;
  event.dataSize = static_cast<int32_t>(text.size());
  event.data = text.data();
  event.providerID = CORE_MODULE_ID;
  event.eventType = eventType;
  event.eventSubtype = kCoreDocumentSubtype;
  WriteResult result{sizeof(WriteResult), 1, 0};
  write(&event, &result);
}

}  // namespace configstore
