// plugins_table - prints a module status document as a table of modules.
//
//   plugins_table [FILE]     FILE defaults to plugins.xml
//
// Exit codes: 0 printed; 1 the file cannot be read or is not a module
// status document (the reason goes to standard error); 2 usage.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "tools/module_table.h"

int main(int argc, char** argv) {
  if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
    std::cerr << "Usage: " << argv[0] << " [plugins.xml|core.xml]\n";
    return 2;
  }
  const std::string path = argc == 2 ? argv[1] : "plugins.xml";
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::cerr << path << ": cannot be read\n";
    return 1;
  }
  std::ostringstream text;
  text << in.rdbuf();

  tools::ModuleTable table;
  std::string error;
  if (!tools::ParseModuleTable(text.str(), &table, &error)) {
    std::cerr << path << ": " << error << "\n";
    return 1;
  }
  for (const std::string& line : tools::FormatModuleTable(table)) std::cout << line << "\n";
  return 0;
}
