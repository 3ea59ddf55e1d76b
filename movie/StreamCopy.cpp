// SPDX-License-Identifier: Apache-2.0
#include "StreamCopy.h"

#include "LibavError.h"

extern "C" {
#include <libavutil/avstring.h>
}

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace veilcast {

namespace {

constexpr AVRational kMicroseconds{1, 1000000};

// Whether the muxer takes the stream: some refuse a codec they list (Opus
// and FLAC in QuickTime) only when the header is written, so a header is
// written for it alone, into memory.
bool muxerTakes(const AVOutputFormat* format, const AVStream* source)
{
    if (avformat_query_codec(format, source->codecpar->codec_id, FF_COMPLIANCE_NORMAL) != 1)
        return false;
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

// Tags that describe the source's own coding rather than its content: the
// output has its own.
bool technicalTag(const char* key)
{
    for (const char* k : {"encoder", "major_brand", "minor_version", "compatible_brands", "timecode", "duration",
                          "_statistics_tags", "number_of_frames", "number_of_bytes", "bps", "_statistics_writing_app",
                          "_statistics_writing_date_utc", "encoder-settings"})
        if (av_strcasecmp(key, k) == 0 || av_strncasecmp(key, (std::string(k) + "-").c_str(), std::strlen(k) + 1) == 0)
            return true;
    return false;
}

void copyTags(AVDictionary* from, AVDictionary** to)
{
    const AVDictionaryEntry* e = nullptr;
    while ((e = av_dict_get(from, "", e, AV_DICT_IGNORE_SUFFIX)))
        if (!technicalTag(e->key))
            av_dict_set(to, e->key, e->value, 0);
}

const char* kindOf(AVMediaType type)
{
    return type == AVMEDIA_TYPE_AUDIO ? "audio" : "subtitles";
}

}  // namespace

StreamCopy::StreamCopy(const std::string& source, AVFormatContext* output, bool partOfMovie,
                       const std::function<void(const std::string&)>& notice)
    : output_(output)
{
    AVFormatContext* in = nullptr;
    if (avformat_open_input(&in, source.c_str(), nullptr, nullptr) < 0)
        return;
    in_.reset(in);
    if (avformat_find_stream_info(in, nullptr) < 0)
        return;
    copyTags(in->metadata, &output->metadata);
    out_.assign(in->nb_streams, nullptr);
    done_.assign(in->nb_streams, false);
    const std::string container = output->oformat->name;
    for (unsigned i = 0; i < in->nb_streams; ++i) {
        AVStream* st = in->streams[i];
        const AVMediaType type = st->codecpar->codec_type;
        if (type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_SUBTITLE)
            continue;
        const char* codec = avcodec_get_name(st->codecpar->codec_id);
        if (!muxerTakes(output->oformat, st)) {
            if (notice) {
                const AVDictionaryEntry* tag = av_dict_get(st->metadata, "language", nullptr, 0);
                const char* language = tag && std::strcmp(tag->value, "und") != 0 ? tag->value : nullptr;
                notice(std::string("the ") + kindOf(type) + " (" + codec + (language ? std::string(", ") + language : "") +
                       ") " + (type == AVMEDIA_TYPE_AUDIO ? "is" : "are") + " left out: " + container +
                       " files cannot hold " + (type == AVMEDIA_TYPE_AUDIO ? "it" : "them") + " unconverted");
            }
            continue;
        }
        AVStream* out = avformat_new_stream(output, nullptr);
        if (!out || avcodec_parameters_copy(out->codecpar, st->codecpar) < 0)
            throw std::runtime_error(source + ": cannot copy its " + kindOf(type));
        out->codecpar->codec_tag = 0;
        out->time_base = st->time_base;
        out->disposition = st->disposition;
        copyTags(st->metadata, &out->metadata);
        out_[i] = out;
    }
    // Spans are measured from where the video starts, as frame times are, so
    // that the streams stay in step and encoder priming before it stays where it was.
    const int video = av_find_best_stream(in, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (video >= 0 && in->streams[video]->start_time != AV_NOPTS_VALUE)
        origin_ = av_rescale_q(in->streams[video]->start_time, in->streams[video]->time_base, kMicroseconds);
    if (in->nb_chapters > 0 && partOfMovie && notice)
        notice("the chapters are left out: they mark the whole movie, and part of it is keyed");
    if (in->nb_chapters > 0 && !partOfMovie) {
        if (!(output->oformat->flags & AVFMT_NOTIMESTAMPS) && container != "webm") {
            auto** chapters = static_cast<AVChapter**>(av_calloc(in->nb_chapters, sizeof(AVChapter*)));
            if (!chapters)
                throw std::runtime_error(source + ": out of memory");
            output->chapters = chapters;
            for (unsigned c = 0; c < in->nb_chapters; ++c) {
                const AVChapter* from = in->chapters[c];
                auto* to = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
                if (!to)
                    throw std::runtime_error(source + ": out of memory");
                output->chapters[output->nb_chapters++] = to;
                const long long shift = av_rescale_q(origin_, kMicroseconds, from->time_base);
                to->id = from->id;
                to->time_base = from->time_base;
                to->start = std::max<long long>(0, from->start - shift);
                to->end = std::max<long long>(to->start, from->end - shift);
                copyTags(from->metadata, &to->metadata);
            }
        } else if (notice) {
            notice("the chapters are left out: " + container + " files cannot hold them here");
        }
    }
    end_ = INT64_MAX;
    // Nothing to copy: the source is not read through again at the end.
    ended_ = std::none_of(out_.begin(), out_.end(), [](const AVStream* st) { return st != nullptr; });
    pending_ = newPacket(source);
}

void StreamCopy::begin(double seconds)
{
    start_ = std::llround(seconds * 1e6);
}

void StreamCopy::end(double seconds)
{
    end_ = start_ + std::llround(seconds * 1e6);
}

void StreamCopy::copyUntil(double seconds, const std::string& target)
{
    if (!pending_)
        return;
    while (!ended_) {
        if (!pending_->data) {
            int err;
            while ((err = av_read_frame(in_.get(), pending_.get())) >= 0 &&
                   (!out_[static_cast<std::size_t>(pending_->stream_index)] ||
                    done_[static_cast<std::size_t>(pending_->stream_index)]))
                av_packet_unref(pending_.get());
            if (err < 0) {
                ended_ = true;
                break;
            }
        }
        const std::size_t index = static_cast<std::size_t>(pending_->stream_index);
        const AVRational inBase = in_->streams[index]->time_base;
        AVStream* out = out_[index];
        const long long pts = pending_->pts != AV_NOPTS_VALUE ? pending_->pts : pending_->dts;
        const long long from = (pts == AV_NOPTS_VALUE ? 0 : av_rescale_q(pts, inBase, kMicroseconds)) - origin_;
        const long long length = av_rescale_q(std::max<std::int64_t>(0, pending_->duration), inBase, kMicroseconds);
        if (start_ > 0 && from + length <= start_) {
            av_packet_unref(pending_.get());
            continue;
        }
        if (from >= end_) {
            done_[index] = true;
            av_packet_unref(pending_.get());
            bool all = true;
            for (std::size_t i = 0; i < out_.size(); ++i)
                all = all && (!out_[i] || done_[i]);
            ended_ = all;
            continue;
        }
        if (static_cast<double>(from - start_) / 1e6 >= seconds)
            return;
        // The movie starts at zero where its first frame is: a clock that
        // starts late (MPEG-TS) must not put the sound that far behind it.
        const long long shift = av_rescale_q(origin_ + start_, kMicroseconds, inBase);
        if (pending_->pts != AV_NOPTS_VALUE)
            pending_->pts -= shift;
        if (pending_->dts != AV_NOPTS_VALUE)
            pending_->dts -= shift;
        av_packet_rescale_ts(pending_.get(), inBase, out->time_base);
        pending_->stream_index = out->index;
        pending_->pos = -1;
        if (const int err = av_interleaved_write_frame(output_, pending_.get()); err < 0)
            throw std::runtime_error(target + ": cannot write its " +
                                     kindOf(in_->streams[index]->codecpar->codec_type) + ": " + libavError(err));
    }
}

}  // namespace veilcast
