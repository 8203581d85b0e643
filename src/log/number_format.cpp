#include "log/number_format.h"

#include <locale>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

namespace dvr {
namespace {

// Building a named locale reads locale files; do it once per name and keep the answer.
std::locale GroupingLocale(const char* localeName)
{
    static std::mutex mutex;
    static std::string cachedName;
    static std::optional<std::locale> cached;
    std::lock_guard lock(mutex);
    if (!cached || cachedName != localeName) {
        try {
            cached = std::locale(localeName);
        } catch (const std::runtime_error&) {
            cached = std::locale::classic(); // no such locale here: plain digits
        }
        cachedName = localeName;
    }
    return *cached; // a copy: the cached one may be replaced by another name
}

template <typename Number>
std::string Format(Number value, const char* localeName)
{
    std::ostringstream text;
    text.imbue(GroupingLocale(localeName));
    text << value;
    return text.str();
}

} // namespace

std::string FormatGroupedNumber(unsigned long value, const char* localeName)
{
    return Format(value, localeName);
}

std::string FormatGroupedNumber(long value, const char* localeName)
{
    return Format(value, localeName);
}

} // namespace dvr
