// SPDX-License-Identifier: Apache-2.0
#include "veilcast/movie/MovieReader.h"

#include "LibavError.h"
#include "LibavHandles.h"
#include "veilcast/common/UsageError.h"
#include "veilcast/common/Worker.h"
#include "veilcast/host/ParallelRows.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <exception>
#include <fstream>
#include <future>
#include <map>
#include <optional>
#include <stdexcept>
#include <vector>

namespace veilcast {

using namespace DD::Image;

namespace {

// A GIF counts neither its frames nor its duration: one cut short is told
// by the trailer byte every whole GIF ends with.
bool endsLikeAWholeGif(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in || in.tellg() <= 0)
        return false;
    in.seekg(-1, std::ios::end);
    return in.get() == 0x3B;
}

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

// The frames a stream shows and how they are spaced, before any is decoded.
struct FrameSurvey {
    long frames = 0;
    bool variableRate = false;
    // The container indexes every frame, so fewer decoded means the file
    // was cut short.
    bool declared = false;
    std::int64_t end = AV_NOPTS_VALUE;  // where the last packet of any stream ends, in AV_TIME_BASE
};

// Frames of one rate are evenly spaced but for the rounding of their times
// to the time base.
bool unevenlySpaced(std::vector<std::int64_t> times)
{
    std::sort(times.begin(), times.end());
    std::int64_t least = INT64_MAX, most = INT64_MIN;
    for (std::size_t i = 1; i < times.size(); ++i) {
        least = std::min(least, times[i] - times[i - 1]);
        most = std::max(most, times[i] - times[i - 1]);
    }
    return times.size() > 2 && most - least > 2;
}

// A container's index of every frame (mov, mp4, avi): those an edit list
// trims away are decoded only to reach the first frame shown, not shown.
FrameSurvey surveyIndex(AVStream* st)
{
    FrameSurvey survey;
    const int entries = avformat_index_get_entries_count(st);
    if (st->nb_frames <= 0 || entries != st->nb_frames)
        return survey;
    std::vector<std::int64_t> times;
    for (int i = 0; i < entries; ++i)
        if (const AVIndexEntry* e = avformat_index_get_entry(st, i); !(e->flags & AVINDEX_DISCARD_FRAME))
            times.push_back(e->timestamp);
    survey.frames = static_cast<long>(times.size());
    survey.declared = survey.frames > 0;
    survey.variableRate = unevenlySpaced(std::move(times));
    return survey;
}

// Without such an index, the packets are counted: reading a file is
// cheap next to decoding it, and a count guessed from the duration and the
// average rate is wrong for uneven rates.
FrameSurvey surveyPackets(const std::string& path, int stream)
{
    FrameSurvey survey;
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, path.c_str(), nullptr, nullptr) < 0)
        return survey;
    InputHandle format(opened);
    PacketHandle packet(av_packet_alloc());
    if (!packet || avformat_find_stream_info(opened, nullptr) < 0 || stream >= static_cast<int>(opened->nb_streams))
        return survey;
    // MPEG streams leave most presentation times out, Matroska most
    // decoding times: the spacing is read from whichever every frame has.
    std::vector<std::int64_t> shown, decoded;
    while (av_read_frame(opened, packet.get()) >= 0) {
        const AVStream* st = opened->streams[packet->stream_index];
        const std::int64_t at = std::max(packet->pts, packet->dts);  // AV_NOPTS_VALUE is the least
        if (at != AV_NOPTS_VALUE) {
            const std::int64_t end = av_rescale_q(at + std::max<std::int64_t>(0, packet->duration), st->time_base,
                                                  AVRational{1, AV_TIME_BASE});
            survey.end = survey.end == AV_NOPTS_VALUE ? end : std::max(survey.end, end);
        }
        if (packet->stream_index == stream && !(packet->flags & AV_PKT_FLAG_DISCARD)) {
            ++survey.frames;
            if (packet->pts != AV_NOPTS_VALUE)
                shown.push_back(packet->pts);
            if (packet->dts != AV_NOPTS_VALUE)
                decoded.push_back(packet->dts);
        }
        av_packet_unref(packet.get());
    }
    survey.variableRate = unevenlySpaced(shown.size() >= decoded.size() ? std::move(shown) : std::move(decoded));
    return survey;
}

// "1 (h264 1920x1080)": a video stream as the user picks it.
std::string describeStream(int number, const AVStream* st)
{
    return std::to_string(number) + " (" + avcodec_get_name(st->codecpar->codec_id) + " " +
           std::to_string(st->codecpar->width) + "x" + std::to_string(st->codecpar->height) + ")";
}

