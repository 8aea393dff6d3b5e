#include "eventbus/grouped_number.h"

#include <locale>
#include <sstream>

namespace eventbus {
namespace {

// Groups by three with ",": built in rather than taken from a named locale,
// which may not be installed and whose name differs between systems.
class GroupedNumpunct : public std::numpunct<char> {
 protected:
  char do_thousands_sep() const override { return ','; }
  std::string do_grouping() const override { return "\3"; }
};

}  // namespace

std::string GroupedDecimal(uint64_t value) {
  static const std::locale grouped(std::locale::classic(), new GroupedNumpunct);
  std::ostringstream out;
  out.imbue(grouped);
  out << value;
  return out.str();
}

}  // namespace eventbus
