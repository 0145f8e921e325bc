// The shared constants table, made all or nothing.
#include "corvessa/image/common/constants.hpp"

namespace common {

Constants constants;

namespace {
using Table = Constants;
constexpr rt::ConstantRow<Table> rows[] = {COMMON_CONSTANTS(RT_CONSTANT_ROW)};
}  // namespace

bool constants_ready() { return rt::make_table(constants, rows); }

}  // namespace common