std::string joined(const std::vector<std::string>& items)
{
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : ", ") + item;
    return text;
}

// Widens `width` 16-bit codes, written by the scaler into the first half of
// a float row's bytes, into floats in place. Last first: each float lands
// on codes already read, so the frame needs no 16-bit copy of its own.
template <class ToFloat>
void widenRow(float* row, int width, const ToFloat& toFloat)
{
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(row);
    for (int x = width - 1; x >= 0; --x) {
        std::uint16_t code;
        std::memcpy(&code, bytes + 2 * static_cast<std::size_t>(x), sizeof code);
        row[x] = toFloat(code);
    }
}

// Planar YUV of 8 to 16 bits, little-endian, each component on its own plane.
bool storedYuv(const AVPixFmtDescriptor* d)
{
    const std::uint64_t other = AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BE | AV_PIX_FMT_FLAG_HWACCEL |
                                AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_FLOAT;
    if (!d || (d->flags & other) || !(d->flags & AV_PIX_FMT_FLAG_PLANAR) || d->nb_components < 3)
        return false;
    const int depth = d->comp[0].depth;
    if (depth < 8 || depth > 16)
        return false;
    for (int c = 0; c < 3; ++c)
        if (d->comp[c].plane != c || d->comp[c].shift != 0 || d->comp[c].offset != 0 || d->comp[c].depth != depth ||
            d->comp[c].step != (depth > 8 ? 2 : 1))
            return false;
    return true;
}

// RGB of up to 16 bits a component and grey of 8 to 16, packed or planar,
// in any byte order: read code by code through FFmpeg's own reader.
bool storedCodes(const AVPixFmtDescriptor* d)
{
    const std::uint64_t other =
        AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_FLOAT | AV_PIX_FMT_FLAG_BAYER;
    if (!d || (d->flags & other))
        return false;
    const bool rgb = (d->flags & AV_PIX_FMT_FLAG_RGB) != 0;
    if (!rgb && d->nb_components > 2)  // YUV
        return false;
    for (int c = 0; c < d->nb_components; ++c)
        if (d->comp[c].depth > 16 || d->comp[c].depth < (rgb ? 1 : 8))
            return false;
    return true;
}

}  // namespace

struct MovieReader::Impl : VideoCoding {
    explicit Impl(const std::string& file) : VideoCoding(file), path(file) {}
    // The frame decoding ahead finishes before what it decodes into goes.
    ~Impl() { worker.reset(); }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    std::string path;
    MovieInfo info;
    InputHandle format;
    int stream = -1;
    long declaredFrames = 0;  // what the container's index says, when it has one

    // Decoding, on the decoding thread while one runs.
    int decoded = 0;
    FrameTime decodedTime;
    // Frame times count from where the video stream starts, as the other
    // streams' copies do, or from the first frame shown where that is earlier.
    std::int64_t firstTimestamp = AV_NOPTS_VALUE;
    std::int64_t frameTicks = 1;                   // one frame at the nominal rate, in the time base
    bool draining = false, ended = false;
    bool held = false;  // `packet` holds the first keyframe, read ahead and not yet sent

    // What the caller has had.
    int frameNumber = 0;
    FrameTime time;
    bool finished = false;
    std::exception_ptr failure;

    // One frame decoded ahead of the caller, while the caller converts and
    // keys the one before, which it keeps as decoded in `kept`.
    struct Result {
        bool got = false;
        FrameTime time;
    };
    FrameHandle kept{av_frame_alloc()};
    int threads = 0;
    std::optional<Worker> worker;
    std::future<Result> pending;  // the frame after the caller's, while one is asked for

    std::runtime_error fail(const std::string& why) const { return std::runtime_error(path + ": " + why); }

