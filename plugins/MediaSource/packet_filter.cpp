#include "packet_filter.h"

#include "plugin_log.h"

extern "C" {
#include <libavcodec/avcodec.h>
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

void ParserClose::operator()(AVCodecParserContext* parser) const
{
    av_parser_close(parser);
}

void CodecContextFree::operator()(AVCodecContext* context) const
{
    avcodec_free_context(&context);
}

bool PictureSizeReader::Read(const AVStream* stream, const AVPacket* packet, uint32_t& width, uint32_t& height)
{
    if (!parser_) {
        context_.reset(avcodec_alloc_context3(nullptr));
        parser_.reset(av_parser_init(stream->codecpar->codec_id));
        if (!context_ || !parser_) {
            parser_.reset();
            return false;
        }
        parser_->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    }
    uint8_t* frame = nullptr;
    int frameSize = 0;
    parser_->width = parser_->height = 0;
    av_parser_parse2(parser_.get(), context_.get(), &frame, &frameSize, packet->data, packet->size, AV_NOPTS_VALUE,
                     AV_NOPTS_VALUE, 0);
    if (parser_->width <= 0 || parser_->height <= 0)
        return false;
    width = static_cast<uint32_t>(parser_->width);
    height = static_cast<uint32_t>(parser_->height);
    return true;
}

} // namespace media_source
