#include "audio_transcoder.h"

#include "recorder_log.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

#include <algorithm>
#include <vector>

namespace segrec {

namespace {

constexpr int64_t AAC_BITS_PER_SECOND_PER_CHANNEL = 48000;
// A hole in the input longer than this is not filled with silence: the audio before it ends and
// the next starts at its own time. The writer starts a new file at a shorter gap.
constexpr int MAX_SILENCE_SECONDS = 10;

// Input within this of where the samples placed so far end counts as following on: a camera's
// timestamps and their rounding to 1/90,000 s jitter by less, and following each would pad or cut
// nearly every frame.
int ToleranceSamples(int sampleRate)
{
    return sampleRate / 50; // 20 ms
}

} // namespace

std::unique_ptr<AudioTranscoder> AudioTranscoder::Create(AVCodecID codec, int sampleRate, int channels,
                                                         std::string& why)
{
    std::unique_ptr<AudioTranscoder> coder(new AudioTranscoder());
    const AVCodec* decoder = avcodec_find_decoder(codec);
    const AVCodec* encoder = avcodec_find_encoder_by_name("aac");
    if (decoder == nullptr || encoder == nullptr) {
        why = "no G.711 decoder or AAC encoder in this FFmpeg";
        return nullptr;
    }
    coder->decoder_ = avcodec_alloc_context3(decoder);
    coder->encoder_ = avcodec_alloc_context3(encoder);
    coder->decoded_ = av_frame_alloc();
    coder->frame_ = av_frame_alloc();
    coder->packet_ = av_packet_alloc();
    if (coder->decoder_ == nullptr || coder->encoder_ == nullptr || coder->decoded_ == nullptr ||
        coder->frame_ == nullptr || coder->packet_ == nullptr) {
        why = "out of memory";
        return nullptr;
    }
    coder->decoder_->sample_rate = sampleRate;
    av_channel_layout_default(&coder->decoder_->ch_layout, channels);
    int result = avcodec_open2(coder->decoder_, decoder, nullptr);
    if (result < 0) {
        why = "cannot open the G.711 decoder: " + AvError(result);
        return nullptr;
    }
    AVCodecContext* out = coder->encoder_;
    out->sample_rate = sampleRate;
    out->sample_fmt = AV_SAMPLE_FMT_FLTP;
    av_channel_layout_default(&out->ch_layout, channels);
    out->bit_rate = AAC_BITS_PER_SECOND_PER_CHANNEL * channels;
    out->time_base = AVRational{1, sampleRate};
    out->flags |= AV_CODEC_FLAG_GLOBAL_HEADER; // the AudioSpecificConfig goes in the file header
    // The fast coder: G.711 is telephone sound of 8 kHz, which the default coder's search for the
    // best quantisation spends several times the CPU on for no audible gain.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "aac_coder", "fast", 0);
    result = avcodec_open2(out, encoder, &options);
    av_dict_free(&options);
    if (result < 0) {
        why = "cannot open the AAC encoder: " + AvError(result);
        return nullptr;
    }
    coder->fifo_ = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, channels, out->frame_size * 2);
    if (coder->fifo_ == nullptr) {
        why = "out of memory";
        return nullptr;
    }
    return coder;
}

