// SPDX-License-Identifier: Apache-2.0
#include "veilcast/movie/MovieWriter.h"

#include "StreamCopy.h"
#include "LibavError.h"
#include "LibavHandles.h"
#include "veilcast/common/Cancellation.h"
#include "veilcast/common/UsageError.h"
#include "veilcast/common/Worker.h"
#include "veilcast/host/ParallelRows.h"
#include "veilcast/media/PendingOutput.h"
#include "veilcast/media/FileExtensions.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <future>
#include <map>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace veilcast {

using namespace DD::Image;
namespace fs = std::filesystem;

namespace {

// Slice threads an encoder gets when every core is asked for: on two cores,
// 16 keyed a 1080p ProRes 4444 clip in 0.90x the time of 2, and 0.97x that
// of 8, with the same peak memory.
constexpr int kSliceThreadsOnEveryCore = 16;

// How each codec is written: the containers it fits (the first is the one
// whose extension picks it), the pixel formats with and without alpha, and
// the encoder's settings.
struct Choice {
    const char* name;  // as --codec takes it
    const char* encoder;
    const char* label;  // the codec, as a user knows it
    std::vector<const char*> extensions;
    AVPixelFormat alphaFormat, opaqueFormat;  // NONE: cannot hold that
    // The bitstream says whether its YUV is full range; ProRes and DNxHR
    // cannot, and every reader takes them as limited.
    bool fullRange;
    std::vector<std::pair<const char*, const char*>> settings;
    int gopSize = 0;  // 0: the encoder's own
    // Lossless: a YUV source keeps its sampling, depth and range.
    bool keepsSourceLayout = false;
    // Picked by a container's extension, not only by --codec.
    bool byExtension = false;
    int minWidth = 0, minHeight = 0;  // the encoder's smallest picture
};

const Choice kChoices[] = {
    {"prores4444", "prores_ks", "ProRes 4444", {".mov"}, AV_PIX_FMT_YUVA444P10LE, AV_PIX_FMT_YUV444P10LE, false,
     {{"profile", "4444"}}, 0, false, true},
    {"prores4444xq", "prores_ks", "ProRes 4444 XQ", {".mov"}, AV_PIX_FMT_YUVA444P10LE, AV_PIX_FMT_YUV444P10LE, false,
     {{"profile", "4444xq"}}},
    {"prores422hq", "prores_ks", "ProRes 422 HQ", {".mov"}, AV_PIX_FMT_NONE, AV_PIX_FMT_YUV422P10LE, false,
     {{"profile", "hq"}}},
    {"prores422", "prores_ks", "ProRes 422", {".mov"}, AV_PIX_FMT_NONE, AV_PIX_FMT_YUV422P10LE, false,
     {{"profile", "standard"}}},
    {"dnxhr_hqx", "dnxhd", "DNxHR HQX", {".mov"}, AV_PIX_FMT_NONE, AV_PIX_FMT_YUV422P10LE, false,
     {{"profile", "dnxhr_hqx"}}, 0, false, false, 256, 120},
    {"dnxhr_444", "dnxhd", "DNxHR 444", {".mov"}, AV_PIX_FMT_NONE, AV_PIX_FMT_YUV444P10LE, false,
     {{"profile", "dnxhr_444"}}, 0, false, false, 256, 120},
    {"ffv1", "ffv1", "FFV1", {".mkv"}, AV_PIX_FMT_GBRAP16LE, AV_PIX_FMT_GBRP16LE, true, {{"level", "3"}, {"slicecrc", "1"}},
     1, true, true},
    // libvpx cannot encode alpha with alternate reference frames.
    {"vp9", "libvpx-vp9", "VP9", {".webm", ".mkv"}, AV_PIX_FMT_YUVA420P, AV_PIX_FMT_YUV420P, true,
     {{"crf", "18"}, {"b", "0"}, {"deadline", "good"}, {"cpu-used", "4"}, {"row-mt", "1"}, {"auto-alt-ref", "0"}}, 0,
     false, true},
    {"h264", "libx264", "H.264", {".mp4", ".m4v"}, AV_PIX_FMT_NONE, AV_PIX_FMT_YUV420P, true, {{"crf", "12"}}, 0, false,
     true},
};

const char* const kWithAlpha = ".mov (ProRes 4444), .webm (VP9) or .mkv (FFV1)";

bool fits(const Choice& c, const std::string& ext)
{
    return std::find_if(c.extensions.begin(), c.extensions.end(), [&](const char* e) { return ext == e; }) !=
           c.extensions.end();
}

const Choice* namedChoice(const std::string& codec)
{
    for (const Choice& c : kChoices)
        if (codec == c.name && c.name != std::string("h264"))
            return &c;
    return nullptr;
}

// The codec for `path`: the one asked for, else its container's own. An
// asked-for codec without alpha drops the matte (the caller warns); a
// container's own refuses a result with alpha.
const Choice& choiceFor(const std::string& path, bool withAlpha, const std::string& codec = {})
{
    const std::string ext = lowerExtension(path);
    if (!codec.empty()) {
        const Choice* c = namedChoice(codec);
        if (!c)
            throw UsageError(Wording{"", UserChoice::Codec, " \"" + codec + "\" is not one this tool writes: " +
                                                                   movieCodecNames()});
        if (!fits(*c, ext)) {
            std::string fitting;
            for (const char* e : c->extensions)
                fitting += (fitting.empty() ? "" : " or ") + std::string(e);
            throw UsageError(Wording{path + ": ", UserChoice::Codec, " " + codec + " is written into " + fitting +
                                                                         ", not " + (ext.empty() ? "a file without an extension" : ext)});
        }
        return *c;
    }
    for (const Choice& c : kChoices)
        if (c.byExtension && fits(c, ext) && ext == c.extensions.front()) {
            if (withAlpha && c.alphaFormat == AV_PIX_FMT_NONE)
                throw UsageError(path + ": " + ext.substr(1) + " movies hold no alpha; write " + kWithAlpha +
                                 ", or turn Check Alpha on for the matte alone");
            return c;
        }
    for (const Choice& c : kChoices)
        if (c.byExtension && fits(c, ext))
            return c;
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

// A lossless codec's format for a planar YUV source: the same sampling, at
// the source's depth or the least above it that the encoder has, and with
// alpha at 16 bits, so that a soft matte is not cut to the picture's 8 or
// 10; NONE for a source that is not planar YUV.
AVPixelFormat sourceLayout(const AVCodec& encoder, int source, bool withAlpha)
{
    const AVPixFmtDescriptor* from = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(source));
    const std::uint64_t notYuv = AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_HWACCEL |
                                 AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_FLOAT;
    if (!from || (from->flags & notYuv) || !(from->flags & AV_PIX_FMT_FLAG_PLANAR) || from->nb_components < 3)
        return AV_PIX_FMT_NONE;
    AVPixelFormat best = AV_PIX_FMT_NONE;
    int bestDepth = 99;
    for (const AVPixelFormat* f = encoder.pix_fmts; f && *f != AV_PIX_FMT_NONE; ++f) {
        const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(*f);
        if (!d || (d->flags & (notYuv | AV_PIX_FMT_FLAG_BE)) || !(d->flags & AV_PIX_FMT_FLAG_PLANAR) ||
            d->nb_components != (withAlpha ? 4 : 3) || d->log2_chroma_w != from->log2_chroma_w ||
            d->log2_chroma_h != from->log2_chroma_h || d->comp[0].plane != 0 || d->comp[1].plane != 1 || d->comp[2].plane != 2)
            continue;
        const int depth = d->comp[0].depth;
        if (depth >= (withAlpha ? 16 : from->comp[0].depth) && depth < bestDepth)
            best = *f, bestDepth = depth;
    }
    return best;
}

}  // namespace

