// SPDX-License-Identifier: Apache-2.0
#include "veilcast/movie/MovieReader.h"

#include "LibavError.h"
#include "LibavHandles.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <thread>

namespace veilcast {

using namespace DD::Image;

namespace {

std::string tag(AVDictionary* dict, const char* key)
{
    const AVDictionaryEntry* e = av_dict_get(dict, key, nullptr, 0);
    return e ? e->value : "";
}

// Pixel aspect, display rotation and field order, as the stream is tagged.
void readGeometry(AVFormatContext* format, AVStream* st, MovieInfo& info)
{
    const AVRational aspect = av_guess_sample_aspect_ratio(format, st, nullptr);
    if (aspect.num > 0 && aspect.den > 0)
        av_reduce(&info.aspectNum, &info.aspectDen, aspect.num, aspect.den, INT32_MAX);
    std::size_t size = 0;
    if (const auto* matrix = reinterpret_cast<const std::int32_t*>(
            av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, &size));
        matrix && size >= 9 * sizeof(std::int32_t)) {
        // FFmpeg turns counter-clockwise; a display turns the other way.
        const double turn = -av_display_rotation_get(matrix);
        if (std::isfinite(turn))
            info.rotation = static_cast<int>((std::lround(turn / 90.0) % 4 + 4) % 4) * 90;
    }
    info.fieldOrder = st->codecpar->field_order;
}

// What a container's per-frame index says: the frames it shows (those an
// edit list trims away are decoded only to reach the first one shown) and
// whether they are unevenly spaced.
struct StreamIndex {
    long frames = 0;  // 0: no index of every frame
    bool variableRate = false;
};

StreamIndex readIndex(AVStream* st)
{
    StreamIndex index;
    const int entries = avformat_index_get_entries_count(st);
    if (st->nb_frames <= 0 || entries != st->nb_frames)
        return index;
    std::int64_t last = AV_NOPTS_VALUE, step = 0;
    for (int i = 0; i < entries; ++i) {
        const AVIndexEntry* e = avformat_index_get_entry(st, i);
        if (e->flags & AVINDEX_DISCARD_FRAME)
            continue;
        ++index.frames;
        if (last != AV_NOPTS_VALUE) {
            const std::int64_t d = e->timestamp - last;
            if (step == 0)
                step = d;
            else if (d != step && i + 1 < entries)  // the last sample's duration is often cut short
                index.variableRate = true;
        }
        last = e->timestamp;
    }
    return index;
}

}  // namespace

struct MovieReader::Impl : VideoCoding {
    explicit Impl(const std::string& file) : VideoCoding(file), path(file) {}

    std::string path;
    MovieInfo info;
    InputHandle format;
    std::vector<std::uint16_t> rgb;
    int stream = -1;
    int frameNumber = 0;
    FrameTime time;
    std::int64_t firstTimestamp = AV_NOPTS_VALUE;  // of the first frame shown: frame times count from it
    std::int64_t frameTicks = 0;                   // one frame at the nominal rate, in the time base
    long declaredFrames = 0;  // what the container's index says, when it has one
    bool draining = false, ended = false;

    std::runtime_error fail(const std::string& why) const { return std::runtime_error(path + ": " + why); }

    // The next decoded frame into `frame`; false at the end.
    bool decodeNext();
    void stampFrame();
    void convert(PlanarImage& out);
};

