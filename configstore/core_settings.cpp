#include "configstore/core_settings.h"

#include <algorithm>
#include <cstring>

#include <tinyxml.h>

#include "configstore/atomic_save.h"
#include "configstore/core_config.h"
#include "configstore/product_document.h"
#include "configstore/xml_document.h"
#include "platform/platform.h"

namespace configstore {
namespace {

// The core's XML-document subtype (bit 4, with bit 24 set).
constexpr uint32_t kCoreDocumentSubtype = 0x01000000u | SUBTYPE_XML_DOCUMENT;

// An event from the core (provider 0x80000000) carrying `text` without its
// NUL.  The bus copies the text before Publish returns.
CoreEvent DocumentEvent(const std::string& text, uint32_t eventType) {
  CoreEvent event;
  std::memset(&event, 0, sizeof event);
  event.structSize = sizeof(CoreEvent);
  event.version = 1;
  event.dataSize = static_cast<int32_t>(text.size());
  event.data = const_cast<char*>(text.data());
  event.providerID = CORE_MODULE_ID;
  event.eventType = eventType;
  event.eventSubtype = kCoreDocumentSubtype;
  return event;
}

}  // namespace

CoreSettings::CoreSettings(std::string builtInVersion)
    : product_{kDefaultFamily, std::move(builtInVersion), true} {}

void CoreSettings::ReadStored() {
  ProductSettings stored{product_.family, product_.version, product_.throttlingSwitch};
  ReadProductAndSettings(&stored, thresholds_);
  product_ = {stored.family, stored.version, stored.throttlingSwitch};
}

bool CoreSettings::ApplyDelta(std::string_view text) { return ApplyCoreConfig(text, thresholds_); }

void CoreSettings::SaveAndPublish(const StatusSnapshot& snapshot, DocumentPublisher& bus) {
  TiXmlDocument document;
  BuildStatusDocument(snapshot, product_, thresholds_, &document);
  SaveFileAtomic(document, "core.xml");
  SaveFilePlain(document, "plugins.xml");
  AppendProduct(product_, &document);

  const std::string text = PrintXmlCompact(document);
  std::lock_guard<std::mutex> lock(publishMutex_);
  const void* block = bus.Publish(DocumentEvent(text, EVENT_CONFIG_UPDATE));
  if (block != nullptr) ownBlocks_.push_back(block);
}

void CoreSettings::PublishMemoryState(bool throttling, DocumentPublisher& bus) {
  TiXmlDocument document;
  document.InsertEndChild(TiXmlDeclaration("", "", ""));
  TiXmlElement root("Vexo");
  TiXmlElement memory("Memory");
  memory.SetAttribute("ID", static_cast<int>(static_cast<int32_t>(CORE_MODULE_ID)));
  memory.SetAttribute("Throttling", throttling ? 1 : 0);
  memory.SetAttribute("Time", static_cast<int>(static_cast<int32_t>(platform::WallNowSeconds())));
  root.InsertEndChild(memory);
  document.InsertEndChild(root);
  bus.Publish(DocumentEvent(PrintXmlCompact(document), EVENT_MEMORY_STATE));
}

bool CoreSettings::IsOwnDocument(const void* block) {
  std::lock_guard<std::mutex> lock(publishMutex_);
  // Each publication reaches the dispatcher once; the entry goes with it, so
  // a block address that malloc hands out again later is not mistaken.
  const auto it = std::find(ownBlocks_.begin(), ownBlocks_.end(), block);
  if (it == ownBlocks_.end()) return false;
  ownBlocks_.erase(it);
  return true;
}

}  // namespace configstore