AudioTranscoder::~AudioTranscoder()
{
    avcodec_free_context(&decoder_);
    avcodec_free_context(&encoder_);
    if (fifo_ != nullptr)
        av_audio_fifo_free(fifo_);
    av_frame_free(&decoded_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
}

int AudioTranscoder::FillParameters(AVCodecParameters& parameters) const
{
    return avcodec_parameters_from_context(&parameters, encoder_);
}

int AudioTranscoder::Feed(const uint8_t* data, size_t size, int64_t firstSample, const PacketSink& sink)
{
    // The packet only points at the caller's bytes: the decoder copies what it keeps.
    packet_->data = const_cast<uint8_t*>(data);
    packet_->size = static_cast<int>(size);
    int result = avcodec_send_packet(decoder_, packet_);
    av_packet_unref(packet_);
    if (result < 0)
        return result;
    while ((result = avcodec_receive_frame(decoder_, decoded_)) >= 0) {
        if (decoded_->format != AV_SAMPLE_FMT_S16) {
            av_frame_unref(decoded_);
            return AVERROR(EINVAL);
        }
        const int samples = decoded_->nb_samples;
        result = Place(reinterpret_cast<const int16_t*>(decoded_->data[0]), samples, firstSample, sink);
        av_frame_unref(decoded_);
        if (result < 0)
            return result;
        firstSample += samples;
    }
    return result == AVERROR(EAGAIN) || result == AVERROR_EOF ? 0 : result;
}

int AudioTranscoder::Place(const int16_t* input, int samples, int64_t firstSample, const PacketSink& sink)
{
    const int rate = encoder_->sample_rate;
    if (!started_) {
        nextSample_ = firstSample_ = firstSample;
        started_ = true;
    }
    const int64_t drift = firstSample - (nextSample_ + av_audio_fifo_size(fifo_));
    int skip = 0;
    int result = 0;
    if (drift > static_cast<int64_t>(rate) * MAX_SILENCE_SECONDS) {
        // Too long to fill: what is queued ends as a whole frame padded with silence, and the
        // encoder's next frame starts at the input's time.
        const int partial = av_audio_fifo_size(fifo_) % encoder_->frame_size;
        if (partial > 0 && (result = WriteSilence(encoder_->frame_size - partial, sink)) < 0)
            return result;
        nextSample_ = firstSample; // the fifo is empty
    } else if (drift > ToleranceSamples(rate)) {
        if ((result = WriteSilence(static_cast<int>(drift), sink)) < 0)
            return result;
    } else if (drift < -ToleranceSamples(rate)) {
        if (-drift >= samples) // all of it was placed already
            return 0;
        skip = static_cast<int>(-drift);
    }
    // Interleaved 16-bit samples to one float plane per channel.
    const int channels = decoder_->ch_layout.nb_channels;
    const int count = samples - skip;
    std::vector<float> planes(static_cast<size_t>(count) * static_cast<size_t>(channels));
    std::vector<void*> pointers(static_cast<size_t>(channels));
    for (int c = 0; c < channels; ++c) {
        float* plane = planes.data() + static_cast<size_t>(c) * static_cast<size_t>(count);
        pointers[static_cast<size_t>(c)] = plane;
        for (int i = 0; i < count; ++i)
            plane[i] = static_cast<float>(input[(skip + i) * channels + c]) / 32768.0f;
    }
    if (av_audio_fifo_write(fifo_, pointers.data(), count) < count)
        return AVERROR(ENOMEM);
    return EncodeFrames(false, sink);
}

int AudioTranscoder::WriteSilence(int samples, const PacketSink& sink)
{
    const int channels = decoder_->ch_layout.nb_channels;
    const int chunk = std::min(samples, encoder_->frame_size);
    std::vector<float> zeros(static_cast<size_t>(chunk) * static_cast<size_t>(channels));
    std::vector<void*> pointers(static_cast<size_t>(channels));
    for (int c = 0; c < channels; ++c)
        pointers[static_cast<size_t>(c)] = zeros.data() + static_cast<size_t>(c) * static_cast<size_t>(chunk);
    for (int left = samples; left > 0;) {
        const int now = std::min(left, chunk);
        if (av_audio_fifo_write(fifo_, pointers.data(), now) < now)
            return AVERROR(ENOMEM);
        left -= now;
        if (int result = EncodeFrames(false, sink); result < 0)
            return result;
    }
    return 0;
}

int AudioTranscoder::EncodeFrames(bool last, const PacketSink& sink)
{
    const int frameSize = encoder_->frame_size;
    while (av_audio_fifo_size(fifo_) >= frameSize || (last && av_audio_fifo_size(fifo_) > 0)) {
        const int samples = std::min(frameSize, av_audio_fifo_size(fifo_));
        frame_->nb_samples = samples;
        frame_->format = encoder_->sample_fmt;
        frame_->sample_rate = encoder_->sample_rate;
        int result = av_channel_layout_copy(&frame_->ch_layout, &encoder_->ch_layout);
        if (result < 0 || (result = av_frame_get_buffer(frame_, 0)) < 0)
            return result;
        if (av_audio_fifo_read(fifo_, reinterpret_cast<void**>(frame_->data), samples) < samples) {
            av_frame_unref(frame_);
            return AVERROR(EIO);
        }
        frame_->pts = nextSample_;
        nextSample_ += samples;
        result = avcodec_send_frame(encoder_, frame_);
        av_frame_unref(frame_);
        if (result < 0 || (result = Drain(sink)) < 0)
            return result;
    }
    return 0;
}

int AudioTranscoder::Drain(const PacketSink& sink)
{
    int result;
    while ((result = avcodec_receive_packet(encoder_, packet_)) >= 0) {
        result = packet_->pts < firstSample_ ? 0 : sink(*packet_);
        av_packet_unref(packet_);
        if (result < 0)
            return result;
    }
    return result == AVERROR(EAGAIN) || result == AVERROR_EOF ? 0 : result;
}

int AudioTranscoder::Flush(const PacketSink& sink)
{
    if (!started_)
        return 0;
    int result = EncodeFrames(true, sink);
    if (result < 0)
        return result;
    if ((result = avcodec_send_frame(encoder_, nullptr)) < 0)
        return result;
    return Drain(sink);
}

} // namespace segrec
