#include "live_muxer.h"

#include <new>

namespace webview {

std::unique_ptr<LiveMuxer> LiveMuxer::Create(const AVCodecParameters& video, const AVCodecParameters* audio,
                                             std::vector<uint8_t>& init, std::string& why)
{
    std::unique_ptr<LiveMuxer> muxer(new LiveMuxer());
    std::vector<const AVCodecParameters*> tracks{&video};
    if (audio != nullptr)
        tracks.push_back(audio);
    LiveMuxer* self = muxer.get();
    muxer->muxer_ = ffmpeg_common::Fmp4Muxer::Create(
        tracks, 0,
        [self](const uint8_t* bytes, int size) {
            try { // nothing may be thrown through FFmpeg
                self->written_.insert(self->written_.end(), bytes, bytes + size);
            } catch (const std::bad_alloc&) {
                return AVERROR(ENOMEM);
            }
            return size;
        },
        why);
    if (!muxer->muxer_)
        return nullptr;
    init = std::move(muxer->written_);
    muxer->written_.clear();
    return muxer;
}

int LiveMuxer::Write(int track, AVPacket& packet, AVRational from)
{
    return muxer_->Write(track, packet, from);
}

int LiveMuxer::EndFragment(std::vector<uint8_t>& fragment)
{
    const int result = muxer_->EndFragment();
    fragment = std::move(written_);
    written_.clear();
    return result;
}

} // namespace webview
