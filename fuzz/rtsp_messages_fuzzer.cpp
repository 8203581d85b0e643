// What a camera sends an RTSP session, read as the session reads it: the stream of responses and
// interleaved packets, and in each response its description's media, its challenge (answered),
// its transport and its session; the input's start is also read as a URL.
#include "rtsp_messages.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void Require(bool holds)
{
    if (!holds)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace media_source;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto url = ParseRtspUrl(std::string(input.substr(0, input.find('\n'))));
    if (url) {
        Require(!url->host.empty() && url->port > 0 && url->port < 65536 && url->path.starts_with("/"));
        Require(url->WithoutCredentials().find('@') == std::string::npos || url->path.find('@') != std::string::npos);
    }
    for (size_t at = 0; at < input.size();) {
        const InterleavedItem item = NextInterleaved(input.substr(at));
        if (item.kind == InterleavedItem::NeedMore)
            break;
        Require(item.consumed > 0 && item.consumed <= input.size() - at);
        if (item.kind == InterleavedItem::Packet)
            Require(item.offset + item.length == item.consumed && item.length <= 65535);
        if (item.kind == InterleavedItem::Response) {
            Require(item.response.status >= 100 && item.response.status <= 999 &&
                    item.response.body.size() <= kMaxRtspBodyBytes);
            if (const auto offer = SelectMedia(item.response.body, "rtsp://cam/live")) {
                Require(!offer->media.empty() && offer->media.size() <= 2);
                for (const RtspMedia& media : offer->media)
                    Require(media.payloadType >= 0 && media.payloadType <= 127 && !media.control.empty());
            }
            if (const auto challenge = ParseChallenge(item.response.Headers("WWW-Authenticate")))
                Require(!AuthorizationFor(*challenge, "user", "password", "DESCRIBE", "rtsp://cam/", 1, "c").empty());
            if (const auto channels = InterleavedChannels(item.response.Header("Transport").value_or("")))
                Require(channels->first >= 0 && channels->first <= 255 && channels->second >= 0 &&
                        channels->second <= 256);
            const auto session = SessionOf(item.response.Header("Session").value_or(""));
            Require(session.second > 0);
        }
        at += item.consumed;
    }
    return 0;
}
