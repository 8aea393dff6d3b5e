// Decimal text of a count with its digits grouped in threes by commas
// ("1,000,000"), the same on every machine whatever locales are installed.
//
// [any-thread]
#ifndef EVENTBUS_GROUPED_NUMBER_H_
#define EVENTBUS_GROUPED_NUMBER_H_

#include <cstdint>
#include <string>

namespace eventbus {

std::string GroupedDecimal(uint64_t value);

}  // namespace eventbus

#endif  // EVENTBUS_GROUPED_NUMBER_H_
