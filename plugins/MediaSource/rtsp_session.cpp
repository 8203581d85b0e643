#include "rtsp_session.h"

#include "plugin_log.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/random_seed.h>
}

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace media_source {

namespace {

// A read takes what the kernel holds, up to this much: a burst of a second of 1080p in one call.
constexpr size_t kBufferBytes = 256 * 1024;
// Waits are cut into slices this long, so an interruption ends them soon.
constexpr int kSliceMs = 100;
// Bytes that are neither a media packet nor a response, skipped before the stream counts as lost.
constexpr size_t kMaxGarbageBytes = 1024 * 1024;
constexpr int64_t kNsPerSecond = 1000000000;

std::string RandomHex()
{
    char text[17];
    std::snprintf(text, sizeof text, "%08x%08x", av_get_random_seed(), av_get_random_seed());
    return text;
}

} // namespace

RtspSession::RtspSession(std::function<bool()> interrupted, std::function<int64_t()> now)
    : interrupted_(std::move(interrupted)),
      now_(std::move(now)),
      buffer_(kBufferBytes)
{
}

RtspSession::~RtspSession()
{
    if (fd_ < 0)
        return;
    if (playing_) {
        // Said, not waited for: the camera frees the session at once or when it times out.
        std::string request = "TEARDOWN " + playUrl_ + " RTSP/1.0\r\nCSeq: " + std::to_string(++cseq_) +
                              "\r\nSession: " + session_ + "\r\nUser-Agent: dvrcore\r\n";
        if (challenge_)
            request += "Authorization: " +
                       AuthorizationFor(*challenge_, url_.user, url_.password, "TEARDOWN", playUrl_, ++nonceCount_,
                                        RandomHex()) +
                       "\r\n";
        request += "\r\n";
        (void)send(fd_, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    close(fd_);
}

bool RtspSession::Connect(const RtspUrl& url, std::string& reason)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int lookup = getaddrinfo(url.host.c_str(), std::to_string(url.port).c_str(), &hints, &found);
    if (lookup != 0) {
        reason = std::string("cannot find the host: ") + gai_strerror(lookup);
        return false;
    }
    reason = "cannot connect";
    for (addrinfo* address = found; address != nullptr && fd_ < 0; address = address->ai_next) {
        const int fd = socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            continue;
        int error = connect(fd, address->ai_addr, address->ai_addrlen) == 0 ? 0 : errno;
        if (error == EINPROGRESS) {
            pollfd waiting{fd, POLLOUT, 0};
            for (;;) {
                if (interrupted_()) {
                    error = ETIMEDOUT;
                    break;
                }
                const int ready = poll(&waiting, 1, kSliceMs);
                if (ready > 0) {
                    socklen_t length = sizeof error;
                    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                        error = errno;
                    break;
                }
                if (ready < 0 && errno != EINTR) {
                    error = errno;
                    break;
                }
            }
        }
        if (error != 0) {
            reason = std::string("cannot connect: ") + std::strerror(error);
            close(fd);
            continue;
        }
        const int on = 1;
        (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        fd_ = fd;
    }
    freeaddrinfo(found);
    return fd_ >= 0;
}

bool RtspSession::Send(const std::string& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t written = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (written > 0) {
            sent += static_cast<size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd waiting{fd_, POLLOUT, 0};
            if (interrupted_())
                return false;
            (void)poll(&waiting, 1, kSliceMs);
            continue;
        }
        return false;
    }
    return true;
}

bool RtspSession::Fill()
{
    if (start_ == end_) {
        start_ = end_ = 0;
    } else if (end_ == buffer_.size()) {
        // Room at the end: what is left moves to the front.
        std::memmove(buffer_.data(), buffer_.data() + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
    }
    for (;;) {
        const ssize_t got = recv(fd_, buffer_.data() + end_, buffer_.size() - end_, 0);
        if (got > 0) {
            end_ += static_cast<size_t>(got);
            return true;
        }
        if (got == 0) {
            readError_ = AVERROR_EOF;
            return false;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            readError_ = AVERROR(errno);
            return false;
        }
        if (interrupted_()) {
            readError_ = AVERROR_EXIT;
            return false;
        }
        if (beforeWait_)
            beforeWait_();
        pollfd waiting{fd_, POLLIN, 0};
        if (poll(&waiting, 1, kSliceMs) < 0 && errno != EINTR) {
            readError_ = AVERROR(errno);
            return false;
        }
    }
}

bool RtspSession::Request(const std::string& method, const std::string& uri, const std::string& headers,
                          RtspResponse& response, std::string& reason)
{
    size_t garbage = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int cseq = ++cseq_;
        std::string request =
            method + " " + uri + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\nUser-Agent: dvrcore\r\n" + headers;
        if (!session_.empty())
            request += "Session: " + session_ + "\r\n";
        if (challenge_)
            request +=
                "Authorization: " +
                AuthorizationFor(*challenge_, url_.user, url_.password, method, uri, ++nonceCount_, RandomHex()) +
                "\r\n";
        request += "\r\n";
        if (!Send(request)) {
            reason = std::string("cannot send ") + method;
            return false;
        }
        // Its response; media that came first (a camera that plays early) is skipped.
        for (bool answered = false; !answered;) {
            const InterleavedItem item = NextInterleaved(Held());
            start_ += item.consumed;
            if (item.kind == InterleavedItem::Response) {
                const auto sequence = item.response.Header("CSeq");
                // An answer to an earlier request (a keep-alive) is skipped.
                if (!sequence || *sequence == std::to_string(cseq)) {
                    response = item.response;
                    answered = true;
                }
            } else if (item.kind == InterleavedItem::Skip && ++garbage > kMaxGarbageBytes) {
                reason = "a malformed answer to " + method;
                return false;
            } else if (item.kind == InterleavedItem::NeedMore && !Fill()) {
                reason = readError_ == AVERROR_EXIT ? "no answer in time" : "the connection ended";
                return false;
            }
        }
        if (response.status == 401 && attempt == 0 && !url_.user.empty()) {
            const auto challenge = ParseChallenge(response.Headers("WWW-Authenticate"));
            if (!challenge) {
                reason = "an authentication this client does not offer";
                return false;
            }
            challenge_ = challenge;
            nonceCount_ = 0;
            continue;
        }
        return true;
    }
    return true;
}

RtspSession::OpenResult RtspSession::Open(const std::string& url, RtspOffer& offer, std::string& reason)
{
    const auto parsed = ParseRtspUrl(url);
    if (!parsed) {
        reason = "a URL this client does not read";
        return OpenResult::Unsupported;
    }
    url_ = *parsed;
    if (!Connect(url_, reason))
        return OpenResult::Failed;
    const std::string target = url_.WithoutCredentials();
    RtspResponse response;
    if (!Request("OPTIONS", target, "", response, reason))
        return OpenResult::Failed;
    if (const auto methods = response.Header("Public"))
        getParameter_ = methods->find("GET_PARAMETER") != std::string::npos;
    if (!Request("DESCRIBE", target, "Accept: application/sdp\r\n", response, reason))
        return OpenResult::Failed;
    if (response.status == 401 || response.status == 403 || response.status == 404) {
        reason = "DESCRIBE answered " + std::to_string(response.status);
        return OpenResult::Failed;
    }
    if (response.status != 200) {
        // Redirects and the like: FFmpeg's client follows them.
        reason = "DESCRIBE answered " + std::to_string(response.status);
        return OpenResult::Unsupported;
    }
    std::string base = response.Header("Content-Base").value_or(response.Header("Content-Location").value_or(target));
    const auto selected = SelectMedia(response.body, base);
    if (!selected) {
        reason = "no RTP video or audio in the description";
        return OpenResult::Unsupported;
    }
    if (selected->media.size() == 2 && selected->media[0].payloadType == selected->media[1].payloadType) {
        reason = "video and audio share a payload type";
        return OpenResult::Unsupported;
    }
    for (const RtspMedia& media : selected->media) {
        const int first = static_cast<int>(channels_.size()) * 2;
        const std::string transport = "Transport: RTP/AVP/TCP;unicast;interleaved=" + std::to_string(first) + "-" +
                                      std::to_string(first + 1) + "\r\n";
        if (!Request("SETUP", media.control, transport, response, reason))
            return OpenResult::Failed;
        if (response.status != 200) {
            reason = "SETUP answered " + std::to_string(response.status);
            return response.status == 461 ? OpenResult::Unsupported : OpenResult::Failed;
        }
        const auto given = InterleavedChannels(response.Header("Transport").value_or(""));
        if (!given) {
            reason = "the camera gave no interleaved channels";
            return OpenResult::Unsupported;
        }
        if (session_.empty()) {
            const auto [id, timeout] = SessionOf(response.Header("Session").value_or(""));
            session_ = id;
            timeoutSeconds_ = timeout;
        }
        channels_.push_back(Channel{given->first, given->second, media.payloadType});
    }
    playUrl_ = base;
    if (!Request("PLAY", playUrl_, "Range: npt=0.000-\r\n", response, reason))
        return OpenResult::Failed;
    if (response.status != 200) {
        reason = "PLAY answered " + std::to_string(response.status);
        return OpenResult::Failed;
    }
    playing_ = true;
    nextKeepAliveNs_ = now_() + timeoutSeconds_ * kNsPerSecond / 2;
    offer = *selected;
    return OpenResult::Playing;
}

void RtspSession::SendKeepAlive()
{
    nextKeepAliveNs_ = now_() + timeoutSeconds_ * kNsPerSecond / 2;
    const char* method = getParameter_ ? "GET_PARAMETER" : "OPTIONS";
    std::string request = std::string(method) + " " + playUrl_ + " RTSP/1.0\r\nCSeq: " + std::to_string(++cseq_) +
                          "\r\nSession: " + session_ + "\r\nUser-Agent: dvrcore\r\n";
    if (challenge_)
        request +=
            "Authorization: " +
            AuthorizationFor(*challenge_, url_.user, url_.password, method, playUrl_, ++nonceCount_, RandomHex()) +
            "\r\n";
    request += "\r\n";
    (void)Send(request); // a connection that failed fails the next read
}

int RtspSession::ReadPacket(uint8_t* out, int size)
{
    if (now_() >= nextKeepAliveNs_)
        SendKeepAlive();
    size_t garbage = 0;
    for (;;) {
        const InterleavedItem item = NextInterleaved(Held());
        uint8_t* packet = buffer_.data() + start_ + item.offset;
        start_ += item.consumed;
        switch (item.kind) {
        case InterleavedItem::Packet:
            for (Channel& ours : channels_) {
                if (item.length < 8 || item.length > static_cast<size_t>(size))
                    break;
                if (item.channel == ours.rtp && item.length >= 12) {
                    ours.ssrc =
                        uint32_t{packet[8]} << 24 | uint32_t{packet[9]} << 16 | uint32_t{packet[10]} << 8 | packet[11];
                    ours.ssrcKnown = true;
                    // The demuxer tells its streams apart by payload type, where FFmpeg's own
                    // client goes by channel: the description's type is the channel's.
                    packet[1] = static_cast<uint8_t>((packet[1] & 0x80) | ours.payloadType);
                    std::memcpy(out, packet, item.length);
                    return static_cast<int>(item.length);
                }
                // A report before its stream's first packet could not be placed by the demuxer:
                // it waits for the next report.
                if (item.channel == ours.rtcp && ours.ssrcKnown) {
                    std::memcpy(out, packet, item.length);
                    return static_cast<int>(item.length);
                }
            }
            break;                             // another channel's, or no packet FFmpeg could read: left out
        case InterleavedItem::Response: break; // a keep-alive's answer, or a request of the camera's
        case InterleavedItem::Skip:
            // Neither: skipped byte by byte until a packet starts again.
            if (++garbage > kMaxGarbageBytes)
                return AVERROR_INVALIDDATA;
            break;
        case InterleavedItem::NeedMore:
            if (!Fill())
                return readError_;
            break;
        }
    }
}

void RtspSession::SendRtcp(const uint8_t* data, int size)
{
    // A receiver report's first block names the camera's SSRC it reports on.
    if (fd_ < 0 || size < 12 || size > 65535)
        return;
    const uint32_t ssrc = uint32_t{data[8]} << 24 | uint32_t{data[9]} << 16 | uint32_t{data[10]} << 8 | data[11];
    for (const Channel& ours : channels_) {
        if (!ours.ssrcKnown || ours.ssrc != ssrc)
            continue;
        std::string framed(4 + static_cast<size_t>(size), '\0');
        framed[0] = '$';
        framed[1] = static_cast<char>(ours.rtcp);
        framed[2] = static_cast<char>(size >> 8);
        framed[3] = static_cast<char>(size & 0xFF);
        std::memcpy(framed.data() + 4, data, static_cast<size_t>(size));
        (void)Send(framed);
        return;
    }
}

} // namespace media_source