    void open(const MovieReadOptions& options);
    int chooseStream(const MovieReadOptions& options);
    void describe(AVStream* st, const AVCodec* decoder, const MovieReadOptions& options);
    void skipToFirstKeyframe(const MovieReadOptions& options);
    bool decodeNext();
    void stampFrame();
    void convert(const AVFrame& decodedFrame, PlanarImage& out);
    void convertByScaler(const AVFrame& decodedFrame, PlanarImage& out);
    // The whole frame from RGB or grey (storedCodes), with its alpha.
    void convertCodes(const AVFrame& decodedFrame, const AVPixFmtDescriptor& desc, PlanarImage& out);
    std::map<int, std::vector<float>> codeLight;  // by depth, for convertCodes
    // Rows y0..y1-1 of `out` (frame rows) from planar YUV, and their alpha.
    template <typename Sample>
    void convertYuv(const AVFrame& decodedFrame, const AVPixFmtDescriptor& desc, PlanarImage& out, int y0,
                    int y1) const;
    void convertAlpha(const AVFrame& decodedFrame, const AVPixFmtDescriptor* desc, PlanarImage& out, int y0,
                      int y1) const;
    // What each stored code adds to a pixel: luma as light, and each chroma
    // code's share of red and of blue, in the arithmetic a pixel would do,
    // made once for the stream's depth, levels and matrix.
    struct CodeTerms {
        int depth = 0;
        double kr = 0, kb = 0;
        std::vector<double> luma, red, blue;
    };
    mutable CodeTerms terms;  // made before the conversion's threads start
    void prepareTerms(int depth, double kr, double kb) const;
    // Both, on all cores.
    void convertYuvRows(const AVFrame& decodedFrame, const AVPixFmtDescriptor& desc, double kr, double kb,
                        PlanarImage& out, int y0, int y1) const;
    Result run();
    // Moves the next frame into `kept`; false at the end.
    bool keepNext();
    // True when the frame's pixels convert here, a strip at a time.
    bool stripsFrom(const AVFrame& decodedFrame) const;
    void startDecodingAhead();
};

MovieReader::MovieReader(const std::string& path, const MovieReadOptions& options)
    : impl_(std::make_unique<Impl>(path))
{
    impl_->open(options);
    impl_->threads = options.threads;
    if (!impl_->kept)
        throw std::runtime_error(path + ": out of memory");
    if (threadCount(options.threads) > 1)
        impl_->startDecodingAhead();
}

void MovieReader::Impl::open(const MovieReadOptions& options)
{
    av_log_set_level(AV_LOG_QUIET);
    AVFormatContext* opened = nullptr;
    if (const int err = avformat_open_input(&opened, path.c_str(), nullptr, nullptr); err < 0)
        throw fail("cannot open the movie: " +
                   (err == AVERROR_INVALIDDATA ? std::string("not a movie, or truncated or corrupt") : libavError(err)));
    format.reset(opened);
    if (const int err = avformat_find_stream_info(opened, nullptr); err < 0)
        throw fail("cannot read the movie's streams: " + libavError(err));

    stream = chooseStream(options);
    AVStream* st = opened->streams[stream];
    for (unsigned i = 0; i < opened->nb_streams; ++i)
        if (static_cast<int>(i) != stream)
            opened->streams[i]->discard = AVDISCARD_ALL;  // the demuxer need not hand them over
    const AVCodecParameters* par = st->codecpar;
    const AVCodec* decoder = nullptr;
    // FFmpeg's own VP9 decoder drops the alpha that WebM carries beside the picture; libvpx keeps it.
    if (par->codec_id == AV_CODEC_ID_VP9 && tag(st->metadata, "alpha_mode") == "1") {
        decoder = avcodec_find_decoder_by_name("libvpx-vp9");
        if (!decoder)
            throw fail("its VP9 video has alpha, which this FFmpeg cannot decode (it has no libvpx)");
    }
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
        throw fail("its video codec " + std::string(par->codec_id == AV_CODEC_ID_NONE ? "" : name) + fourcc +
                   " is unknown: no decoder for it");
    }
    codec.reset(avcodec_alloc_context3(decoder));
    if (!codec || avcodec_parameters_to_context(codec.get(), par) < 0)
        throw fail("cannot set up the video decoder");
    codec->thread_count = threadCount(options.threads);
    codec->err_recognition |= AV_EF_EXPLODE;
    if (const int err = avcodec_open2(codec.get(), decoder, nullptr); err < 0)
        throw fail("cannot decode its " + std::string(decoder->name) + " video: " + libavError(err));
    describe(st, decoder, options);
    skipToFirstKeyframe(options);
}

// A stream cut mid-GOP (a transport stream recorded or split anywhere)
// starts with packets that refer to pictures it no longer has: decoding
// starts at its first keyframe, as the ffmpeg program's does, and the
// frames are numbered from there.
void MovieReader::Impl::skipToFirstKeyframe(const MovieReadOptions& options)
{
    long skipped = 0;
    for (;;) {
        const int err = av_read_frame(format.get(), packet.get());
        if (err < 0) {
            // No keyframe at all: the flags say nothing, and the stream is decoded as it is.
            av_packet_unref(packet.get());
            if (skipped > 0 && av_seek_frame(format.get(), -1, 0, AVSEEK_FLAG_BYTE | AVSEEK_FLAG_BACKWARD) < 0)
                throw fail("cannot read the movie again from its start");
            return;
        }
        if (packet->stream_index == stream) {
            if ((packet->flags & AV_PKT_FLAG_KEY) && !(packet->flags & AV_PKT_FLAG_CORRUPT))
                break;
            ++skipped;
        }
        av_packet_unref(packet.get());
    }
    held = true;
    if (skipped == 0)
        return;
    info.frameCount = std::max(0L, info.frameCount - skipped);
    if (options.notice)
        options.notice(path + ": starts mid-GOP; keyed from its first decodable frame, " + std::to_string(skipped) +
                       " leading video packet" + (skipped == 1 ? "" : "s") + " skipped");
}

