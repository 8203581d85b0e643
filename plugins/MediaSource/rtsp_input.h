// An RTSP camera read through our own session (rtsp_session.h) and FFmpeg's RTP demuxing: the
// session's description opens FFmpeg's SDP demuxer in its custom-I/O mode, whose packets then come
// from the session's reads. The result is an AVFormatContext like the one avformat_open_input gives
// for the URL, at a fraction of the system calls.
#ifndef MEDIA_SOURCE_RTSP_INPUT_H
#define MEDIA_SOURCE_RTSP_INPUT_H

#include "rtsp_session.h"

#include <functional>
#include <memory>
#include <string>

struct AVFormatContext;
struct AVIOContext;

namespace media_source {

class RtspInput {
public:
    enum class Result { Opened, Failed, Unsupported };

    // Opens url into context (allocated by the caller, its interrupt callback set), which then
    // owns the input: context->opaque points to it (nothing else in this plugin sets it), and
    // CloseInput frees both. Failed frees the context; Unsupported leaves it to the caller.
    static Result Open(const std::string& url, std::function<bool()> interrupted, AVFormatContext*& context,
                       std::string& reason);

    ~RtspInput();

    // The RTSP input context reads through, null for any other input.
    static RtspInput* Of(AVFormatContext* context);
    // See RtspSession::SetBeforeWait.
    void SetBeforeWait(std::function<void()> beforeWait) { session_.SetBeforeWait(std::move(beforeWait)); }

private:
    explicit RtspInput(std::function<bool()> interrupted);
    static int ReadDescription(void* opaque, uint8_t* buffer, int size);
    static int ReadPacket(void* opaque, uint8_t* buffer, int size);
    static int WriteRtcp(void* opaque, uint8_t* buffer, int size); // FFmpeg 5 passes it non-const

    RtspSession session_;
    std::string description_;
    size_t descriptionRead_ = 0;
    AVIOContext* io_ = nullptr; // the packets'
};

void FreeIo(AVIOContext* io);

// Closes a context: its RTSP input too when it has one.
void CloseInput(AVFormatContext* context);

} // namespace media_source

#endif
