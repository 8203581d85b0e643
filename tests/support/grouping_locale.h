#pragma once

#include <locale>
#include <stdexcept>

namespace dvr::test {

// Whether the "en_US.UTF-8" locale, which groups the digits of logged counts, is installed.
inline bool GroupingLocaleExists()
{
    try {
        std::locale("en_US.UTF-8");
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}

} // namespace dvr::test
