// One RTSP session with a camera over TCP, its media interleaved on the same connection: the
// requests that set it up and keep it alive, and the media packets read in large reads from a
// buffer of our own (FFmpeg's RTSP client reads each packet's 1-, 3- and n-byte parts with a
// poll and a recv each). The packets go to FFmpeg's RTP demuxing through rtsp_input.
// Used by one camera's reading thread.
#ifndef MEDIA_SOURCE_RTSP_SESSION_H
#define MEDIA_SOURCE_RTSP_SESSION_H

#include "plugin_log.h"
#include "rtsp_messages.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace media_source {

class RtspSession {
public:
    enum class OpenResult {
        Playing,
        Failed,     // the camera could not be reached or refused: try again later, as with any reader
        Unsupported // the camera wants what this client does not do: FFmpeg's client reads it instead
    };

    // interrupted: asked during every wait; true ends the wait and the call fails. now: the
    // monotonic clock of the keep-alives, in ns.
    explicit RtspSession(std::function<bool()> interrupted, std::function<int64_t()> now = MonotonicNs);
    ~RtspSession(); // a TEARDOWN if playing, then the connection closes
    RtspSession(const RtspSession&) = delete;
    RtspSession& operator=(const RtspSession&) = delete;

    // Connects, asks for the description, sets up its first video and audio over the connection
    // and plays them. The description of the media set up goes to offer; reason says why not.
    OpenResult Open(const std::string& url, RtspOffer& offer, std::string& reason);

    // The next media packet (RTP or RTCP, with the payload type of its section's description) into
    // buffer: its length, or an AVERROR when the connection ended, failed or was interrupted.
    int ReadPacket(uint8_t* buffer, int size);
    // An RTCP packet of ours (a receiver report) to the camera, on the channel of the stream it
    // reports on.
    void SendRtcp(const uint8_t* data, int size);
    // Called each time a read finds nothing more on the connection, before it waits for the
    // camera; none by default.
    void SetBeforeWait(std::function<void()> beforeWait) { beforeWait_ = std::move(beforeWait); }

private:
    struct Channel {
        int rtp = -1;
        int rtcp = -1;
        int payloadType = -1;
        uint32_t ssrc = 0; // the camera's, from its first RTP packet
        bool ssrcKnown = false;
    };

    bool Connect(const RtspUrl& url, std::string& reason);
    // Sends one request and waits for its response, answering one authentication challenge.
    bool Request(const std::string& method, const std::string& uri, const std::string& headers, RtspResponse& response,
                 std::string& reason);
    bool Send(const std::string& bytes);
    std::string_view Held() const { return {reinterpret_cast<const char*>(buffer_.data() + start_), end_ - start_}; }
    // Reads more into the buffer; false when the connection ended, failed or was interrupted.
    bool Fill();
    void SendKeepAlive();

    const std::function<bool()> interrupted_;
    const std::function<int64_t()> now_;
    std::function<void()> beforeWait_;
    int fd_ = -1;
    RtspUrl url_;
    std::vector<uint8_t> buffer_; // bytes read and not yet taken: [start_, end_)
    size_t start_ = 0;
    size_t end_ = 0;
    int cseq_ = 0;
    std::string session_;
    int timeoutSeconds_ = 60;
    int64_t nextKeepAliveNs_ = 0;
    bool getParameter_ = false; // the server lists GET_PARAMETER: the keep-alive asks that
    std::optional<RtspChallenge> challenge_;
    uint32_t nonceCount_ = 0;
    std::string playUrl_;
    bool playing_ = false;
    std::vector<Channel> channels_;
    int readError_ = 0; // the AVERROR the connection ended with
};

} // namespace media_source

#endif
