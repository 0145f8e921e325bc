// The module's constants table, made all or nothing.
#include "corvessa/image/sorvanel/constants.hpp"

namespace sorvanel {

Constants constants;

namespace {
using Table = Constants;
constexpr rt::ConstantRow<Table> rows[] = {SORVANEL_CONSTANTS(RT_CONSTANT_ROW)};
}  // namespace

bool constants_ready() { return rt::make_table(constants, rows); }

}  // namespace sorvanel
