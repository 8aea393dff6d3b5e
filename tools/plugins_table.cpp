// plugins_table - prints a module status document as a table of modules.
//
//   plugins_table [FILE]     FILE defaults to plugins.xml
//
// Exit codes: 0 printed; 1 the file cannot be read or is not a module
// status document (the reason goes to standard error); 2 usage.
#include <iostream>
#include <string>

#include <tinyxml.h>

#include "configstore/xml_document.h"
#include "tools/module_table.h"

int main(int argc, char** argv) {
  if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
    std::cerr << "Usage: " << argv[0] << " [plugins.xml|core.xml]\n";
    return 2;
  }
  const std::string path = argc == 2 ? argv[1] : "plugins.xml";
  TiXmlDocument document;
  if (!configstore::LoadXmlFile(document, path) &&
      document.ErrorId() == TiXmlBase::TIXML_ERROR_OPENING_FILE) {
    std::cerr << path << ": cannot be read\n";
    return 1;
  }
  tools::ModuleTable table;
  std::string error;
  if (!tools::ReadModuleTable(document, &table, &error)) {
    std::cerr << path << ": " << error << "\n";
    return 1;
  }
  for (const std::string& line : tools::FormatModuleTable(table)) std::cout << line << "\n";
  return 0;
}
