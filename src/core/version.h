#pragma once

namespace dvr {

// The compiled-in core version: printed by -h and shown in the start and stop lines unless
// product.xml names another.
constexpr const char* coreVersion = "22.06.4.0";

} // namespace dvr
