#include "rtsp_messages.h"

extern "C" {
#include <libavutil/base64.h>
#include <libavutil/md5.h>
}

#include <algorithm>
#include <cctype>
#include <charconv>

namespace media_source {

namespace {

bool SameName(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

bool ParseNumber(std::string_view text, long long& value)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

std::string Md5Hex(const std::string& text)
{
    uint8_t digest[16];
    av_md5_sum(digest, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    static const char HEX[] = "0123456789abcdef";
    std::string hex;
    for (uint8_t byte : digest) {
        hex += HEX[byte >> 4];
        hex += HEX[byte & 15];
    }
    return hex;
}

// The value of name="value" or name=value in a challenge's parameter list.
std::string Parameter(std::string_view params, std::string_view name)
{
    size_t at = 0;
    while (at < params.size()) {
        while (at < params.size() && (params[at] == ' ' || params[at] == ','))
            ++at;
        const size_t equals = params.find('=', at);
        if (equals == std::string_view::npos)
            return "";
        const std::string_view key = Trim(params.substr(at, equals - at));
        std::string value;
        size_t next = equals + 1;
        if (next < params.size() && params[next] == '"') {
            const size_t close = params.find('"', next + 1);
            if (close == std::string_view::npos)
                return "";
            value = params.substr(next + 1, close - next - 1);
            next = close + 1;
        } else {
            const size_t comma = params.find(',', next);
            value = Trim(params.substr(next, comma == std::string_view::npos ? std::string_view::npos : comma - next));
            next = comma == std::string_view::npos ? params.size() : comma;
        }
        if (SameName(key, name))
            return value;
        at = next;
    }
    return "";
}

std::string PercentDecoded(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

} // namespace

std::optional<std::string> RtspResponse::Header(std::string_view name) const
{
    for (const auto& [key, value] : headers)
        if (SameName(key, name))
            return value;
    return std::nullopt;
}

std::vector<std::string> RtspResponse::Headers(std::string_view name) const
{
    std::vector<std::string> values;
    for (const auto& [key, value] : headers)
        if (SameName(key, name))
            values.push_back(value);
    return values;
}

ParseState ParseResponse(std::string_view data, RtspResponse& response, size_t& consumed)
{
    const size_t end = data.find("\r\n\r\n");
    if (end == std::string_view::npos)
        return data.size() > kMaxRtspHeaderBytes ? ParseState::Malformed : ParseState::NeedMore;
    if (end > kMaxRtspHeaderBytes)
        return ParseState::Malformed;
    std::string_view head = data.substr(0, end);
    const size_t lineEnd = head.find("\r\n");
    const std::string_view status = head.substr(0, lineEnd);
    // "RTSP/1.0 200 OK"
    if (!status.starts_with("RTSP/") || status.size() < 12 || status[8] != ' ')
        return ParseState::Malformed;
    long long code = 0;
    if (!ParseNumber(status.substr(9, 3), code) || code < 100 || code > 999)
        return ParseState::Malformed;
    RtspResponse parsed;
    parsed.status = static_cast<int>(code);
    size_t contentLength = 0;
    for (size_t at = lineEnd; at != std::string_view::npos && at < head.size();) {
        const size_t start = at + 2;
        const size_t next = head.find("\r\n", start);
        const std::string_view line =
            head.substr(start, next == std::string_view::npos ? std::string_view::npos : next - start);
        at = next;
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue; // no header: left out
        parsed.headers.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
        if (SameName(parsed.headers.back().first, "Content-Length")) {
            long long length = 0;
            if (!ParseNumber(parsed.headers.back().second, length) || length < 0 ||
                static_cast<unsigned long long>(length) > kMaxRtspBodyBytes)
                return ParseState::Malformed;
            contentLength = static_cast<size_t>(length);
        }
    }
    if (data.size() < end + 4 + contentLength)
        return ParseState::NeedMore;
    parsed.body = data.substr(end + 4, contentLength);
    consumed = end + 4 + contentLength;
    response = std::move(parsed);
    return ParseState::Whole;
}

InterleavedItem NextInterleaved(std::string_view held)
{
    InterleavedItem item;
    if (held.empty())
        return item;
    if (held[0] == '$') {
        if (held.size() < 4)
            return item;
        const size_t length = size_t{static_cast<uint8_t>(held[2])} << 8 | static_cast<uint8_t>(held[3]);
        if (held.size() < 4 + length)
            return item;
        item.kind = InterleavedItem::Packet;
        item.channel = static_cast<uint8_t>(held[1]);
        item.offset = 4;
        item.length = length;
        item.consumed = 4 + length;
        return item;
    }
    if (std::string_view("RTSP").starts_with(held.substr(0, 4)) && held.size() < 4)
        return item; // perhaps a response: more is needed to say
    if (held.starts_with("RTSP")) {
        switch (ParseResponse(held, item.response, item.consumed)) {
        case ParseState::Whole: item.kind = InterleavedItem::Response; return item;
        case ParseState::NeedMore: return item;
        case ParseState::Malformed: break;
        }
    }
    item.kind = InterleavedItem::Skip;
    item.consumed = 1;
    return item;
}

std::optional<RtspChallenge> ParseChallenge(const std::vector<std::string>& authenticateHeaders)
{
    std::optional<RtspChallenge> basic;
    for (const std::string& header : authenticateHeaders) {
        const std::string_view value = Trim(header);
        const size_t space = value.find(' ');
        const std::string_view scheme = value.substr(0, space);
        const std::string_view params = space == std::string_view::npos ? "" : value.substr(space + 1);
        if (SameName(scheme, "Digest")) {
            const std::string algorithm = Parameter(params, "algorithm");
            if (!algorithm.empty() && !SameName(algorithm, "MD5"))
                continue;
            RtspChallenge challenge;
            challenge.digest = true;
            challenge.realm = Parameter(params, "realm");
            challenge.nonce = Parameter(params, "nonce");
            challenge.opaque = Parameter(params, "opaque");
            const std::string qop = Parameter(params, "qop");
            for (size_t at = 0; at < qop.size();) {
                const size_t comma = qop.find(',', at);
                if (Trim(std::string_view(qop).substr(at, comma == std::string::npos ? std::string::npos
                                                                                     : comma - at)) == "auth")
                    challenge.qopAuth = true;
                at = comma == std::string::npos ? qop.size() : comma + 1;
            }
            if (!challenge.nonce.empty())
                return challenge;
        } else if (SameName(scheme, "Basic") && !basic) {
            basic = RtspChallenge{};
            basic->realm = Parameter(params, "realm");
        }
    }
    return basic;
}

std::string AuthorizationFor(const RtspChallenge& challenge, const std::string& user, const std::string& password,
                             const std::string& method, const std::string& uri, uint32_t nonceCount,
                             const std::string& cnonce)
{
    if (!challenge.digest) {
        const std::string pair = user + ":" + password;
        std::string encoded(AV_BASE64_SIZE(pair.size()), '\0');
        av_base64_encode(encoded.data(), static_cast<int>(encoded.size()),
                         reinterpret_cast<const uint8_t*>(pair.data()), static_cast<int>(pair.size()));
        encoded.resize(encoded.find('\0'));
        return "Basic " + encoded;
    }
    const std::string ha1 = Md5Hex(user + ":" + challenge.realm + ":" + password);
    const std::string ha2 = Md5Hex(method + ":" + uri);
    char count[9];
    std::snprintf(count, sizeof count, "%08x", nonceCount);
    const std::string response = challenge.qopAuth
                                     ? Md5Hex(ha1 + ":" + challenge.nonce + ":" + count + ":" + cnonce + ":auth:" + ha2)
                                     : Md5Hex(ha1 + ":" + challenge.nonce + ":" + ha2);
    std::string value = "Digest username=\"" + user + "\", realm=\"" + challenge.realm + "\", nonce=\"" +
                        challenge.nonce + "\", uri=\"" + uri + "\", response=\"" + response + "\"";
    if (!challenge.opaque.empty())
        value += ", opaque=\"" + challenge.opaque + "\"";
    if (challenge.qopAuth)
        value += std::string(", qop=auth, nc=") + count + ", cnonce=\"" + cnonce + "\"";
    return value + ", algorithm=MD5";
}

std::string RtspUrl::WithoutCredentials() const
{
    const bool v6 = host.find(':') != std::string::npos;
    return "rtsp://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + path;
}

std::optional<RtspUrl> ParseRtspUrl(const std::string& url)
{
    constexpr std::string_view SCHEME = "rtsp://";
    if (url.size() <= SCHEME.size() || !SameName(std::string_view(url).substr(0, SCHEME.size()), SCHEME))
        return std::nullopt;
    std::string_view rest = std::string_view(url).substr(SCHEME.size());
    const size_t slash = rest.find_first_of("/?");
    std::string_view authority = rest.substr(0, slash);
    RtspUrl parsed;
    parsed.path = slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));
    if (!parsed.path.starts_with("/"))
        parsed.path = "/" + parsed.path;
    const size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
        const std::string_view userinfo = authority.substr(0, at);
        const size_t colon = userinfo.find(':');
        parsed.user = PercentDecoded(userinfo.substr(0, colon));
        if (colon != std::string_view::npos)
            parsed.password = PercentDecoded(userinfo.substr(colon + 1));
        authority.remove_prefix(at + 1);
    }
    std::string_view port;
    if (authority.starts_with("[")) {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        parsed.host = authority.substr(1, close - 1);
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':')
                return std::nullopt;
            port = authority.substr(close + 2);
        }
    } else {
        const size_t colon = authority.find(':');
        parsed.host = authority.substr(0, colon);
        if (colon != std::string_view::npos)
            port = authority.substr(colon + 1);
    }
    if (parsed.host.empty())
        return std::nullopt;
    if (!port.empty()) {
        long long number = 0;
        if (!ParseNumber(port, number) || number < 1 || number > 65535)
            return std::nullopt;
        parsed.port = static_cast<int>(number);
    }
    return parsed;
}

