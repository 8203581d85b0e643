#include "rtsp_input.h"

#include "plugin_log.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cstring>

namespace media_source {

namespace {

// The packets' buffer: the largest interleaved packet.
constexpr int kIoBufferBytes = 65536;

AVIOContext* NewIo(void* opaque, int writeFlag, int (*read)(void*, uint8_t*, int), int (*write)(void*, uint8_t*, int))
{
    auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferBytes));
    if (buffer == nullptr)
        return nullptr;
    AVIOContext* io = avio_alloc_context(buffer, kIoBufferBytes, writeFlag, opaque, read, write, nullptr);
    if (io == nullptr)
        av_free(buffer);
    return io;
}

} // namespace

void FreeIo(AVIOContext* io)
{
    if (io == nullptr)
        return;
    av_freep(&io->buffer);
    avio_context_free(&io);
}

RtspInput::RtspInput(std::function<bool()> interrupted)
    : session_(std::move(interrupted))
{
}

RtspInput::~RtspInput()
{
    FreeIo(io_);
}

int RtspInput::ReadDescription(void* opaque, uint8_t* buffer, int size)
{
    auto* input = static_cast<RtspInput*>(opaque);
    const size_t left = input->description_.size() - input->descriptionRead_;
    if (left == 0)
        return AVERROR_EOF;
    const size_t count = std::min(left, static_cast<size_t>(size));
    std::memcpy(buffer, input->description_.data() + input->descriptionRead_, count);
    input->descriptionRead_ += count;
    return static_cast<int>(count);
}

int RtspInput::ReadPacket(void* opaque, uint8_t* buffer, int size)
{
    return static_cast<RtspInput*>(opaque)->session_.ReadPacket(buffer, size);
}

int RtspInput::WriteRtcp(void* opaque, uint8_t* buffer, int size)
{
    static_cast<RtspInput*>(opaque)->session_.SendRtcp(buffer, size);
    return size;
}

RtspInput::Result RtspInput::Open(const std::string& url, std::function<bool()> interrupted, AVFormatContext*& context,
                                  std::string& reason)
{
    std::unique_ptr<RtspInput> input(new RtspInput(std::move(interrupted)));
    RtspOffer offer;
    switch (input->session_.Open(url, offer, reason)) {
    case RtspSession::OpenResult::Playing: break;
    case RtspSession::OpenResult::Failed:
        avformat_free_context(context);
        context = nullptr;
        return Result::Failed;
    case RtspSession::OpenResult::Unsupported:
        return Result::Unsupported; // the context is the caller's still, for FFmpeg's client
    }
    input->description_ = offer.description;
    const AVInputFormat* sdp = av_find_input_format("sdp");
    if (sdp == nullptr) {
        avformat_free_context(context);
        context = nullptr;
        reason = "FFmpeg has no SDP demuxer";
        return Result::Failed;
    }
    // The description is read through an I/O of its own, freed once the header is read.
    AVIOContext* descriptionIo = NewIo(input.get(), 0, &RtspInput::ReadDescription, nullptr);
    // write_flag: each read of the demuxer's takes one packet, and its reports go out.
    input->io_ = NewIo(input.get(), 1, &RtspInput::ReadPacket, &RtspInput::WriteRtcp);
    if (descriptionIo == nullptr || input->io_ == nullptr) {
        FreeIo(descriptionIo);
        avformat_free_context(context);
        context = nullptr;
        reason = "out of memory";
        return Result::Failed;
    }
    context->pb = descriptionIo;
    context->flags |= AVFMT_FLAG_CUSTOM_IO;
    AVDictionary* options = nullptr;
    // Over TCP nothing comes out of order: no queue to reorder packets in, no delay for it.
    av_dict_set(&options, "sdp_flags", "custom_io", 0);
    av_dict_set(&options, "reorder_queue_size", "0", 0);
    const int error = avformat_open_input(&context, nullptr, sdp, &options);
    av_dict_free(&options);
    FreeIo(descriptionIo);
    if (error < 0) {
        context = nullptr; // freed by avformat_open_input; the custom I/O is ours
        reason = "the description does not open: " + ErrorText(error);
        return Result::Failed;
    }
    context->pb = input->io_;
    context->opaque = input.release();
    return Result::Opened;
}

RtspInput* RtspInput::Of(AVFormatContext* context)
{
    return static_cast<RtspInput*>(context->opaque);
}

void CloseInput(AVFormatContext* context)
{
    if (context == nullptr)
        return;
    RtspInput* input = RtspInput::Of(context);
    avformat_close_input(&context);
    delete input;
}

} // namespace media_source
