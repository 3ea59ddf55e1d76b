// SPDX-License-Identifier: Apache-2.0
#include "veilcast/movie/MovieWriter.h"

#include "AudioCopy.h"
#include "LibavError.h"
#include "LibavHandles.h"
#include "veilcast/host/ParallelRows.h"
#include "veilcast/common/UsageError.h"
#include "veilcast/media/PendingOutput.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace veilcast {

using namespace DD::Image;
namespace fs = std::filesystem;

namespace {

// How each container is written: its encoder, the pixel formats with and
// without alpha, and the encoder's settings.
struct Choice {
    const char* extension;
    const char* encoder;
    AVPixelFormat alphaFormat, opaqueFormat;  // NONE: cannot hold that
    std::vector<std::pair<const char*, const char*>> settings;
    int gopSize = 0;  // 0: the encoder's own
};

const Choice kChoices[] = {
    {".mov", "prores_ks", AV_PIX_FMT_YUVA444P10LE, AV_PIX_FMT_YUV444P10LE, {{"profile", "4444"}}},
    // libvpx cannot encode alpha with alternate reference frames.
    {".webm", "libvpx-vp9", AV_PIX_FMT_YUVA420P, AV_PIX_FMT_YUV420P,
     {{"crf", "18"}, {"b", "0"}, {"deadline", "good"}, {"cpu-used", "4"}, {"row-mt", "1"}, {"auto-alt-ref", "0"}}},
    {".mkv", "ffv1", AV_PIX_FMT_GBRAP16LE, AV_PIX_FMT_GBRP16LE, {{"level", "3"}, {"slicecrc", "1"}}, 1},
    {".mp4", "libx264", AV_PIX_FMT_NONE, AV_PIX_FMT_YUV420P, {{"crf", "12"}}},
    {".m4v", "libx264", AV_PIX_FMT_NONE, AV_PIX_FMT_YUV420P, {{"crf", "12"}}},
};

const char* const kWithAlpha = ".mov (ProRes 4444), .webm (VP9) or .mkv (FFV1)";

std::string lowerExtension(const std::string& path)
{
    std::string ext = fs::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

const Choice& choiceFor(const std::string& path, bool withAlpha)
{
    const std::string ext = lowerExtension(path);
    for (const Choice& c : kChoices)
        if (ext == c.extension) {
            if (withAlpha && c.alphaFormat == AV_PIX_FMT_NONE)
                throw UsageError(path + ": " + ext.substr(1) + " movies hold no alpha; write " + kWithAlpha +
                                 ", or turn Check Alpha on for the matte alone");
            return c;
        }
    throw UsageError(path + ": cannot write " + (ext.empty() ? "movies without an extension" : ext + " movies") +
                     "; write " + kWithAlpha + ", or .mp4 without alpha");
}

const AVCodec* encoderFor(const Choice& choice, const std::string& path)
{
    const AVCodec* encoder = avcodec_find_encoder_by_name(choice.encoder);
    if (!encoder)
        throw std::runtime_error(path + ": this FFmpeg has no " + choice.encoder + " encoder");
    return encoder;
}

}  // namespace

void checkMovieOutput(const std::string& path, bool withAlpha)
{
    checkOutputPlace(path, "movie", [&] { encoderFor(choiceFor(path, withAlpha), path); });
}

struct MovieWriter::Impl : VideoCoding {
    explicit Impl(const std::string& file) : VideoCoding(file), path(file) {}

    std::string path;
    MovieWriteOptions options;
    bool alpha = false;
    int width = 0, height = 0;
    std::optional<PendingOutput> pending;
    OutputHandle format;
    std::optional<AudioCopy> audio;
    std::vector<std::uint16_t> rgb;
    AVStream* stream = nullptr;
    long frames = 0;