std::optional<RtspOffer> SelectMedia(const std::string& sdp, const std::string& base)
{
    // The description's lines, split into the session's and each media section's.
    std::vector<std::string> session;
    std::vector<std::vector<std::string>> sections;
    size_t at = 0;
    while (at < sdp.size()) {
        size_t end = sdp.find('\n', at);
        std::string line = sdp.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? sdp.size() : end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        if (line.starts_with("m="))
            sections.emplace_back();
        (sections.empty() ? session : sections.back()).push_back(std::move(line));
    }
    RtspOffer offer;
    std::string kept[2]; // video, audio
    for (const auto& section : sections) {
        // "m=video 0 RTP/AVP 96"
        const std::string& m = section.front();
        const bool video = m.starts_with("m=video ");
        if ((!video && !m.starts_with("m=audio ")) || !kept[video ? 0 : 1].empty())
            continue;
        size_t field = 0;
        std::string fields[4];
        for (size_t start = 2; start < m.size() && field < 4;) {
            const size_t space = m.find(' ', start);
            fields[field++] = m.substr(start, space == std::string::npos ? std::string::npos : space - start);
            start = space == std::string::npos ? m.size() : space + 1;
        }
        long long payloadType = -1;
        if (field < 4 || fields[2] != "RTP/AVP" || !ParseNumber(fields[3], payloadType) || payloadType < 0 ||
            payloadType > 127)
            continue;
        RtspMedia media;
        media.video = video;
        media.payloadType = static_cast<int>(payloadType);
        std::string control;
        for (const std::string& line : section)
            if (line.starts_with("a=control:"))
                control = line.substr(10);
        if (control.empty() || control == "*")
            media.control = base;
        else if (SameName(std::string_view(control).substr(0, std::min<size_t>(control.size(), 7)), "rtsp://"))
            media.control = control;
        else
            media.control = base + (base.ends_with("/") ? "" : "/") + control;
        for (const std::string& line : section)
            kept[video ? 0 : 1] += line + "\r\n";
        offer.media.push_back(std::move(media));
    }
    if (offer.media.empty())
        return std::nullopt;
    std::stable_sort(offer.media.begin(), offer.media.end(),
                     [](const RtspMedia& a, const RtspMedia& b) { return a.video && !b.video; });
    for (const std::string& line : session)
        offer.description += line + "\r\n";
    offer.description += kept[0] + kept[1];
    return offer;
}

