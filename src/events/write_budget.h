#pragma once

#include <chrono>

namespace dvr {

// A Write that takes this long or longer holds up every later event on the core's only delivery
// thread: the core logs it ("core write took"), and the kit's harness and validator report it.
inline constexpr std::chrono::milliseconds CORE_WRITE_BUDGET{6};

} // namespace dvr