MovieReader::MovieReader(const std::string& path, const MovieReadOptions& options)
    : impl_(std::make_unique<Impl>(path))
{
    Impl& m = *impl_;
    av_log_set_level(AV_LOG_QUIET);
    AVFormatContext* format = nullptr;
    if (const int err = avformat_open_input(&format, path.c_str(), nullptr, nullptr); err < 0)
        throw m.fail("cannot open the movie: " +
                     (err == AVERROR_INVALIDDATA ? std::string("not a movie, or truncated or corrupt") : libavError(err)));
    m.format.reset(format);
    if (const int err = avformat_find_stream_info(format, nullptr); err < 0)
        throw m.fail("cannot read the movie's streams: " + libavError(err));

    m.stream = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (m.stream < 0) {
        // Cover art is a video stream of one picture, not footage.
        throw m.fail("has no video stream to key");
    }
    AVStream* st = format->streams[m.stream];
    if (st->disposition & AV_DISPOSITION_ATTACHED_PIC)
        throw m.fail("has no video stream to key (only a still picture)");
    const AVCodecParameters* par = st->codecpar;
    const AVCodec* decoder = nullptr;
    // FFmpeg's own VP9 decoder drops the alpha that WebM carries beside the picture; libvpx keeps it.
    if (par->codec_id == AV_CODEC_ID_VP9 && tag(st->metadata, "alpha_mode") == "1")
        decoder = avcodec_find_decoder_by_name("libvpx-vp9");
    if (!decoder)
        decoder = avcodec_find_decoder(par->codec_id);
    if (par->codec_id == AV_CODEC_ID_NONE || !decoder) {
        const char* name = avcodec_get_name(par->codec_id);
        std::string fourcc;
        if (par->codec_tag) {
            char text[AV_FOURCC_MAX_STRING_SIZE] = {};
            av_fourcc_make_string(text, par->codec_tag);
            fourcc = std::string(" (") + text + ")";
        }
        throw m.fail("its video codec " + std::string(par->codec_id == AV_CODEC_ID_NONE ? "" : name) + fourcc +
                     " is unknown: no decoder for it");
    }
    m.codec.reset(avcodec_alloc_context3(decoder));
    if (!m.codec || avcodec_parameters_to_context(m.codec.get(), par) < 0)
        throw m.fail("cannot set up the video decoder");
    m.codec->thread_count = threadCount(options.threads);
    m.codec->err_recognition |= AV_EF_EXPLODE;
    if (const int err = avcodec_open2(m.codec.get(), decoder, nullptr); err < 0)
        throw m.fail("cannot decode its " + std::string(decoder->name) + " video: " + libavError(err));

    MovieInfo& info = m.info;
    info.width = par->width;
    info.height = par->height;
    if (info.width <= 0 || info.height <= 0)
        throw m.fail("its video stream has no picture size (corrupt?)");
    AVRational rate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
    if (rate.num <= 0 || rate.den <= 0)
        rate = AVRational{24, 1};
    av_reduce(&info.rateNum, &info.rateDen, rate.num, rate.den, INT32_MAX);
    info.timeBaseNum = st->time_base.num;
    info.timeBaseDen = st->time_base.den;
    info.frameCount = m.declaredFrames = static_cast<long>(st->nb_frames);
    if (info.frameCount <= 0 && st->duration > 0)
        info.frameCount = static_cast<long>(av_rescale_q(st->duration, st->time_base, av_inv_q(rate)));
    info.timecode = tag(st->metadata, "timecode");
    if (info.timecode.empty())
        info.timecode = tag(format->metadata, "timecode");
    for (unsigned i = 0; info.timecode.empty() && i < format->nb_streams; ++i)
        info.timecode = tag(format->streams[i]->metadata, "timecode");
    info.codec = decoder->name;
    const auto pixFmt = static_cast<AVPixelFormat>(par->format);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(pixFmt);
    if (!desc)
        throw m.fail("its video has no known pixel format (corrupt?)");
    info.bitsPerComponent = desc->comp[0].depth;
    info.hasAlpha = (desc->flags & AV_PIX_FMT_FLAG_ALPHA) || tag(st->metadata, "alpha_mode") == "1";
    const bool fullFormat = pixFmt == AV_PIX_FMT_YUVJ420P || pixFmt == AV_PIX_FMT_YUVJ422P ||
                            pixFmt == AV_PIX_FMT_YUVJ444P || pixFmt == AV_PIX_FMT_YUVJ440P;
    VideoColour tagged;
    tagged.matrix = par->color_space;
    tagged.range = par->color_range;
    tagged.transfer = par->color_trc;
    tagged.primaries = par->color_primaries;
    info.colour = resolveVideoColour(tagged, info.width, info.height, (desc->flags & AV_PIX_FMT_FLAG_RGB) != 0, fullFormat);
    m.curve.emplace(info.colour.transfer, options.raw, path);
    readGeometry(format, st, info);
    m.frameTicks = std::max<std::int64_t>(1, av_rescale_q(1, av_inv_q(rate), st->time_base));
    if (const StreamIndex index = readIndex(st); index.frames > 0) {
        info.frameCount = m.declaredFrames = index.frames;
        info.variableRate = index.variableRate;
    } else {
        info.variableRate = av_cmp_q(st->r_frame_rate, st->avg_frame_rate) != 0 && st->avg_frame_rate.num > 0;
    }
    const int audio = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (audio >= 0)
        info.audioCodec = avcodec_get_name(format->streams[audio]->codecpar->codec_id);
}

MovieReader::~MovieReader() = default;

const MovieInfo& MovieReader::info() const
{
    return impl_->info;
}

int MovieReader::frameNumber() const
{
    return impl_->frameNumber;
}

FrameTime MovieReader::frameTime() const
{
    return impl_->time;
}