int MovieReader::Impl::chooseStream(const MovieReadOptions& options)
{
    // Cover art is a video stream of one picture, not footage.
    std::vector<int> videos;
    bool pictures = false;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* st = format->streams[i];
        if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO)
            continue;
        if (st->disposition & AV_DISPOSITION_ATTACHED_PIC)
            pictures = true;
        else
            videos.push_back(static_cast<int>(i));
    }
    if (videos.empty())
        throw fail(pictures ? "has no video stream to key (only a still picture)" : "has no video stream to key");
    std::vector<std::string> names;
    for (std::size_t n = 0; n < videos.size(); ++n)
        names.push_back(describeStream(static_cast<int>(n), format->streams[videos[n]]));

    std::size_t chosen = 0;
    if (!options.stream.empty()) {
        const bool number = options.stream.size() <= 4 &&
                            std::all_of(options.stream.begin(), options.stream.end(), [](unsigned char c) { return std::isdigit(c); });
        chosen = number ? static_cast<std::size_t>(std::stoi(options.stream)) : videos.size();
        if (chosen >= videos.size())
            throw UsageError(Wording{path + ": ", UserChoice::Part,
                                     " \"" + options.stream + "\" is not one of its video streams, by number: " + joined(names)});
    } else {
        const int best = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (const auto at = std::find(videos.begin(), videos.end(), best); at != videos.end())
            chosen = static_cast<std::size_t>(at - videos.begin());
    }
    if (videos.size() > 1 && options.notice) {
        std::vector<std::string> left = names;
        left.erase(left.begin() + static_cast<std::ptrdiff_t>(chosen));
        options.notice(path + ": keyed video stream " + names[chosen] + "; left out " + joined(left));
    }
    return videos[chosen];
}

