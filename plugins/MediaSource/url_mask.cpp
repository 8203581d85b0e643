// The split is done here, not with av_url_split: that ends the host at the first '/', '?' or '#',
// so "rtsp://admin:se/cret@cam/s" would be host "admin" and path "/cret@cam/s", the password in
// plain sight. A log line must hide whatever may be a password, whichever way a reader splits it.
#include "url_mask.h"

#include <algorithm>
#include <cctype>
#include <utility>
#include <vector>

namespace media_source {
namespace {

using Span = std::pair<size_t, size_t>; // [first, last) of the URL to hide

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// A parameter name percent-decoded and in lower case: "Pass%77ord" is "password".
std::string DecodedName(const std::string& name)
{
    std::string decoded;
    for (size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        if (c == '%' && i + 2 < name.size() && HexValue(name[i + 1]) >= 0 && HexValue(name[i + 2]) >= 0) {
            c = static_cast<char>(HexValue(name[i + 1]) * 16 + HexValue(name[i + 2]));
            i += 2;
        }
        decoded += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return decoded;
}

bool IsCredentialName(const std::string& name)
{
    static const char* const kParts[] = {"user", "usr",  "login",  "pass", "pwd", "token",
                                         "key",  "auth", "secret", "cred", "sig"};
    const std::string decoded = DecodedName(name);
    return std::any_of(std::begin(kParts), std::end(kParts),
                       [&](const char* part) { return decoded.find(part) != std::string::npos; });
}

// Where the user information may start: after "<scheme>:" and up to two '/', as FFmpeg also
// takes "rtsp:user:password@cam/s"; npos for a plain path and for file: URLs, which hold none.
size_t AuthorityStart(const std::string& url)
{
    const size_t colon = url.find(':');
    if (colon == std::string::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(url[0])))
        return std::string::npos;
    for (size_t i = 0; i < colon; ++i)
        if (!std::isalnum(static_cast<unsigned char>(url[i])) && url[i] != '+' && url[i] != '-' && url[i] != '.')
            return std::string::npos;
    std::string scheme = url.substr(0, colon);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
    if (scheme == "file")
        return std::string::npos;
    size_t start = colon + 1;
    for (int slash = 0; slash < 2 && start < url.size() && url[start] == '/'; ++slash)
        ++start;
    return start;
}

} // namespace

std::string MaskUrl(const std::string& url)
{
    std::vector<Span> hidden;
    const size_t authority = AuthorityStart(url);
    const size_t at = url.rfind('@');
    if (authority != std::string::npos && at != std::string::npos && at >= authority)
        hidden.emplace_back(authority, at);
    // Every "name=value" after the first '?': the name runs back to the nearest '?', '&', ';' or
    // '#', the value on to the next '&' only, since a password may hold the others.
    const size_t query = url.find('?');
    for (size_t equals = query == std::string::npos ? url.size() : url.find('=', query); equals < url.size();
         equals = url.find('=', equals + 1)) {
        const size_t nameStart = url.find_last_of("?&;#", equals - 1) + 1;
        if (!IsCredentialName(url.substr(nameStart, equals - nameStart)))
            continue;
        const size_t valueEnd = std::min(url.find('&', equals + 1), url.size());
        if (valueEnd > equals + 1)
            hidden.emplace_back(equals + 1, valueEnd);
    }
    std::sort(hidden.begin(), hidden.end());
    std::string masked;
    size_t copied = 0;
    for (size_t i = 0; i < hidden.size();) {
        size_t end = hidden[i].second;
        const size_t start = hidden[i].first;
        for (++i; i < hidden.size() && hidden[i].first <= end; ++i)
            end = std::max(end, hidden[i].second);
        masked.append(url, copied, start - copied).append("***");
        copied = end;
    }
    return masked.append(url, std::min(copied, url.size()), std::string::npos);
}

} // namespace media_source