bool MovieReader::Impl::decodeNext()
{
    const auto where = [this] { return "frame " + std::to_string(frameNumber + 1) + ": "; };
    while (!ended) {
        const int got = avcodec_receive_frame(codec.get(), frame.get());
        if (got == 0) {
            if (frame->decode_error_flags || (frame->flags & AV_FRAME_FLAG_CORRUPT))
                throw fail(where() + "corrupt video data");
            ++frameNumber;
            stampFrame();
            return true;
        }
        if (got == AVERROR_EOF) {
            ended = true;
            break;
        }
        if (got != AVERROR(EAGAIN))
            throw fail(where() + "corrupt video data: " + libavError(got));
        if (draining) {
            ended = true;
            break;
        }
        int err = av_read_frame(format.get(), packet.get());
        if (err == AVERROR_EOF) {
            draining = true;
            err = avcodec_send_packet(codec.get(), nullptr);
        } else if (err < 0) {
            throw fail(where() + "cannot read the movie (truncated or corrupt): " + libavError(err));
        } else {
            if (packet->stream_index == stream) {
                if (packet->flags & AV_PKT_FLAG_CORRUPT) {
                    av_packet_unref(packet.get());
                    throw fail(where() + "truncated or corrupt video data");
                }
                err = avcodec_send_packet(codec.get(), packet.get());
            }
            av_packet_unref(packet.get());
        }
        if (err < 0 && err != AVERROR(EAGAIN) && err != AVERROR_EOF)
            throw fail(where() + "corrupt video data: " + libavError(err));
    }
    if (declaredFrames > 0 && frameNumber < declaredFrames)
        throw fail("truncated or corrupt: " + std::to_string(frameNumber) + " of its " +
                   std::to_string(declaredFrames) + " frames could be decoded");
    return false;
}

void MovieReader::Impl::stampFrame()
{
    // A frame without a timestamp follows the one before it.
    std::int64_t at = frame->best_effort_timestamp;
    if (at == AV_NOPTS_VALUE)
        at = firstTimestamp == AV_NOPTS_VALUE ? 0 : firstTimestamp + time.start + time.duration;
    if (firstTimestamp == AV_NOPTS_VALUE)
        firstTimestamp = at;
    std::int64_t start = at - firstTimestamp;
    if (frameNumber > 1 && start <= time.start)  // never shown before the frame it follows
        start = time.start + std::max<std::int64_t>(1, time.duration);
    time.start = start;
    time.duration = frame->pkt_duration > 0 ? frame->pkt_duration : frameTicks;
}

void MovieReader::Impl::convert(PlanarImage& out)
{
    const int w = frame->width, h = frame->height;
    if (w != info.width || h != info.height)
        throw fail("frame " + std::to_string(frameNumber) + " changes the picture size");
    const bool alpha = info.hasAlpha;
    const AVPixelFormat outFormat = alpha ? AV_PIX_FMT_RGBA64 : AV_PIX_FMT_RGB48;
    const int channels = alpha ? 4 : 3;
    scale.reset(sws_getCachedContext(scale.release(), w, h, static_cast<AVPixelFormat>(frame->format), w, h,
                                     outFormat, SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr,
                                     nullptr, nullptr));
    if (!scale)
        throw fail("cannot convert its pixel format " + pixelFormatName(frame->format) + " to RGB");
    const int matrix = info.colour.matrix == AVCOL_SPC_RGB ? AVCOL_SPC_BT709 : info.colour.matrix;
    sws_setColorspaceDetails(scale.get(), sws_getCoefficients(matrix), info.colour.range == AVCOL_RANGE_JPEG,
                             sws_getCoefficients(matrix), 1, 0, 1 << 16, 1 << 16);
    rgb.resize(static_cast<std::size_t>(w) * h * channels);
    uint8_t* dst[4] = {reinterpret_cast<uint8_t*>(rgb.data()), nullptr, nullptr, nullptr};
    int dstStride[4] = {w * channels * 2, 0, 0, 0};
    if (sws_scale(scale.get(), frame->data, frame->linesize, 0, h, dst, dstStride) != h)
        throw fail("frame " + std::to_string(frameNumber) + ": cannot convert it to RGB");

    std::vector<Channel> chans{Chan_Red, Chan_Green, Chan_Blue};
    if (alpha)
        chans.push_back(Chan_Alpha);
    const Box box{0, 0, w, h};
    if (out.box().x != 0 || out.box().y != 0 || out.box().r != w || out.box().t != h || out.channels() != chans)
        out = PlanarImage(box, box, chans);
    for (int y = 0; y < h; ++y) {
        const std::uint16_t* in = rgb.data() + static_cast<std::size_t>(y) * w * channels;
        float* r = out.row(Chan_Red, y);
        float* g = out.row(Chan_Green, y);
        float* b = out.row(Chan_Blue, y);
        float* a = alpha ? out.row(Chan_Alpha, y) : nullptr;
        for (int x = 0; x < w; ++x, in += channels) {
            r[x] = curve->toLinear(in[0]);
            g[x] = curve->toLinear(in[1]);
            b[x] = curve->toLinear(in[2]);
            if (a)
                a[x] = in[3] / 65535.0f;
        }
    }
}

bool MovieReader::read(PlanarImage& frame)
{
    if (!impl_->decodeNext())
        return false;
    impl_->convert(frame);
    av_frame_unref(impl_->frame.get());
    return true;
}

bool MovieReader::skip()
{
    if (!impl_->decodeNext())
        return false;
    av_frame_unref(impl_->frame.get());
    return true;
}

}  // namespace veilcast
