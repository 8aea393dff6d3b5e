// InOrder: whether log or trace lines hold some texts in a given order; shared
// by the tests that compare what plugins and the core wrote.
#ifndef TESTS_LINES_IN_ORDER_H_
#define TESTS_LINES_IN_ORDER_H_

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

namespace testing_lines {

// True when every text occurs in `lines`, each in a later line than the one before.
inline bool InOrder(const std::vector<std::string>& lines, std::initializer_list<std::string> texts) {
  auto at = lines.begin();
  for (const std::string& text : texts) {
    at = std::find_if(at, lines.end(), [&](const std::string& l) { return l.find(text) != l.npos; });
    if (at++ == lines.end()) return false;
  }
  return true;
}

}  // namespace testing_lines

#endif  // TESTS_LINES_IN_ORDER_H_