    std::runtime_error fail(const std::string& why, int err) const
    {
        return std::runtime_error(path + ": cannot write: " + why + ": " + libavError(err));
    }
    void drain();
    void tag(AVDictionary** tags, const char* key, const std::string& value) const
    {
        if (const int err = av_dict_set(tags, key, value.c_str(), 0); err < 0)
            throw fail(std::string("cannot tag it with its ") + key, err);
    }
};

MovieWriter::MovieWriter(const std::string& path, int width, int height, bool withAlpha,
                         const MovieWriteOptions& options)
    : impl_(std::make_unique<Impl>(path))
{
    Impl& m = *impl_;
    m.options = options;
    m.alpha = withAlpha;
    m.width = width;
    m.height = height;
    av_log_set_level(AV_LOG_QUIET);
    const Choice& choice = choiceFor(path, withAlpha);
    const AVCodec* encoder = encoderFor(choice, path);
    const AVPixelFormat pixFmt = withAlpha ? choice.alphaFormat : choice.opaqueFormat;
    const bool rgbOut = (av_pix_fmt_desc_get(pixFmt)->flags & AV_PIX_FMT_FLAG_RGB) != 0;
    if (rgbOut) {
        m.options.colour.matrix = AVCOL_SPC_RGB;
        m.options.colour.range = AVCOL_RANGE_JPEG;
    } else if (m.options.colour.matrix == AVCOL_SPC_RGB) {
        m.options.colour.matrix = AVCOL_SPC_BT709;
        m.options.colour.range = AVCOL_RANGE_MPEG;
    }
    m.curve.emplace(m.options.colour.transfer, options.raw, path);

    m.pending.emplace(path);
    AVFormatContext* format = nullptr;
    if (const int err = avformat_alloc_output_context2(&format, nullptr, nullptr, path.c_str()); err < 0 || !format)
        throw m.fail("no container for it", err);
    m.format.reset(format);

    m.codec.reset(avcodec_alloc_context3(encoder));
    if (!m.codec)
        throw std::runtime_error(path + ": cannot write: out of memory");
    AVCodecContext& c = *m.codec;
    c.width = width;
    c.height = height;
    c.pix_fmt = pixFmt;
    c.time_base = AVRational{options.rateDen, options.rateNum};
    c.framerate = AVRational{options.rateNum, options.rateDen};
    c.sample_aspect_ratio = AVRational{1, 1};
    c.color_range = static_cast<AVColorRange>(m.options.colour.range);
    c.colorspace = static_cast<AVColorSpace>(m.options.colour.matrix);
    c.color_trc = static_cast<AVColorTransferCharacteristic>(m.options.colour.transfer);
    c.color_primaries = static_cast<AVColorPrimaries>(m.options.colour.primaries);
    c.thread_count = threadCount(options.threads);
    if (format->oformat->flags & AVFMT_GLOBALHEADER)
        c.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (choice.gopSize > 0)
        c.gop_size = choice.gopSize;
    AVDictionary* settings = nullptr;
    int opened = 0;
    for (const auto& [key, value] : choice.settings)
        if (opened >= 0)
            opened = av_dict_set(&settings, key, value, 0);
    if (opened >= 0)
        opened = avcodec_open2(&c, encoder, &settings);
    av_dict_free(&settings);
    if (opened < 0)
        throw m.fail("cannot open the " + std::string(choice.encoder) + " encoder", opened);

    m.stream = avformat_new_stream(format, nullptr);
    if (!m.stream || avcodec_parameters_from_context(m.stream->codecpar, &c) < 0)
        throw std::runtime_error(path + ": cannot write: no video stream");
    m.stream->time_base = options.timeBaseDen > 0 ? AVRational{options.timeBaseNum, options.timeBaseDen} : c.time_base;
    m.stream->avg_frame_rate = c.framerate;
    m.stream->r_frame_rate = c.framerate;
    if (!options.timecode.empty())
        m.tag(&m.stream->metadata, "timecode", options.timecode);
    if (!options.comment.empty())
        m.tag(&format->metadata, "comment", options.comment);
    m.tag(&format->metadata, "encoder", "veilcast");

    if (!options.audioSource.empty())
        m.audio.emplace(options.audioSource, format, options.audioStart, options.audioEnd, options.notice);

    if (const int err = avio_open(&format->pb, m.pending->path().c_str(), AVIO_FLAG_WRITE); err < 0)
        throw m.fail("cannot open it", err);
    if (const int err = avformat_write_header(format, nullptr); err < 0)
        throw m.fail("cannot start the movie", err);

    m.frame->format = pixFmt;
    m.frame->width = width;
    m.frame->height = height;
    m.frame->color_range = c.color_range;
    m.frame->colorspace = c.colorspace;
    m.frame->color_trc = c.color_trc;
    m.frame->color_primaries = c.color_primaries;
    if (const int err = av_frame_get_buffer(m.frame.get(), 0); err < 0)
        throw m.fail("no memory for a frame", err);
    if (!rgbOut) {
        const AVPixelFormat packed = withAlpha ? AV_PIX_FMT_RGBA64 : AV_PIX_FMT_RGB48;
        m.scale.reset(sws_getContext(width, height, packed, width, height, pixFmt,
                                     SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr));
        if (!m.scale)
            throw std::runtime_error(path + ": cannot write: no conversion to " + pixelFormatName(pixFmt));
        const int* coefficients = sws_getCoefficients(m.options.colour.matrix);
        sws_setColorspaceDetails(m.scale.get(), coefficients, 1, coefficients,
                                 m.options.colour.range == AVCOL_RANGE_JPEG, 0, 1 << 16, 1 << 16);
    }
}

MovieWriter::~MovieWriter()
{
    if (impl_) {
        // The container and the file close before the pending output removes it.
        impl_->audio.reset();
        impl_->format.reset();
    }
}

void MovieWriter::Impl::drain()
{
    for (;;) {
        const int got = avcodec_receive_packet(codec.get(), packet.get());
        if (got == AVERROR(EAGAIN) || got == AVERROR_EOF)
            return;
        if (got < 0)
            throw fail("cannot encode", got);
        av_packet_rescale_ts(packet.get(), codec->time_base, stream->time_base);
        packet->stream_index = stream->index;
        if (audio)
            audio->copyUntil(static_cast<double>(packet->dts) * av_q2d(stream->time_base), path);
        if (const int err = av_interleaved_write_frame(format.get(), packet.get()); err < 0)
            throw fail("cannot write a frame", err);
    }
}

void MovieWriter::write(const PlanarImage& image, const std::optional<FrameTime>& /*time*/)
{
    Impl& m = *impl_;
    if (static_cast<int>(image.width()) != m.width || static_cast<int>(image.height()) != m.height)
        throw std::runtime_error(m.path + ": frame " + std::to_string(m.frames + 1) + " is " +
                                 std::to_string(image.width()) + "x" + std::to_string(image.height()) +
                                 ", not the movie's " + std::to_string(m.width) + "x" + std::to_string(m.height));
    // The encoder may still hold the last frame's buffers.
    if (const int err = av_frame_make_writable(m.frame.get()); err < 0)
        throw m.fail("out of memory", err);
    const Box& box = image.box();
    const int w = m.width, channels = m.alpha ? 4 : 3;
    const bool planar = m.scale == nullptr;
    if (!planar)
        m.rgb.resize(static_cast<std::size_t>(w) * m.height * channels);
    const TransferCurve& curve = *m.curve;
    // The alpha channel is coverage, not light: it is stored as it is.
    const auto alphaCode = [](float a) {
        return static_cast<std::uint16_t>(a > 0.0f ? (a >= 1.0f ? 65535.0f : a * 65535.0f + 0.5f) : 0.0f);
    };
    const auto convertRow = [&](int y) {
        const int row = box.y + y;
        const float* r = image.row(Chan_Red, row) + box.x;
        const float* g = image.row(Chan_Green, row) + box.x;
        const float* b = image.row(Chan_Blue, row) + box.x;
        const float* a = m.alpha ? image.row(Chan_Alpha, row) + box.x : nullptr;
        if (planar) {
            // gbrap: green, blue, red, alpha planes.
            AVFrame& f = *m.frame;
            auto plane = [&](int p) { return reinterpret_cast<std::uint16_t*>(f.data[p] + static_cast<std::ptrdiff_t>(y) * f.linesize[p]); };
            std::uint16_t *pg = plane(0), *pb = plane(1), *pr = plane(2), *pa = m.alpha ? plane(3) : nullptr;
            for (int x = 0; x < w; ++x) {
                pr[x] = curve.toCode(r[x]);
                pg[x] = curve.toCode(g[x]);
                pb[x] = curve.toCode(b[x]);
                if (pa)
                    pa[x] = alphaCode(a[x]);
            }
            return;
        }
        std::uint16_t* out = m.rgb.data() + static_cast<std::size_t>(y) * w * channels;
        for (int x = 0; x < w; ++x, out += channels) {
            out[0] = curve.toCode(r[x]);
            out[1] = curve.toCode(g[x]);
            out[2] = curve.toCode(b[x]);
            if (a)
                out[3] = alphaCode(a[x]);
        }
    };
    parallelRows(0, m.height, 16, m.options.threads, [&](int begin, int end) {
        for (int y = begin; y < end; ++y)
            convertRow(y);
    });
    if (!planar) {
        const uint8_t* src[4] = {reinterpret_cast<const uint8_t*>(m.rgb.data()), nullptr, nullptr, nullptr};
        const int srcStride[4] = {w * channels * 2, 0, 0, 0};
        if (sws_scale(m.scale.get(), src, srcStride, 0, m.height, m.frame->data, m.frame->linesize) != m.height)
            throw std::runtime_error(m.path + ": cannot write: frame " + std::to_string(m.frames + 1) +
                                     " cannot be converted to " + pixelFormatName(m.frame->format));
    }
    m.frame->pts = m.frames++;
    if (const int err = avcodec_send_frame(m.codec.get(), m.frame.get()); err < 0)
        throw m.fail("cannot encode frame " + std::to_string(m.frames), err);
    m.drain();
}

void MovieWriter::finish()
{
    Impl& m = *impl_;
    if (const int err = avcodec_send_frame(m.codec.get(), nullptr); err < 0)
        throw m.fail("cannot finish encoding", err);
    m.drain();
    if (m.audio)
        m.audio->copyUntil(1e300, m.path);
    if (const int err = av_write_trailer(m.format.get()); err < 0)
        throw m.fail("cannot finish the movie", err);
    if (const int err = avio_closep(&m.format->pb); err < 0)
        throw m.fail("cannot finish the movie", err);
    m.pending->commit(m.options.cancelled);
}

}  // namespace veilcast