std::string movieCodecNames()
{
    std::string names;
    for (const Choice& c : kChoices)
        if (c.name != std::string("h264"))
            names += (names.empty() ? "" : ", ") + std::string(c.name) + " (" + c.extensions.front() +
                     (c.alphaFormat == AV_PIX_FMT_NONE ? ", no alpha" : "") + ")";
    return names;
}

bool checkMovieOutput(const std::string& path, bool withAlpha, const std::string& codec)
{
    bool storesAlpha = withAlpha;
    checkOutputPlace(path, "movie", [&] {
        const Choice& choice = choiceFor(path, withAlpha, codec);
        encoderFor(choice, path);
        storesAlpha = withAlpha && choice.alphaFormat != AV_PIX_FMT_NONE;
    });
    return storesAlpha;
}

void checkMovieFrameSize(const std::string& path, int width, int height, bool withAlpha, const std::string& codec)
{
    const Choice& choice = choiceFor(path, withAlpha, codec);
    const bool alpha = withAlpha && choice.alphaFormat != AV_PIX_FMT_NONE;
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(alpha ? choice.alphaFormat : choice.opaqueFormat);
    if (width < choice.minWidth || height < choice.minHeight)
        throw UsageError(path + ": " + choice.label + " needs frames of at least " + std::to_string(choice.minWidth) + "x" +
                         std::to_string(choice.minHeight) + ", and the frames are " + std::to_string(width) + "x" +
                         std::to_string(height) + "; write ProRes or FFV1 instead");
    const bool oddWidth = desc->log2_chroma_w && width % 2, oddHeight = desc->log2_chroma_h && height % 2;
    if (oddWidth || oddHeight)
        throw UsageError(path + ": " + choice.label + " stores colour at half " +
                         (desc->log2_chroma_h ? "size (4:2:0) and needs an even width and height"
                                              : "width (4:2:2) and needs an even width") +
                         ", and the frames are " + std::to_string(width) + "x" + std::to_string(height) +
                         "; write .mov (ProRes 4444) or .mkv, or crop the frames to an even size");
}

