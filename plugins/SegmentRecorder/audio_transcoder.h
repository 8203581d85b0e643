// G.711 (A-law, mu-law) to AAC, which the mp4 muxer can store: decoded with libavcodec, converted
// to float planar here, cut into 1024-sample frames by an AVAudioFifo and encoded with FFmpeg's
// native AAC encoder. Timestamps count samples. One per file; used by one writer thread only.
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
    // The sample count of the first sample fed, from the file's start.
    void SetStart(int64_t sample) { nextSample_ = sample; }
    bool Started() const { return started_; }
    // Decodes one G.711 frame and passes every AAC packet now complete to sink.
    int Feed(const uint8_t* data, size_t size, const PacketSink& sink);
    // Encodes what is left (a shorter last frame) and drains the encoder.
    int Flush(const PacketSink& sink);
    int SampleRate() const { return encoder_->sample_rate; }

private:
    AudioTranscoder() = default;
    int EncodeFrames(bool last, const PacketSink& sink);
    int Drain(const PacketSink& sink);

    AVCodecContext* decoder_ = nullptr;
    AVCodecContext* encoder_ = nullptr;
    AVAudioFifo* fifo_ = nullptr;
    AVFrame* decoded_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    int64_t nextSample_ = 0; // the fifo's first sample, counted from the file's start
    bool started_ = false;
};

} // namespace segrec
