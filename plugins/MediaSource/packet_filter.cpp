#include "packet_filter.h"

#include "plugin_log.h"

extern "C" {
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
}

namespace media_source {

void BsfFree::operator()(AVBSFContext* context) const
{
    av_bsf_free(&context);
}

bool PacketFilter::Open(const AVStream* stream, std::string& reason)
{
    context_.reset();
    const char* name = stream->codecpar->codec_id == AV_CODEC_ID_AAC ? "aac_adtstoasc" : nullptr;
    if (name == nullptr)
        return true;
    const AVBitStreamFilter* filter = av_bsf_get_by_name(name);
    if (filter == nullptr) {
        reason = std::string("this FFmpeg has no ") + name + " filter";
        return false;
    }
    AVBSFContext* context = nullptr;
    int error = av_bsf_alloc(filter, &context);
    if (error < 0) {
        reason = std::string(name) + ": " + ErrorText(error);
        return false;
    }
    context_.reset(context);
    error = avcodec_parameters_copy(context->par_in, stream->codecpar);
    if (error >= 0) {
        context->time_base_in = stream->time_base;
        error = av_bsf_init(context);
    }
    if (error < 0) {
        context_.reset();
        reason = std::string(name) + ": " + ErrorText(error);
        return false;
    }
    return true;
}

int PacketFilter::Apply(AVPacket* packet)
{
    if (!context_)
        return 0;
    int error = av_bsf_send_packet(context_.get(), packet);
    if (error < 0) {
        av_packet_unref(packet);
        return error;
    }
    return av_bsf_receive_packet(context_.get(), packet);
}

} // namespace media_source