std::optional<std::pair<int, int>> InterleavedChannels(const std::string& transport)
{
    const size_t at = transport.find("interleaved=");
    if (at == std::string::npos)
        return std::nullopt;
    const size_t start = at + 12;
    const size_t end = transport.find_first_of(";,", start);
    const std::string_view range =
        std::string_view(transport).substr(start, end == std::string::npos ? std::string::npos : end - start);
    const size_t dash = range.find('-');
    long long first = 0, second = 0;
    if (!ParseNumber(range.substr(0, dash), first) || first < 0 || first > 255)
        return std::nullopt;
    second = first + 1;
    if (dash != std::string_view::npos && (!ParseNumber(range.substr(dash + 1), second) || second < 0 || second > 255))
        return std::nullopt;
    return std::pair<int, int>(static_cast<int>(first), static_cast<int>(second));
}

std::pair<std::string, int> SessionOf(const std::string& header)
{
    const size_t semicolon = header.find(';');
    std::string id(Trim(std::string_view(header).substr(0, semicolon)));
    int timeout = 60;
    const size_t at = header.find("timeout=", semicolon == std::string::npos ? header.size() : semicolon);
    if (at != std::string::npos) {
        const size_t end = header.find_first_of(";, ", at + 8);
        long long seconds = 0;
        if (ParseNumber(
                std::string_view(header).substr(at + 8, end == std::string::npos ? std::string::npos : end - at - 8),
                seconds) &&
            seconds > 0 && seconds < 86400)
            timeout = static_cast<int>(seconds);
    }
    return {id, timeout};
}

} // namespace media_source
