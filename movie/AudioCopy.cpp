// SPDX-License-Identifier: Apache-2.0
#include "AudioCopy.h"

#include "LibavError.h"

#include <cmath>
#include <cstdint>
#include <stdexcept>

namespace veilcast {

namespace {

// Whether the muxer takes the stream: some refuse a codec they list (Opus
// and FLAC in QuickTime) only when the header is written, so a header is
// written for it alone, into memory.
bool muxerTakes(const AVOutputFormat* format, const AVStream* source)
{
    AVFormatContext* trial = nullptr;
    if (avformat_alloc_output_context2(&trial, format, nullptr, nullptr) < 0 || !trial)
        return false;
    OutputHandle owner(trial);
    AVStream* st = avformat_new_stream(trial, nullptr);
    if (!st || avcodec_parameters_copy(st->codecpar, source->codecpar) < 0)
        return false;
    st->codecpar->codec_tag = 0;
    st->time_base = source->time_base;
    if (avio_open_dyn_buf(&trial->pb) < 0)
        return false;
    const bool takes = avformat_write_header(trial, nullptr) >= 0;
    if (takes)
        av_write_trailer(trial);
    std::uint8_t* bytes = nullptr;
    avio_close_dyn_buf(trial->pb, &bytes);
    av_free(bytes);
    trial->pb = nullptr;
    return takes;
}

}  // namespace

AudioCopy::AudioCopy(const std::string& source, AVFormatContext* output,
                     const std::function<void(const std::string&)>& notice)
    : output_(output)
{
    AVFormatContext* in = nullptr;
    if (avformat_open_input(&in, source.c_str(), nullptr, nullptr) < 0)
        return;
    in_.reset(in);
    if (avformat_find_stream_info(in, nullptr) < 0)
        return;
    stream_ = av_find_best_stream(in, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (stream_ < 0)
        return;
    const AVStream* st = in_->streams[stream_];
    const AVCodecID codec = st->codecpar->codec_id;
    if (avformat_query_codec(output->oformat, codec, FF_COMPLIANCE_NORMAL) != 1 || !muxerTakes(output->oformat, st)) {
        if (notice)
            notice("the audio (" + std::string(avcodec_get_name(codec)) + ") is left out: " +
                   output->oformat->name + " files cannot hold it unconverted");
        return;
    }
    out_ = avformat_new_stream(output, nullptr);
    if (!out_ || avcodec_parameters_copy(out_->codecpar, st->codecpar) < 0)
        throw std::runtime_error(source + ": cannot copy its audio");
    out_->codecpar->codec_tag = 0;
    out_->time_base = st->time_base;
    // Spans are measured from where the video starts, as frame times are, so
    // the two stay in step and encoder priming before it stays where it was.
    const int video = av_find_best_stream(in, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (video >= 0 && in->streams[video]->start_time != AV_NOPTS_VALUE)
        origin_ = av_rescale_q(in->streams[video]->start_time, in->streams[video]->time_base, st->time_base);
    end_ = INT64_MAX;
    pending_ = newPacket(source);
}

long long AudioCopy::toStream(double seconds) const
{
    return av_rescale_q(static_cast<long long>(std::llround(seconds * 1e6)), AVRational{1, 1000000},
                        in_->streams[stream_]->time_base);
}

void AudioCopy::begin(double seconds)
{
    if (out_)
        start_ = toStream(seconds);
}

void AudioCopy::end(double seconds)
{
    if (out_)
        end_ = start_ + toStream(seconds);
}

void AudioCopy::copyUntil(double seconds, const std::string& target)
{
    if (!out_)
        return;
    const AVRational inBase = in_->streams[stream_]->time_base;
    while (!ended_) {
        if (!pending_->data) {
            int err;
            while ((err = av_read_frame(in_.get(), pending_.get())) >= 0 && pending_->stream_index != stream_)
                av_packet_unref(pending_.get());
            if (err < 0) {
                ended_ = true;
                break;
            }
        }
        const long long pts = pending_->pts != AV_NOPTS_VALUE ? pending_->pts : pending_->dts;
        const long long from = pts == AV_NOPTS_VALUE ? 0 : pts - origin_;
        if (start_ > 0 && from + pending_->duration <= start_) {
            av_packet_unref(pending_.get());
            continue;
        }
        if (from >= end_) {
            ended_ = true;
            av_packet_unref(pending_.get());
            break;
        }
        if (static_cast<double>(from - start_) * av_q2d(inBase) >= seconds)
            return;
        // The movie starts at zero where its first frame is: a clock that
        // starts late (MPEG-TS) must not put the sound that far behind it.
        if (pending_->pts != AV_NOPTS_VALUE)
            pending_->pts -= origin_ + start_;
        if (pending_->dts != AV_NOPTS_VALUE)
            pending_->dts -= origin_ + start_;
        av_packet_rescale_ts(pending_.get(), inBase, out_->time_base);
        pending_->stream_index = out_->index;
        pending_->pos = -1;
        if (const int err = av_interleaved_write_frame(output_, pending_.get()); err < 0)
            throw std::runtime_error(target + ": cannot write the audio: " + libavError(err));
    }
}

}  // namespace veilcast
