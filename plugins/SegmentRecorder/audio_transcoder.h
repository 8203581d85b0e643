// G.711 (A-law, mu-law) to AAC, which the mp4 muxer can store: decoded with libavcodec, converted
// to float planar here, cut into 1024-sample frames by an AVAudioFifo and encoded with FFmpeg's
// native AAC encoder. Timestamps count samples from the file's start and follow the input's: a
// hole in the input is filled with silence and an overlap is cut, so audio stays with video
// however often a camera drops frames. The encoder's first packet is its priming, 1024 samples
// before the first input sample: it is never passed on, so the file's audio starts and ends with
// its input (the first frame decodes with a short fade in, as the first packet of any cut does).
// One per file; used by one writer thread only.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/audio_fifo.h>
}

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace segrec {

// Takes each encoded packet (timestamps in samples, 1/sampleRate); a negative return stops the work.
using PacketSink = std::function<int(AVPacket&)>;

class AudioTranscoder {
public:
    // codec: AV_CODEC_ID_PCM_ALAW or AV_CODEC_ID_PCM_MULAW. Null with the reason in why.
    static std::unique_ptr<AudioTranscoder> Create(AVCodecID codec, int sampleRate, int channels, std::string& why);
    ~AudioTranscoder();
    AudioTranscoder(const AudioTranscoder&) = delete;
    AudioTranscoder& operator=(const AudioTranscoder&) = delete;

    // The encoder's parameters for the file's audio track (extradata included).
    int FillParameters(AVCodecParameters& parameters) const;
    // Decodes one G.711 frame whose first sample is at firstSample (counted from the file's start)
    // and passes every AAC packet now complete to sink.
    int Feed(const uint8_t* data, size_t size, int64_t firstSample, const PacketSink& sink);
    // Encodes what is left (a shorter last frame) and drains the encoder.
    int Flush(const PacketSink& sink);
    int SampleRate() const { return encoder_->sample_rate; }

private:
    AudioTranscoder() = default;
    // Places decoded samples (interleaved 16-bit) at firstSample: after silence for a hole, less
    // what overlaps the samples already placed.
    int Place(const int16_t* input, int samples, int64_t firstSample, const PacketSink& sink);
    int WriteSilence(int samples, const PacketSink& sink);
    int EncodeFrames(bool last, const PacketSink& sink);
    int Drain(const PacketSink& sink);

    AVCodecContext* decoder_ = nullptr;
    AVCodecContext* encoder_ = nullptr;
    AVAudioFifo* fifo_ = nullptr;
    AVFrame* decoded_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    int64_t nextSample_ = 0;  // the fifo's first sample, counted from the file's start
    int64_t firstSample_ = 0; // the first sample placed: packets before it are the priming
    bool started_ = false;    // a sample was placed: nextSample_ and firstSample_ hold
};

} // namespace segrec