namespace {

// Floats from 2^-16 to 1, by their exponent and top 11 mantissa bits.
constexpr int kTableShift = 12;
constexpr std::uint32_t kTableLow = 0x37800000u;   // 2^-16
constexpr std::uint32_t kTableHigh = 0x3F800000u;  // 1

std::uint32_t floatBits(float v)
{
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

}  // namespace

struct MovieWriter::Impl : VideoCoding {
    explicit Impl(const std::string& file) : VideoCoding(file), spare(av_frame_alloc()), path(file)
    {
        if (!spare)
            throw std::runtime_error(file + ": out of memory");
    }

    // The frame the caller fills while the encoder has the other.
    FrameHandle spare;
    std::string path;
    MovieWriteOptions options;
    VideoColour colour;  // as written and tagged
    bool alpha = false;
    int width = 0, height = 0;
    std::optional<PendingOutput> pending;
    OutputHandle format;
    std::optional<StreamCopy> audio;
    AVStream* stream = nullptr;
    long frames = 0;

    // How frames are coded: YUV weights and levels, or RGB planes.
    bool yuv = false, fullRange = false;
    int bits = 8, chromaShiftX = 0, chromaShiftY = 0;
    // The transfer's codes (0..1) by the top bits of a linear float, for
    // outputs of 12 bits or fewer: a power per pixel and channel costs more
    // than the rest of the conversion.
    std::vector<float> encodeTable;
    double encode(float linear) const
    {
        const std::uint32_t b = floatBits(linear);
        if (b - kTableLow >= kTableHigh - kTableLow || encodeTable.empty())
            return linear == 0.0f ? 0.0 : curve->linearToCode(linear);
        // Between two entries the curve is near enough straight.
        const std::uint32_t i = (b - kTableLow) >> kTableShift;
        const float t = static_cast<float>(b & ((1u << kTableShift) - 1)) / static_cast<float>(1u << kTableShift);
        return encodeTable[i] + t * (encodeTable[i + 1] - encodeTable[i]);
    }
    double kr = 0.2126, kb = 0.0722;

    // Time, in the codec's time base: one frame at the rate, the first
    // frame's own time, where the next untimed frame goes, and each frame's
    // duration by its time until its packet comes out.
    AVRational base{1, 24};
    std::int64_t frameTicks = 1, firstStart = 0, nextPts = 0, lastPts = -1;
    std::map<std::int64_t, std::int64_t> durations;

    // Frames are encoded on a thread of their own, one behind the caller.
    std::optional<Worker> worker;
    std::future<void> encoding;
    bool flushing = false;
    bool started = false;  // rows of the next frame are in `spare`

