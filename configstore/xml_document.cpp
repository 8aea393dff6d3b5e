#include "configstore/xml_document.h"

#include <algorithm>
#include <cerrno>
#include <new>
#include <stdexcept>

#include "configstore/tinyxml_errors.h"

namespace configstore {
namespace {

void SetLibraryError(TiXmlDocument& document, int id) {
  document.SetError(id, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
}

// `buffer` holds the text, its NUL and the padding.
bool ParsePadded(TiXmlDocument& document, const std::string& buffer) {
  document.Clear();
  document.ClearError();
  const XmlNestingResult nesting = CheckXmlNesting(buffer.c_str());
  if (nesting.tooDeep) {
    SetXmlError(document, kXmlErrorNestedTooDeeply, kXmlNestedTooDeeplyText, true);
    SetXmlErrorLocation(document, CursorAt(buffer.c_str(), nesting.offset, document.TabSize()));
    return false;
  }
  document.Parse(buffer.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
  return !document.Error();
}

}  // namespace


bool ParseXml(TiXmlDocument& document, std::string_view text) {
  text = text.substr(0, text.find('\0'));
  std::string buffer;
  buffer.reserve(text.size() + 1 + kXmlTextPadding);
  buffer.append(text);
  buffer.append(1 + kXmlTextPadding, '\0');
  return ParsePadded(document, buffer);
}

bool LoadXmlStream(TiXmlDocument& document, std::FILE* file, platform::FileOps& files,
                   int* readError) {
  *readError = 0;
  document.Clear();
  document.ClearError();
  const long length = files.StreamSize(file);
  if (length <= 0) {
    SetLibraryError(document, TiXmlBase::TIXML_ERROR_DOCUMENT_EMPTY);
    return false;
  }
  const size_t size = static_cast<size_t>(length);
  std::string buffer;
  try {
    buffer.resize(size + 1 + kXmlTextPadding);
  } catch (const std::bad_alloc&) {
    *readError = ENOMEM;
  } catch (const std::length_error&) {
    *readError = ENOMEM;
  }
  if (*readError != 0 || files.ReadItem(file, buffer.data(), size, readError) != 1) {
    SetLibraryError(document, TiXmlBase::TIXML_ERROR_OPENING_FILE);
    return false;
  }
  // CR LF and lone CR become LF; the text ends at its first NUL byte.
  size_t in = 0;
  size_t out = 0;
  while (in < size && buffer[in] != 0) {
    if (buffer[in] == '\r') {
      buffer[out++] = '\n';
      ++in;
      if (in < size && buffer[in] == '\n') ++in;
    } else {
      buffer[out++] = buffer[in++];
    }
  }
  std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(out), buffer.end(), '\0');
  return ParsePadded(document, buffer);
}

bool LoadXmlFile(TiXmlDocument& document, const std::string& path, platform::FileOps& files) {
  document.SetValue(path);
  int error = 0;
  std::FILE* file = files.OpenStream(path, "rb", &error);
  if (file == nullptr) {
    document.Clear();
    document.ClearError();
    SetLibraryError(document, TiXmlBase::TIXML_ERROR_OPENING_FILE);
    return false;
  }
  int readError = 0;
  const bool loaded = LoadXmlStream(document, file, files, &readError);
  files.CloseStream(file);
  return loaded;
}

std::string PrintXmlCompact(const TiXmlNode& node) {
  TiXmlPrinter printer;
  printer.SetStreamPrinting();
  node.Accept(&printer);
  return printer.Str();
}

std::string PrintXmlIndented(const TiXmlNode& node) {
  TiXmlPrinter printer;
  node.Accept(&printer);
  return printer.Str();
}

}  // namespace configstore
