// Feeds arbitrary bytes to the XML wrapper.  Besides "no crash, no
// sanitizer report", it checks the wrapper against TinyXML itself: for inputs
// small enough that TinyXML's recursion cannot exhaust the stack, the text is
// also parsed directly (as the reference; nowhere else does the project call
// TinyXML's parser directly) and
//   - the wrapper refuses the text with error 17 exactly when TinyXML's tree
//     holds markup inside an element of level 100 (a node at depth 101 that
//     is not plain text), and
//   - otherwise both agree on success, error id and the printed document.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <tinyxml.h>

#include "configstore/xml_document.h"

namespace {

constexpr size_t kReferenceLimit = 8192;

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "xml_fuzz: %s\n", what);
    std::abort();
  }
}

// True when the tree holds a node below an element of the deepest allowed
// level other than the text of that element.
bool HasMarkupTooDeep(const TiXmlDocument& document) {
  std::vector<std::pair<const TiXmlNode*, int>> pending;
  for (const TiXmlNode* child = document.FirstChild(); child; child = child->NextSibling()) {
    pending.emplace_back(child, 1);
  }
  while (!pending.empty()) {
    const auto [node, depth] = pending.back();
    pending.pop_back();
    if (depth > configstore::kXmlMaxElementDepth) {
      const TiXmlText* text = node->ToText();
      if (text == nullptr || text->CDATA()) return true;
      continue;
    }
    for (const TiXmlNode* child = node->FirstChild(); child; child = child->NextSibling()) {
      pending.emplace_back(child, depth + 1);
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  TiXmlDocument document;
  const bool parsed = configstore::ParseXml(document, text);
  Check(parsed == !document.Error(), "result and error flag disagree");

  if (size <= kReferenceLimit) {
    std::string buffer(text.substr(0, text.find('\0')));
    buffer.append(configstore::kXmlTextPadding + 1, '\0');
    TiXmlDocument reference;
    reference.Parse(buffer.c_str());
    if (HasMarkupTooDeep(reference)) {
      Check(!parsed && document.ErrorId() == configstore::kXmlErrorNestedTooDeeply,
            "deep markup not refused");
    } else {
      Check(document.ErrorId() != configstore::kXmlErrorNestedTooDeeply, "refused wrongly");
      Check(parsed == !reference.Error(), "result differs from TinyXML");
      Check(document.ErrorId() == reference.ErrorId(), "error id differs from TinyXML");
      Check(configstore::PrintXmlCompact(document) == configstore::PrintXmlCompact(reference),
            "document differs from TinyXML's");
    }
  }

  if (parsed) {
    const std::string compact = configstore::PrintXmlCompact(document);
    configstore::PrintXmlIndented(document);
    TiXmlDocument again;
    configstore::ParseXml(again, compact);
  }
  return 0;
}