void MovieReader::Impl::describe(AVStream* st, const AVCodec* decoder, const MovieReadOptions& options)
{
    const AVCodecParameters* par = st->codecpar;
    info.width = par->width;
    info.height = par->height;
    if (info.width <= 0 || info.height <= 0)
        throw fail("its video stream has no picture size (corrupt?)");
    AVRational rate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
    if (rate.num <= 0 || rate.den <= 0)
        rate = AVRational{24, 1};
    av_reduce(&info.rateNum, &info.rateDen, rate.num, rate.den, INT32_MAX);
    info.timeBaseNum = st->time_base.num;
    info.timeBaseDen = st->time_base.den;
    frameTicks = std::max<std::int64_t>(1, av_rescale_q(1, av_inv_q(rate), st->time_base));

    FrameSurvey survey = surveyIndex(st);
    if (!survey.declared)
        survey = surveyPackets(path, stream);
    info.frameCount = survey.frames;
    info.variableRate = survey.variableRate;
    if (survey.declared)
        declaredFrames = survey.frames;
    else if (info.frameCount <= 0 && st->duration > 0)
        info.frameCount = static_cast<long>(av_rescale_q(st->duration, st->time_base, av_inv_q(rate)));
    // A header that says how long the movie is (Matroska, WebM) tells a
    // file cut short by where its packets stop.
    if (!survey.declared && format->duration_estimation_method == AVFMT_DURATION_FROM_STREAM && format->duration > 0 &&
        survey.end != AV_NOPTS_VALUE) {
        const std::int64_t start = format->start_time == AV_NOPTS_VALUE ? 0 : format->start_time;
        const std::int64_t slack = std::max<std::int64_t>(AV_TIME_BASE / 10, 2 * av_rescale_q(1, av_inv_q(rate), AVRational{1, AV_TIME_BASE}));
        if (survey.end - start + slack < format->duration)
            throw fail("truncated or corrupt: its streams stop at " + std::to_string((survey.end - start) / (AV_TIME_BASE / 1000)) +
                       " ms of its " + std::to_string(format->duration / (AV_TIME_BASE / 1000)) + " ms");
    }

    info.timecode = tag(st->metadata, "timecode");
    if (info.timecode.empty())
        info.timecode = tag(format->metadata, "timecode");
    for (unsigned i = 0; info.timecode.empty() && i < format->nb_streams; ++i)
        info.timecode = tag(format->streams[i]->metadata, "timecode");
    info.codec = decoder->name;
    if (par->codec_id == AV_CODEC_ID_GIF && !endsLikeAWholeGif(path))
        throw fail("truncated or corrupt: the GIF stops before its end");
    const auto pixFmt = static_cast<AVPixelFormat>(par->format);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(pixFmt);
    if (!desc)
        throw fail("its video has no known pixel format (corrupt?)");
    info.bitsPerComponent = desc->comp[0].depth;
    info.pixelFormat = pixFmt;
    info.hasAlpha = (desc->flags & AV_PIX_FMT_FLAG_ALPHA) || tag(st->metadata, "alpha_mode") == "1";
    const bool fullFormat = pixFmt == AV_PIX_FMT_YUVJ420P || pixFmt == AV_PIX_FMT_YUVJ422P ||
                            pixFmt == AV_PIX_FMT_YUVJ444P || pixFmt == AV_PIX_FMT_YUVJ440P;
    VideoColour tagged;
    tagged.matrix = par->color_space;
    tagged.range = par->color_range;
    tagged.transfer = par->color_trc;
    tagged.primaries = par->color_primaries;
    // Pictures that animate are sRGB by their formats' definition, as the
    // same file's single frame is read as a still: not a video camera's curve.
    const AVCodecID codecId = par->codec_id;
    if (tagged.transfer == AVCOL_TRC_UNSPECIFIED &&
        (codecId == AV_CODEC_ID_GIF || codecId == AV_CODEC_ID_APNG || codecId == AV_CODEC_ID_PNG))
        tagged.transfer = AVCOL_TRC_IEC61966_2_1;
    info.colour = resolveVideoColour(tagged, info.width, info.height, (desc->flags & AV_PIX_FMT_FLAG_RGB) != 0, fullFormat);
    curve.emplace(info.colour.transfer, options.raw, path);
    readGeometry(format.get(), st, info);
    // Other streams were set aside for decoding; the audio is only named.
    const int audio = av_find_best_stream(format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
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
    const auto where = [this] { return "frame " + std::to_string(decoded + 1) + ": "; };
    while (!ended) {
        const int got = avcodec_receive_frame(codec.get(), frame.get());
        if (got == 0) {
            if (frame->decode_error_flags || (frame->flags & AV_FRAME_FLAG_CORRUPT))
                throw fail(where() + "corrupt video data");
            ++decoded;
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
        int err = held ? 0 : av_read_frame(format.get(), packet.get());
        held = false;
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
    if (declaredFrames > 0 && decoded < declaredFrames)
        throw fail("truncated or corrupt: " + std::to_string(decoded) + " of its " + std::to_string(declaredFrames) +
                   " frames could be decoded");
    return false;
}

void MovieReader::Impl::stampFrame()
{
    // A frame without a timestamp follows the one before it.
    std::int64_t at = frame->best_effort_timestamp;
    if (at == AV_NOPTS_VALUE)
        at = firstTimestamp == AV_NOPTS_VALUE ? 0 : firstTimestamp + decodedTime.start + decodedTime.duration;
    if (firstTimestamp == AV_NOPTS_VALUE) {
        // A stream cut before its first decodable frame starts at packets
        // that were skipped: the first frame shown comes that much after
        // the start, and so after the sound that goes with the start.
        const std::int64_t streamStart = format->streams[stream]->start_time;
        firstTimestamp = streamStart != AV_NOPTS_VALUE && streamStart < at ? streamStart : at;
    }
    std::int64_t start = at - firstTimestamp;
    if (decoded > 1 && start <= decodedTime.start)  // never shown before the frame it follows
        start = decodedTime.start + std::max<std::int64_t>(1, decodedTime.duration);
    decodedTime.start = start;
    decodedTime.duration = frame->pkt_duration > 0 ? frame->pkt_duration : frameTicks;
}

void MovieReader::Impl::convert(const AVFrame& source, PlanarImage& out)
{
    const int w = source.width, h = source.height;
    if (w != info.width || h != info.height)
        throw fail("frame " + std::to_string(frameNumber) + " changes the picture size");
    const bool alpha = info.hasAlpha;
    std::vector<Channel> chans{Chan_Red, Chan_Green, Chan_Blue};
    if (alpha)
        chans.push_back(Chan_Alpha);
    const Box box{0, 0, w, h};
    if (out.box().x != 0 || out.box().y != 0 || out.box().r != w || out.box().t != h || out.channels() != chans)
        out = PlanarImage(box, box, chans);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(source.format));
    double kr = 0, kb = 0;
    if (storedYuv(desc) && lumaWeights(info.colour.matrix, kr, kb)) {
        convertYuvRows(source, *desc, kr, kb, out, 0, h);
        return;
    }
    if (storedCodes(desc)) {
        convertCodes(source, *desc, out);
        return;
    }
    convertByScaler(source, out);
    if (alpha)
        convertAlpha(source, desc, out, 0, h);
}

void MovieReader::Impl::convertYuvRows(const AVFrame& source, const AVPixFmtDescriptor& desc, double kr, double kb,
                                       PlanarImage& out, int y0, int y1) const
{
    prepareTerms(desc.comp[0].depth, kr, kb);
    const bool wide = desc.comp[0].depth > 8;
    parallelRows(y0, y1, 8, threads, [&](int begin, int end) {
        if (wide)
            convertYuv<std::uint16_t>(source, desc, out, begin, end);
        else
            convertYuv<std::uint8_t>(source, desc, out, begin, end);
        if (info.hasAlpha)
            convertAlpha(source, &desc, out, begin, end);
    });
}

// Alpha is coverage, not colour: taken from the decoded plane where there is
// one, so that its largest code is exactly 1.
void MovieReader::Impl::convertAlpha(const AVFrame& source, const AVPixFmtDescriptor* desc, PlanarImage& out, int y0,
                                     int y1) const
{
    const int w = source.width;
    // Alpha is the last component: of four (colour), or of two (grey).
    const int c = desc ? desc->nb_components - 1 : 0;
    if (!desc || !(desc->flags & AV_PIX_FMT_FLAG_ALPHA) || (c != 3 && c != 1)) {
        for (int y = y0; y < y1; ++y)  // the tag said alpha, the decoder gave none: opaque
            std::fill_n(out.row(Chan_Alpha, y), w, 1.0f);
        return;
    }
    const bool alphaPlane = (desc->flags & AV_PIX_FMT_FLAG_PLANAR) && !(desc->flags & AV_PIX_FMT_FLAG_BE) &&
                            desc->comp[c].shift == 0 && desc->comp[c].step == (desc->comp[c].depth > 8 ? 2 : 1);
    const float most = static_cast<float>((1 << desc->comp[c].depth) - 1);
    if (!alphaPlane) {  // packed or paletted: FFmpeg's own reader, at the stored depth
        std::vector<std::uint16_t> codes(static_cast<std::size_t>(w));
        const bool palette = (desc->flags & AV_PIX_FMT_FLAG_PAL) != 0;
        for (int y = y0; y < y1; ++y) {
            av_read_image_line2(codes.data(), const_cast<const std::uint8_t**>(source.data), source.linesize, desc, 0, y, c,
                                w, palette, 2);
            float* a = out.row(Chan_Alpha, y);
            for (int x = 0; x < w; ++x)
                a[x] = codes[static_cast<std::size_t>(x)] / most;
        }
        return;
    }
    const int plane = desc->comp[c].plane;
    for (int y = y0; y < y1; ++y) {
        const std::uint8_t* in = source.data[plane] + static_cast<std::ptrdiff_t>(y) * source.linesize[plane];
        float* a = out.row(Chan_Alpha, y);
        if (desc->comp[c].depth > 8)
            for (int x = 0; x < w; ++x) {
                std::uint16_t code;
                std::memcpy(&code, in + 2 * static_cast<std::size_t>(x), sizeof code);
                a[x] = code / most;
            }
        else
            for (int x = 0; x < w; ++x)
                a[x] = in[x] / most;
    }
}

// RGB and grey are not matrixed: each code stands for its level as it is,
// so white is exactly 1 and every code comes back when written again. (The
// scaler's 16-bit RGB would put white at 65283.)
void MovieReader::Impl::convertCodes(const AVFrame& source, const AVPixFmtDescriptor& desc, PlanarImage& out)
{
    const int w = source.width, h = source.height;
    const bool grey = !(desc.flags & AV_PIX_FMT_FLAG_RGB);
    const auto data = const_cast<const std::uint8_t**>(source.data);
    std::vector<std::uint16_t> codes(static_cast<std::size_t>(w));
    const Channel colours[3] = {Chan_Red, Chan_Green, Chan_Blue};
    for (int c = 0; c < (grey ? 1 : 3); ++c) {
        const int depth = desc.comp[c].depth;
        // Each depth's levels as light, made once for the stream (its
        // format, range and transfer do not change).
        std::vector<float>& linear = codeLight[depth];
        if (linear.empty()) {
            // Grey keeps the range it is tagged with; RGB is always full.
            const CodeLevels levels = grey ? codeLevels(depth, info.colour.range == AVCOL_RANGE_JPEG)
                                           : CodeLevels{0, static_cast<double>((1 << depth) - 1), 0, 0, 0};
            linear.resize(std::size_t{1} << depth);
            for (std::size_t code = 0; code < linear.size(); ++code)
                linear[code] = static_cast<float>(curve->codeToLinear((static_cast<double>(code) - levels.yOffset) / levels.yScale));
        }
        for (int y = 0; y < h; ++y) {
            av_read_image_line2(codes.data(), data, source.linesize, &desc, 0, y, c, w, 0, 2);
            float* row = out.row(colours[c], y);
            for (int x = 0; x < w; ++x)
                row[x] = linear[codes[static_cast<std::size_t>(x)]];
        }
    }
    if (grey)
        for (int y = 0; y < h; ++y) {
            std::copy_n(out.row(Chan_Red, y), w, out.row(Chan_Green, y));
            std::copy_n(out.row(Chan_Red, y), w, out.row(Chan_Blue, y));
        }
    if (info.hasAlpha)
        convertAlpha(source, &desc, out, 0, h);
}

void MovieReader::Impl::convertByScaler(const AVFrame& source, PlanarImage& out)
{
    const int w = source.width, h = source.height;
    // Planar 16-bit RGB, written straight into the float planes.
    scale.reset(sws_getCachedContext(scale.release(), w, h, static_cast<AVPixelFormat>(source.format), w, h,
                                     AV_PIX_FMT_GBRP16, SWS_BICUBIC, nullptr, nullptr,
                                     nullptr));
    if (!scale)
        throw fail("cannot convert its pixel format " + pixelFormatName(source.format) + " to RGB");
    const int matrix = info.colour.matrix == AVCOL_SPC_RGB ? AVCOL_SPC_BT709 : info.colour.matrix;
    sws_setColorspaceDetails(scale.get(), sws_getCoefficients(matrix), info.colour.range == AVCOL_RANGE_JPEG,
                             sws_getCoefficients(matrix), 1, 0, 1 << 16, 1 << 16);
    // The scaler's planes are green, blue, red; rows a float row apart.
    const Channel order[3] = {Chan_Green, Chan_Blue, Chan_Red};
    std::uint8_t* dst[4] = {};
    int dstStride[4] = {};
    for (int p = 0; p < 3; ++p) {
        dst[p] = reinterpret_cast<std::uint8_t*>(out.row(order[p], 0));
        dstStride[p] = w * static_cast<int>(sizeof(float));
    }
    if (sws_scale(scale.get(), source.data, source.linesize, 0, h, dst, dstStride) != h)
        throw fail("frame " + std::to_string(frameNumber) + ": cannot convert it to RGB");
    const TransferCurve& toLinear = *curve;
    for (Channel z : {Chan_Red, Chan_Green, Chan_Blue})
        for (int y = 0; y < h; ++y)
            widenRow(out.row(z, y), w, [&toLinear](std::uint16_t code) { return toLinear.toLinear(code); });
}

// The scaler's 16-bit RGB puts white at 65283 rather than 65535 and clips
// what a matrix puts outside 0..1, so planar YUV is converted here, by the
// matrix and levels the stream is tagged with, and keeps codes above white,
// below black and out of gamut. Chroma is taken as stored, each sample for
// the pixels it covers (as FFmpeg's chromakey keys it), so that a movie
// written back at the same sampling returns every code.
void MovieReader::Impl::prepareTerms(int depth, double kr, double kb) const
{
    if (terms.depth == depth && terms.kr == kr && terms.kb == kb)
        return;
    const CodeLevels levels = codeLevels(depth, info.colour.range == AVCOL_RANGE_JPEG);
    const double crToR = 2 * (1 - kr), cbToB = 2 * (1 - kb);
    // Every value the stored words can hold, codes above the depth's own
    // bits too, so that no word reads past the tables.
    const std::size_t codes = depth > 8 ? 65536 : 256;
    terms.luma.resize(codes);
    terms.red.resize(codes);
    terms.blue.resize(codes);
    for (std::size_t c = 0; c < codes; ++c) {
        const double code = static_cast<double>(c);
        terms.luma[c] = (code - levels.yOffset) / levels.yScale;
        terms.red[c] = crToR * ((code - levels.cOffset) / levels.cScale);
        terms.blue[c] = cbToB * ((code - levels.cOffset) / levels.cScale);
    }
    terms.depth = depth;
    terms.kr = kr;
    terms.kb = kb;
}

template <typename Sample>
void MovieReader::Impl::convertYuv(const AVFrame& source, const AVPixFmtDescriptor& desc, PlanarImage& out, int y0,
                                   int y1) const
{
    const int w = source.width;
    const double kr = terms.kr, kb = terms.kb, kg = 1 - kr - kb;
    const int sx = desc.log2_chroma_w, sy = desc.log2_chroma_h;
    const double* lumaTerm = terms.luma.data();
    const double* redTerm = terms.red.data();
    const double* blueTerm = terms.blue.data();
    const TransferCurve& toLinear = *curve;
    const auto linear = [&toLinear](double code) {
        if (code >= 0 && code <= 1)
            return toLinear.toLinear(static_cast<std::uint16_t>(code * 65535 + 0.5));
        return static_cast<float>(toLinear.codeToLinear(code));
    };
    const auto plane = [&source](int p, int y) {
        return reinterpret_cast<const Sample*>(source.data[p] + static_cast<std::ptrdiff_t>(y) * source.linesize[p]);
    };
    for (int y = y0; y < y1; ++y) {
        const Sample* luma = plane(0, y);
        const Sample* cb = plane(1, y >> sy);
        const Sample* cr = plane(2, y >> sy);
        float* r = out.row(Chan_Red, y);
        float* g = out.row(Chan_Green, y);
        float* b = out.row(Chan_Blue, y);
        for (int x = 0; x < w; ++x) {
            const double yv = lumaTerm[luma[x]];
            const double red = yv + redTerm[cr[x >> sx]], blue = yv + blueTerm[cb[x >> sx]];
            const double green = (yv - kr * red - kb * blue) / kg;
            r[x] = linear(red);
            g[x] = linear(green);
            b[x] = linear(blue);
        }
    }
}

MovieReader::Impl::Result MovieReader::Impl::run()
{
    Result done;
    done.got = decodeNext();
    done.time = decodedTime;
    return done;
}

void MovieReader::Impl::startDecodingAhead()
{
    worker.emplace();
    pending = worker->submit([this] { return run(); });
}

// The next frame is the one decoding ahead when there is one, else decoded
// now; once it is kept the one after it is asked for. A failure stays:
// every later call throws it again.
bool MovieReader::Impl::keepNext()
{
    if (failure)
        std::rethrow_exception(failure);
    if (finished)
        return false;
    Result next;
    try {
        next = worker ? pending.get() : run();
    } catch (...) {
        failure = std::current_exception();
        throw;
    }
    finished = !next.got;
    if (finished)
        return false;
    av_frame_unref(kept.get());
    av_frame_move_ref(kept.get(), frame.get());
    ++frameNumber;
    time = next.time;
    if (worker)
        pending = worker->submit([this] { return run(); });
    return true;
}

bool MovieReader::read(PlanarImage& frame)
{
    Impl& m = *impl_;
    if (!m.keepNext())
        return false;
    m.convert(*m.kept, frame);
    return true;
}

bool MovieReader::Impl::stripsFrom(const AVFrame& decodedFrame) const
{
    double kr = 0, kb = 0;
    return storedYuv(av_pix_fmt_desc_get(static_cast<AVPixelFormat>(decodedFrame.format))) &&
           lumaWeights(info.colour.matrix, kr, kb) && decodedFrame.width == info.width &&
           decodedFrame.height == info.height;
}

bool MovieReader::readsByStrip() const
{
    double kr = 0, kb = 0;
    return storedYuv(av_pix_fmt_desc_get(static_cast<AVPixelFormat>(impl_->info.pixelFormat))) &&
           lumaWeights(impl_->info.colour.matrix, kr, kb);
}

bool MovieReader::hold()
{
    return impl_->keepNext();
}

void MovieReader::readRows(PlanarImage& strip) const
{
    const Impl& m = *impl_;
    const AVFrame& source = *m.kept;
    const Box& box = strip.box();
    if (!source.data[0] || box.x != 0 || box.r != m.info.width || box.y < 0 || box.t > m.info.height)
        throw std::logic_error(m.path + ": no such rows of the frame held");
    if (source.width != m.info.width || source.height != m.info.height)
        throw m.fail("frame " + std::to_string(m.frameNumber) + " changes the picture size");
    if (!m.stripsFrom(source))
        throw m.fail("frame " + std::to_string(m.frameNumber) + " changes its pixel format to " +
                     pixelFormatName(source.format));
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(source.format));
    double kr = 0, kb = 0;
    lumaWeights(m.info.colour.matrix, kr, kb);
    m.convertYuvRows(source, *desc, kr, kb, strip, box.y, box.t);
}

bool MovieReader::skip()
{
    return impl_->keepNext();
}

}  // namespace veilcast
