#include "request_rules.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>

#include <charconv>
#include <cstdio>
#include <ctime>
#include <vector>

namespace webview {

namespace {

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Decodes percent escapes (and '+' as a space in a query); nothing for a bad escape or a control byte.
std::optional<std::string> Decode(std::string_view text, bool query)
{
    std::string decoded;
    decoded.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size())
                return std::nullopt;
            const int high = HexValue(text[i + 1]);
            const int low = HexValue(text[i + 2]);
            if (high < 0 || low < 0)
                return std::nullopt;
            c = static_cast<char>(high * 16 + low);
            i += 2;
        } else if (c == '+' && query) {
            c = ' ';
        }
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return std::nullopt;
        decoded += c;
    }
    return decoded;
}

// A path component that names one entry inside its folder.
bool IsPlainName(std::string_view name)
{
    if (name.empty() || name.size() > 255 || name == "." || name == "..")
        return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
              c == '.'))
            return false;
    return true;
}

bool IsDayName(std::string_view name)
{
    if (name.size() != 10 || name[4] != '-' || name[7] != '-')
        return false;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (name[i] < '0' || name[i] > '9')
            return false;
    return true;
}

bool IsMp4Name(std::string_view name)
{
    return IsPlainName(name) && name.size() > 4 && name.substr(name.size() - 4) == ".mp4";
}

template <typename Number>
bool ReadWhole(std::string_view text, Number& value)
{
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    return !text.empty() && error == std::errc() && stop == end;
}

std::optional<std::map<std::string, std::string>> ParseQuery(std::string_view text)
{
    std::map<std::string, std::string> query;
    while (!text.empty()) {
        const size_t amp = text.find('&');
        const std::string_view pair = text.substr(0, amp);
        text = amp == std::string_view::npos ? std::string_view() : text.substr(amp + 1);
        if (pair.empty())
            continue;
        const size_t equals = pair.find('=');
        auto name = Decode(pair.substr(0, equals), true);
        auto value = Decode(equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1), true);
        if (!name || !value)
            return std::nullopt;
        query.emplace(std::move(*name), std::move(*value));
    }
    return query;
}

} // namespace

Route ParseRoute(std::string_view target)
{
    Route route;
    if (target.empty() || target[0] != '/')
        return route;
    const size_t mark = target.find('?');
    const std::string_view rawPath = target.substr(0, mark);
    if (mark != std::string_view::npos) {
        auto query = ParseQuery(target.substr(mark + 1));
        if (!query)
            return route;
        route.query = std::move(*query);
    }
    // Split first, decode each segment after: an escaped '/' stays inside its segment and is refused.
    std::vector<std::string> segments;
    for (size_t from = 1; from <= rawPath.size();) {
        const size_t slash = std::min(rawPath.find('/', from), rawPath.size());
        auto segment = Decode(rawPath.substr(from, slash - from), false);
        if (!segment)
            return route;
        segments.push_back(std::move(*segment));
        from = slash + 1;
    }
    for (const std::string& segment : segments)
        if (segment.empty() || segment == "." || segment == ".." || segment.find('/') != std::string::npos)
            return route;
    auto is = [&](std::initializer_list<const char*> names) {
        if (segments.size() != names.size())
            return false;
        size_t i = 0;
        for (const char* name : names)
            if (segments[i++] != name)
                return false;
        return true;
    };
    if (is({"api", "login"}))
        route.kind = RouteKind::Login;
    else if (is({"api", "cameras"}))
        route.kind = RouteKind::Cameras;
    else if (is({"api", "status"}))
        route.kind = RouteKind::Status;
    else if (is({"api", "recordings"}))
        route.kind = RouteKind::Recordings;
    else if (is({"api", "export"}))
        route.kind = RouteKind::Export;

    else if (segments.size() == 2 && segments[0] == "live" && IsPlainName(segments[1])) {
        route.kind = RouteKind::Live;
        route.camera = segments[1];
    } else if (segments.size() == 4 && segments[0] == "recordings" && IsPlainName(segments[1]) &&
               IsDayName(segments[2]) && IsMp4Name(segments[3])) {
        route.kind = RouteKind::RecordingFile;
        route.camera = segments[1];
        route.day = segments[2];
        route.file = segments[3];
    }
    return route;
}

std::optional<int64_t> QueryTime(const Route& route, const std::string& name)
{
    auto found = route.query.find(name);
    int64_t value = 0;
    if (found == route.query.end() || !ReadWhole(std::string_view(found->second), value))
        return std::nullopt;
    return value;
}