    std::runtime_error fail(const std::string& why, int err) const
    {
        return std::runtime_error(path + ": cannot write: " + why + ": " + libavError(err));
    }
    void tag(AVDictionary** tags, const char* key, const std::string& value) const
    {
        if (const int err = av_dict_set(tags, key, value.c_str(), 0); err < 0)
            throw fail(std::string("cannot tag it with its ") + key, err);
    }
    AVPixelFormat chooseLayout(const Choice& choice, const AVCodec& encoder);
    void openEncoder(const Choice& choice, const AVCodec& encoder, AVPixelFormat pixFmt);
    void startContainer();
    void allocate(AVFrame& f, AVPixelFormat pixFmt) const;
    // The rows of `image` into `f` as its rows from `firstRow` on.
    void convert(const PlanarImage& image, AVFrame& f, int firstRow) const;
    // Chroma rows `begin`..`end`-1 (each with the luma rows it covers) in
    // codes of `Code`'s width.
    template <typename Code>
    void convertRows(const PlanarImage& image, AVFrame& f, int firstRow, int begin, int end) const;
    void encode(AVFrame* f);
    void drain();
    // Hands `f` (null: the end of the stream) to the encoding thread once it
    // is free; a failure there is thrown here.
    void post(AVFrame* f);
    void waitIdle();
};

void MovieWriter::Impl::allocate(AVFrame& f, AVPixelFormat pixFmt) const
{
    f.format = pixFmt;
    f.width = width;
    f.height = height;
    f.color_range = codec->color_range;
    f.colorspace = codec->colorspace;
    f.color_trc = codec->color_trc;
    f.color_primaries = codec->color_primaries;
    f.sample_aspect_ratio = codec->sample_aspect_ratio;
    if (codec->field_order > AV_FIELD_PROGRESSIVE) {
        f.interlaced_frame = 1;
        f.top_field_first = codec->field_order == AV_FIELD_TT || codec->field_order == AV_FIELD_BT;
    }
    if (const int err = av_frame_get_buffer(&f, 0); err < 0)
        throw fail("no memory for a frame", err);
}

MovieWriter::MovieWriter(const std::string& path, int width, int height, bool withAlpha,
                         const MovieWriteOptions& options)
    : impl_(std::make_unique<Impl>(path))
{
    Impl& m = *impl_;
    m.options = options;
    m.width = width;
    m.height = height;
    av_log_set_level(AV_LOG_QUIET);
    const Choice& choice = choiceFor(path, withAlpha, options.codec);
    const AVCodec* encoder = encoderFor(choice, path);
    checkMovieFrameSize(path, width, height, withAlpha, options.codec);
    // A codec asked for without alpha keeps the colour alone (the job warned).
    m.alpha = withAlpha && choice.alphaFormat != AV_PIX_FMT_NONE;
    const AVPixelFormat pixFmt = m.chooseLayout(choice, *encoder);

    m.pending.emplace(path);
    AVFormatContext* format = nullptr;
    if (const int err = avformat_alloc_output_context2(&format, nullptr, nullptr, path.c_str()); err < 0 || !format)
        throw m.fail("no container for it", err);
    m.format.reset(format);
    m.openEncoder(choice, *encoder, pixFmt);
    m.startContainer();

    m.allocate(*m.frame, pixFmt);
    m.allocate(*m.spare, pixFmt);
    m.worker.emplace();
}

// The encoder's pixel format, and with it the colour it is tagged with and
// how codes are made.
AVPixelFormat MovieWriter::Impl::chooseLayout(const Choice& choice, const AVCodec& encoder)
{
    Impl& m = *this;
    AVPixelFormat pixFmt = m.alpha ? choice.alphaFormat : choice.opaqueFormat;
    if (choice.keepsSourceLayout && options.sourcePixelFormat >= 0) {
        const AVPixelFormat kept = sourceLayout(encoder, options.sourcePixelFormat, m.alpha);
        const AVPixFmtDescriptor* k = av_pix_fmt_desc_get(kept);
        if (k && !(k->log2_chroma_w && width % 2) && !(k->log2_chroma_h && height % 2))
            pixFmt = kept;
    }
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(pixFmt);
    colour = options.colour;
    m.yuv = (desc->flags & AV_PIX_FMT_FLAG_RGB) == 0;
    if (!m.yuv) {
        colour.matrix = AVCOL_SPC_RGB;
        colour.range = AVCOL_RANGE_JPEG;
    } else {
        if (!lumaWeights(colour.matrix, m.kr, m.kb)) {
            colour.matrix = AVCOL_SPC_BT709;
            lumaWeights(colour.matrix, m.kr, m.kb);
        }
        if (colour.range != AVCOL_RANGE_JPEG || !choice.fullRange)
            colour.range = AVCOL_RANGE_MPEG;
    }
    m.fullRange = colour.range == AVCOL_RANGE_JPEG;
    m.bits = desc->comp[0].depth;
    m.chromaShiftX = desc->log2_chroma_w;
    m.chromaShiftY = desc->log2_chroma_h;
    // A matte is coverage: stored as it is and tagged so.
    if (options.matte)
        colour.transfer = AVCOL_TRC_LINEAR;
    m.curve.emplace(colour.transfer, options.raw || options.matte, path);
    if (m.bits <= 12) {
        m.encodeTable.resize(((kTableHigh - kTableLow) >> kTableShift) + 1);
        for (std::size_t i = 0; i < m.encodeTable.size(); ++i) {
            const std::uint32_t b = kTableLow + (static_cast<std::uint32_t>(i) << kTableShift);
            float v;
            std::memcpy(&v, &b, sizeof v);
            m.encodeTable[i] = static_cast<float>(m.curve->toCode(v) / 65535.0);
        }
    }

    return pixFmt;
}

void MovieWriter::Impl::openEncoder(const Choice& choice, const AVCodec& codecFound, AVPixelFormat pixFmt)
{
    Impl& m = *this;
    const AVCodec* encoder = &codecFound;
    AVFormatContext* container = m.format.get();
    m.codec.reset(avcodec_alloc_context3(encoder));
    if (!m.codec)
        throw std::runtime_error(path + ": cannot write: out of memory");
    AVCodecContext& c = *m.codec;
    const AVRational rate{options.rateNum, options.rateDen};
    m.base = options.timeBaseDen > 0 ? AVRational{options.timeBaseNum, options.timeBaseDen} : av_inv_q(rate);
    m.frameTicks = std::max<std::int64_t>(1, av_rescale_q(1, av_inv_q(rate), m.base));
    c.width = width;
    c.height = height;
    c.pix_fmt = pixFmt;
    c.time_base = m.base;
    c.framerate = rate;
    c.sample_aspect_ratio = AVRational{std::max(1, options.aspectNum), std::max(1, options.aspectDen)};
    c.color_range = static_cast<AVColorRange>(colour.range);
    c.colorspace = static_cast<AVColorSpace>(colour.matrix);
    c.color_trc = static_cast<AVColorTransferCharacteristic>(colour.transfer);
    c.color_primaries = static_cast<AVColorPrimaries>(colour.primaries);
    c.field_order = static_cast<AVFieldOrder>(options.fieldOrder);
    // Interlaced pictures are coded field by field where the codec can.
    if (options.fieldOrder > AV_FIELD_PROGRESSIVE)
        c.flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
    c.thread_count = threadCount(options.threads);
    // Threads on slices of one picture where the codec has them: each thread
    // on a picture of its own would hold a packet buffer and a frame apiece
    // (a ProRes 4444 frame's bound is tens of megabytes). On every core, more
    // slice threads than cores: the encoder is the stage the others wait on,
    // and with one thread per core the decoder's and the keying's threads
    // take half the machine from it whenever they run. The bytes coded do
    // not depend on the count.
    if (encoder->capabilities & AV_CODEC_CAP_SLICE_THREADS) {
        c.thread_type = FF_THREAD_SLICE;
        if (options.threads <= 0)
            c.thread_count = std::max(c.thread_count, kSliceThreadsOnEveryCore);
    }
    if (container->oformat->flags & AVFMT_GLOBALHEADER)
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

}

// The video stream, its tags and the source's other streams, then the
// container's header.
namespace {

// --date-time as a container's creation time (ISO 8601, UTC); empty where
// the source's stays.
std::string creationTime(const std::string& dateTime)
{
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (dateTime == "now") {
        const std::time_t now = std::time(nullptr);
        std::tm utc{};
        gmtime_r(&now, &utc);
        y = utc.tm_year + 1900, mo = utc.tm_mon + 1, d = utc.tm_mday, h = utc.tm_hour, mi = utc.tm_min, s = utc.tm_sec;
    } else if (std::sscanf(dateTime.c_str(), "%d:%d:%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s) != 6) {
        return {};
    }
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.000000Z", y, mo, d, h, mi, s);
    return text;
}

}  // namespace

void MovieWriter::Impl::startContainer()
{
    Impl& m = *this;
    AVFormatContext* container = m.format.get();
    AVCodecContext& c = *m.codec;
    const AVRational rate{options.rateNum, options.rateDen};
    m.stream = avformat_new_stream(container, nullptr);
    if (!m.stream || avcodec_parameters_from_context(m.stream->codecpar, &c) < 0)
        throw std::runtime_error(path + ": cannot write: no video stream");
    m.stream->time_base = m.base;
    m.stream->avg_frame_rate = rate;
    m.stream->r_frame_rate = rate;
    m.stream->sample_aspect_ratio = c.sample_aspect_ratio;
    if (options.rotation % 360 != 0) {
        const bool holds = std::string(container->oformat->name).find("mov") != std::string::npos ||
                           std::string(container->oformat->name) == "mp4";
        if (holds) {
            auto* matrix = reinterpret_cast<std::int32_t*>(
                av_stream_new_side_data(m.stream, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(std::int32_t)));
            if (!matrix)
                throw std::runtime_error(path + ": cannot write: out of memory");
            // Set clockwise, though FFmpeg reads the angle back counter-clockwise.
            av_display_rotation_set(matrix, options.rotation);
        } else if (options.notice) {
            options.notice("the rotation (" + std::to_string(options.rotation) + " degrees for display) is left out: " +
                           container->oformat->name + " files cannot hold it here");
        }
    }
    // The source's metadata first: ours is written over it, never under.
    if (!options.audioSource.empty())
        m.audio.emplace(options.audioSource, container, !options.audioToEnd, options.notice);
    if (!options.timecode.empty())
        m.tag(&m.stream->metadata, "timecode", options.timecode);
    if (!options.settings.empty())
        m.tag(&container->metadata, "veilcast:settings", options.settings);
    m.tag(&container->metadata, "encoder", "veilcast");
    if (const std::string when = creationTime(options.dateTime); !when.empty())
        m.tag(&container->metadata, "creation_time", when);
    // Identifiers the muxer would draw at random (Matroska's) are then made
    // from the content, so that the same run writes the same bytes.
    if (!options.dateTime.empty() && options.dateTime != "now")
        container->flags |= AVFMT_FLAG_BITEXACT;

    if (const int err = avio_open(&container->pb, m.pending->path().c_str(), AVIO_FLAG_WRITE); err < 0)
        throw m.fail("cannot open it", err);
    // QuickTime keeps keys of its own (ours among them) only as metadata tags.
    AVDictionary* muxing = nullptr;
    if (std::string(container->oformat->name).find("mov") != std::string::npos || std::string(container->oformat->name) == "mp4")
        av_dict_set(&muxing, "movflags", "use_metadata_tags", 0);
    const int headed = avformat_write_header(container, &muxing);
    av_dict_free(&muxing);
    if (headed < 0)
        throw m.fail("cannot start the movie", headed);
}

MovieWriter::~MovieWriter()
{
    if (impl_) {
        impl_->worker.reset();
        // The container and the file close before the pending output removes it.
        impl_->audio.reset();
        impl_->format.reset();
    }
}

void MovieWriter::Impl::waitIdle()
{
    if (encoding.valid())
        encoding.get();
}

void MovieWriter::Impl::post(AVFrame* f)
{
    waitIdle();
    encoding = worker->submit([this, f] { encode(f); });
}

void MovieWriter::Impl::encode(AVFrame* f)
{
    if (const int err = avcodec_send_frame(codec.get(), f); err < 0)
        throw f ? fail("cannot encode the frame shown at " + std::to_string(static_cast<double>(f->pts) * av_q2d(codec->time_base)) + " s", err)
                : fail("cannot finish encoding", err);
    drain();
}

void MovieWriter::Impl::drain()
{
    for (;;) {
        // An interrupt while the encoder empties stops it there.
        if (flushing && options.cancelled && options.cancelled())
            throw Cancelled();
        const int got = avcodec_receive_packet(codec.get(), packet.get());
        if (got == AVERROR(EAGAIN) || got == AVERROR_EOF)
            return;
        if (got < 0)
            throw fail("cannot encode", got);
        if (const auto d = durations.find(packet->pts); d != durations.end()) {
            packet->duration = d->second;
            durations.erase(d);
        }
        av_packet_rescale_ts(packet.get(), codec->time_base, stream->time_base);
        packet->stream_index = stream->index;
        if (audio)
            audio->copyUntil(static_cast<double>(packet->dts) * av_q2d(stream->time_base), path);
        if (const int err = av_interleaved_write_frame(format.get(), packet.get()); err < 0)
            throw fail("cannot write a frame", err);
    }
}

namespace {

template <typename T>
T* planeRow(const AVFrame& f, int plane, int y)
{
    return reinterpret_cast<T*>(f.data[plane] + static_cast<std::ptrdiff_t>(y) * f.linesize[plane]);
}

// A value rounded to its code, held to 0..`top` (NaN to 0). Once held, the
// value plus a half is positive, so truncating it rounds as floor would,
// without a branch.
int level(double v, double top)
{
    v = v > 0.0 ? v : 0.0;
    v = v < top ? v : top;
    return static_cast<int>(v + 0.5);
}

}  // namespace

// Straight from the keyed float planes to the encoder's own pixel format,
// rounded to its levels: no picture-sized buffer between them. Colour is
// not clipped before the matrix, so codes above white and colours outside
// 0..1 that came in go out as they were; each code is then held to what its
// bits store, so that a brighter value clips at the top and never wraps.
void MovieWriter::Impl::convert(const PlanarImage& image, AVFrame& f, int firstRow) const
{
    // A chroma sample covers 1 << chromaShiftY rows.
    const int yStep = 1 << chromaShiftY;
    const int first = firstRow / yStep, last = (firstRow + static_cast<int>(image.height())) / yStep;
    parallelRows(first, last, std::max(1, 16 / yStep), options.threads, [&](int begin, int end) {
        if (bits > 8)
            convertRows<std::uint16_t>(image, f, firstRow, begin, end);
        else
            convertRows<std::uint8_t>(image, f, firstRow, begin, end);
    });
}

template <typename Code>
void MovieWriter::Impl::convertRows(const PlanarImage& image, AVFrame& f, int firstRow, int begin, int end) const
{
    const Box& box = image.box();
    const CodeLevels levels = codeLevels(bits, fullRange);
    const double top = levels.top;
    const double kg = 1 - kr - kb;
    const int w = width;
    const int xStep = 1 << chromaShiftX, yStep = 1 << chromaShiftY;
    const auto rows = [&](int y, Channel z) { return image.row(z, box.y + y - firstRow) + box.x; };
    // Each row's transfer codes (0..1), red, green and blue planes of it.
    std::vector<double> code(static_cast<std::size_t>(w) * 3 * yStep);
    const auto codes = [&](int k, int c) { return code.data() + (static_cast<std::size_t>(k) * 3 + c) * w; };
    for (int cy = begin; cy < end; ++cy) {
        for (int k = 0; k < yStep; ++k) {
            const int y = cy * yStep + k;
            const float* r = rows(y, Chan_Red);
            const float* g = rows(y, Chan_Green);
            const float* b = rows(y, Chan_Blue);
            double* er = codes(k, 0);
            double* eg = codes(k, 1);
            double* eb = codes(k, 2);
            for (int x = 0; x < w; ++x) {
                er[x] = encode(r[x]);
                eg[x] = encode(g[x]);
                eb[x] = encode(b[x]);
            }
            if (alpha) {
                const float* a = rows(y, Chan_Alpha);
                Code* out = planeRow<Code>(f, 3, y);
                for (int x = 0; x < w; ++x)
                    out[x] = static_cast<Code>(level(a[x] * top, top));
            }
            if (!yuv) {
                // gbrp: green, blue, red planes.
                Code* gp = planeRow<Code>(f, 0, y);
                Code* bp = planeRow<Code>(f, 1, y);
                Code* rp = planeRow<Code>(f, 2, y);
                for (int x = 0; x < w; ++x) {
                    gp[x] = static_cast<Code>(level(eg[x] * top, top));
                    bp[x] = static_cast<Code>(level(eb[x] * top, top));
                    rp[x] = static_cast<Code>(level(er[x] * top, top));
                }
                continue;
            }
            Code* luma = planeRow<Code>(f, 0, y);
            for (int x = 0; x < w; ++x)
                luma[x] = static_cast<Code>(
                    level(levels.yOffset + levels.yScale * (kr * er[x] + kg * eg[x] + kb * eb[x]), top));
        }
        if (!yuv)
            continue;
        // Colour from the mean of the codes it covers.
        Code* cbRow = planeRow<Code>(f, 1, cy);
        Code* crRow = planeRow<Code>(f, 2, cy);
        const int cw = w / xStep;
        const double share = 1.0 / (xStep * yStep);
        for (int cx = 0; cx < cw; ++cx) {
            double rs = 0, gs = 0, bs = 0;
            for (int k = 0; k < yStep; ++k)
                for (int j = 0; j < xStep; ++j) {
                    const int x = cx * xStep + j;
                    rs += codes(k, 0)[x], gs += codes(k, 1)[x], bs += codes(k, 2)[x];
                }
            rs *= share, gs *= share, bs *= share;
            const double luma = kr * rs + kg * gs + kb * bs;
            cbRow[cx] = static_cast<Code>(level(levels.cOffset + levels.cScale * (bs - luma) / (2 * (1 - kb)), top));
            crRow[cx] = static_cast<Code>(level(levels.cOffset + levels.cScale * (rs - luma) / (2 * (1 - kr)), top));
        }
    }
}

void MovieWriter::write(const PlanarImage& image, const std::optional<FrameTime>& time)
{
    Impl& m = *impl_;
    if (static_cast<int>(image.width()) != m.width || static_cast<int>(image.height()) != m.height)
        throw std::runtime_error(m.path + ": frame " + std::to_string(m.frames + 1) + " is " +
                                 std::to_string(image.width()) + "x" + std::to_string(image.height()) +
                                 ", not the movie's " + std::to_string(m.width) + "x" + std::to_string(m.height));
    writeRows(image, 0);
    endFrame(time);
}

void MovieWriter::writeRows(const PlanarImage& rows, int firstRow)
{
    Impl& m = *impl_;
    const int count = static_cast<int>(rows.height());
    const int yStep = 1 << m.chromaShiftY;
    if (static_cast<int>(rows.width()) != m.width || firstRow < 0 || firstRow + count > m.height ||
        firstRow % yStep != 0 || ((firstRow + count) % yStep != 0 && firstRow + count != m.height))
        throw std::logic_error(m.path + ": rows " + std::to_string(firstRow) + " to " +
                               std::to_string(firstRow + count - 1) + " do not fit the movie's frame");
    // The encoder may still hold this frame's last picture: a new one then,
    // nothing copied, since every code of it is written anew.
    AVFrame& f = *m.spare;
    if (!m.started && !av_frame_is_writable(&f)) {
        av_frame_unref(&f);
        m.allocate(f, m.codec->pix_fmt);
    }
    m.started = true;
    m.convert(rows, f, firstRow);
}

void MovieWriter::endFrame(const std::optional<FrameTime>& time)
{
    Impl& m = *impl_;
    AVFrame& f = *m.spare;
    m.started = false;
    std::int64_t pts = m.nextPts, duration = m.frameTicks;
    if (time) {
        if (m.frames == 0)
            m.firstStart = time->start;
        pts = time->start - m.firstStart;
        if (time->duration > 0)
            duration = time->duration;
    }
    if (pts <= m.lastPts)
        throw std::runtime_error(m.path + ": cannot write: frame " + std::to_string(m.frames + 1) +
                                 " is not shown after the one before it");
    // What the encoding thread reads is changed only while it waits.
    m.waitIdle();
    if (m.frames == 0 && m.audio)
        m.audio->begin(static_cast<double>(m.firstStart) * av_q2d(m.base));
    m.durations[pts] = duration;
    f.pts = pts;
    m.post(&f);
    m.lastPts = pts;
    m.nextPts = pts + duration;
    ++m.frames;
    std::swap(m.frame, m.spare);
}

void MovieWriter::finish()
{
    Impl& m = *impl_;
    m.waitIdle();
    if (m.audio && !m.options.audioToEnd)
        m.audio->end(static_cast<double>(m.nextPts) * av_q2d(m.base));
    m.flushing = true;
    m.post(nullptr);
    m.waitIdle();
    if (m.options.cancelled && m.options.cancelled())
        throw Cancelled();
    if (m.audio)
        m.audio->copyUntil(1e300, m.path);
    if (const int err = av_write_trailer(m.format.get()); err < 0)
        throw m.fail("cannot finish the movie", err);
    if (const int err = avio_closep(&m.format->pb); err < 0)
        throw m.fail("cannot finish the movie", err);
    m.pending->commit(m.options.cancelled);
}

}  // namespace veilcast