ByteRange ParseRange(std::optional<std::string_view> header, uint64_t size)
{
    ByteRange whole{RangeKind::Whole, 0, size};
    constexpr std::string_view UNIT = "bytes=";
    if (!header || header->substr(0, UNIT.size()) != UNIT)
        return whole;
    const std::string_view spec = header->substr(UNIT.size());
    const size_t dash = spec.find('-');
    if (dash == std::string_view::npos || spec.find(',') != std::string_view::npos)
        return whole;
    const std::string_view firstText = spec.substr(0, dash);
    const std::string_view lastText = spec.substr(dash + 1);
    uint64_t first = 0;
    uint64_t last = 0;
    if (firstText.empty()) { // the last n bytes
        if (!ReadWhole(lastText, last))
            return whole;
        if (last == 0 || size == 0)
            return {RangeKind::Unsatisfiable, 0, 0};
        const uint64_t length = std::min(last, size);
        return {RangeKind::Partial, size - length, length};
    }
    if (!ReadWhole(firstText, first))
        return whole;
    if (lastText.empty())
        last = UINT64_MAX;
    else if (!ReadWhole(lastText, last) || last < first)
        return whole;
    if (first >= size)
        return {RangeKind::Unsatisfiable, 0, 0};
    last = std::min(last, size - 1);
    return {RangeKind::Partial, first, last - first + 1};
}

std::string EntityTag(uint64_t inode, uint64_t size, int64_t modifiedNs)
{
    char text[64];
    std::snprintf(text, sizeof text, "\"%llx-%llx-%llx\"", static_cast<unsigned long long>(inode),
                  static_cast<unsigned long long>(size), static_cast<unsigned long long>(modifiedNs));
    return text;
}

std::string HttpDate(int64_t seconds)
{
    // The names are HTTP's, whatever locale the process runs in (strftime's %a and %b follow it).
    static const char* const DAYS[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const time_t when = static_cast<time_t>(seconds);
    tm utc{};
    if (gmtime_r(&when, &utc) == nullptr)
        return "Thu, 01 Jan 1970 00:00:00 GMT";
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", DAYS[utc.tm_wday], utc.tm_mday,
                  MONTHS[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

namespace {

bool SameText(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

} // namespace

bool IsLoopbackHost(std::string_view host)
{
    // The name without its port: "[::1]:8080", "127.0.0.1:8080", "localhost".
    std::string_view name = host;
    if (name.starts_with("[")) {
        const size_t close = name.find(']');
        if (close == std::string_view::npos)
            return false;
        const std::string_view rest = name.substr(close + 1);
        if (!rest.empty() && !rest.starts_with(":"))
            return false;
        return name.substr(1, close - 1) == "::1";
    }
    name = name.substr(0, name.find(':'));
    if (SameText(name, "localhost"))
        return true;
    in_addr address{};
    return inet_pton(AF_INET, std::string(name).c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

bool SameOrigin(std::optional<std::string_view> origin, std::string_view host)
{
    if (!origin)
        return true;
    std::string_view rest = *origin;
    for (std::string_view scheme : {"http://", "https://"})
        if (rest.size() > scheme.size() && SameText(rest.substr(0, scheme.size()), scheme))
            return SameText(rest.substr(scheme.size()), host);
    return false; // "null", or another scheme's
}

bool RangeApplies(std::optional<std::string_view> ifRange, std::string_view entityTag, std::string_view lastModified)
{
    if (!ifRange)
        return true;
    // A strong comparison: a weak tag never matches, nor does anything but the exact validator.
    return *ifRange == entityTag || *ifRange == lastModified;
}

bool NoneMatchHolds(std::string_view ifNoneMatch, std::string_view entityTag)
{
    // A list of tags, weak or strong, compared weakly; "*" matches any current file.
    while (!ifNoneMatch.empty()) {
        const size_t comma = ifNoneMatch.find(',');
        std::string_view tag = ifNoneMatch.substr(0, comma);
        ifNoneMatch = comma == std::string_view::npos ? std::string_view() : ifNoneMatch.substr(comma + 1);
        while (!tag.empty() && (tag.front() == ' ' || tag.front() == '\t'))
            tag.remove_prefix(1);
        while (!tag.empty() && (tag.back() == ' ' || tag.back() == '\t'))
            tag.remove_suffix(1);
        if (tag.starts_with("W/"))
            tag.remove_prefix(2);
        if (tag == "*" || tag == entityTag)
            return true;
    }
    return false;
}

} // namespace webview
