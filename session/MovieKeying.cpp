// SPDX-License-Identifier: Apache-2.0
#include "veilcast/session/MovieKeying.h"
#include "veilcast/session/KeyRun.h"

#include "veilcast/common/UsageError.h"
#include "veilcast/media/ImageReader.h"
#include "veilcast/media/ImageWriter.h"
#include "veilcast/media/Preview.h"
#include "veilcast/movie/MovieFiles.h"
#include "veilcast/movie/MovieReader.h"
#include "veilcast/movie/Timecode.h"
#include "veilcast/movie/MovieWriter.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <numeric>
#include <stdexcept>

namespace veilcast {

namespace fs = std::filesystem;
using namespace DD::Image;

namespace {

// What the job asks to find on each frame, found and applied before it is
// keyed; the pick and clips, found on the first frame only, are reported.
void prepare(KeySession& session, const PlanarImage& frame, int number, const std::string& what, KeyedMovie& result)
{
    const KeyFindings found = session.prepareImage(frame, number, what);
    if (found.screen)
        result.pickedScreen = found.screen;
    if (found.clips)
        result.chosenClips = found.clips;
}

// What every movie written takes from the job, whatever its source.
MovieWriteOptions movieWriteOptions(KeySession& session, const KeyJobOptions& options,
                                    const Notice& notice)
{
    MovieWriteOptions write;
    write.raw = options.read.raw;
    write.threads = options.threads;
    // Made once the first frame is prepared: what was picked and chosen is what is recorded.
    write.settings = settingsSummary(session.controls());
    write.codec = options.codec;
    write.dateTime = options.write.dateTime;
    write.notice = [notice](const std::string& text) {
        if (notice)
            notice(Wording{text});
    };
    write.cancelled = options.cancelled();
    // With Check Alpha the frames are the matte itself.
    write.matte = !session.keysAlpha();
    return write;
}

// What each EXR frame of a movie says about its time and shape.
OIIO::ImageSpec frameSpec(const MovieInfo& info, int number)
{
    OIIO::ImageSpec spec(info.width, info.height, 3, OIIO::TypeDesc::UINT16);
    if (const std::string tag = stillTransferName(info.colour); !tag.empty())
        spec.attribute("oiio:ColorSpace", tag);
    const int rate[2] = {info.rateNum, info.rateDen};
    spec.attribute("FramesPerSecond", OIIO::TypeRational, rate);
    spec.attribute("PixelAspectRatio", static_cast<float>(info.aspectNum) / static_cast<float>(std::max(1, info.aspectDen)));
    if (const std::string at = advanceTimecode(info.timecode, info.rateNum, info.rateDen, number - 1); !at.empty()) {
        const PackedTimecode tc = packTimecode(at);
        const unsigned packed[2] = {tc.timeAndFlags, tc.userData};
        spec.attribute("smpte:TimeCode", OIIO::TypeTimeCode, packed);
    }
    return spec;
}

// Rows keyed at a time between a movie's decoder and its encoder: a frame's
// float planes are never held whole unless something is found on them.
constexpr int kStripRows = 64;

// Keys a frame into `writer` a strip at a time: from `whole` when given,
// else from the frame `reader` holds as decoded.
void keyByStrips(KeySession& session, const MovieReader& reader, const PlanarImage* whole, MovieWriter& writer,
                 KeyProgress& progress)
{
    const MovieInfo& info = reader.info();
    const Box frameBox{0, 0, info.width, info.height};
    std::vector<Channel> channels{Chan_Red, Chan_Green, Chan_Blue};
    if (whole ? whole->has(Chan_Alpha) : info.hasAlpha)
        channels.push_back(Chan_Alpha);
    PlanarImage in, out;
    for (int y = 0; y < info.height; y += kStripRows) {
        const int t = std::min(info.height, y + kStripRows);
        in.reshape(Box{0, y, info.width, t}, frameBox, channels);
        if (whole) {
            for (Channel z : channels)
                for (int row = y; row < t; ++row)
                    std::copy_n(whole->row(z, row), info.width, in.row(z, row));
        } else {
            reader.readRows(in);
        }
        session.keyInto(in, out, {});
        writer.writeRows(out, y);
        progress.update(static_cast<double>(t) / info.height);
    }
}

void checkAscending(const FrameList& frames, const std::string& input)
{
    std::int64_t last = 0;
    for (const FrameList::Run& run : frames.runs()) {
        if (run.first <= last)
            throw UsageError(Wording{input + ": ", UserChoice::Frames, " of a movie count from 1 and go forward: " + frames.describe()});
        last = run.last;
    }
}

// How a movie's frames are read for `options`, its notes told to `notice`.
MovieReadOptions movieReadOptions(const KeyJobOptions& options, const Notice& notice)
{
    MovieReadOptions read;
    read.raw = options.read.raw;
    read.threads = options.threads;
    read.stream = options.read.part;
    read.notice = [&notice](const std::string& text) {
        if (notice)
            notice(Wording{text});
    };
    return read;
}

// Refuses frames over the pixel limit, and tells what the stream holds.
void checkMovieSource(const MovieInfo& info, const KeyJobOptions& options, const std::string& input,
                      const Notice& notice)
{
    if (static_cast<std::uint64_t>(info.width) * static_cast<std::uint64_t>(info.height) > options.read.maxPixels)
        throw Failure(Wording{input + ": its " + std::to_string(info.width) + "x" + std::to_string(info.height) +
                                  " frames are larger than ", UserChoice::MaxPixels, " allows"});
    if (notice)
        notice({input + ": " + info.codec + ", " + std::to_string(info.bitsPerComponent) + "-bit, " +
                    describeVideoColour(info.colour) + (options.read.raw ? " (kept as stored: " : ""),
                options.read.raw ? UserChoice::Raw : UserChoice::None, options.read.raw ? ")" : ""});
}

// The keyed movie of a movie: its source's timing, colour, shape and audio,
// from frame `first` on.
MovieWriteOptions keyedMovieOptions(KeySession& session, const KeyJobOptions& options, const MovieJob& job,
                                    const MovieInfo& info, int first, const Notice& notice)
{
    MovieWriteOptions write = movieWriteOptions(session, options, notice);
    write.rateNum = info.rateNum;
    write.rateDen = info.rateDen;
    write.timeBaseNum = info.timeBaseNum;
    write.timeBaseDen = info.timeBaseDen;
    write.timecode = advanceTimecode(info.timecode, info.rateNum, info.rateDen, first - 1);
    write.colour = info.colour;
    write.aspectNum = info.aspectNum;
    write.aspectDen = info.aspectDen;
    write.rotation = info.rotation;
    write.fieldOrder = info.fieldOrder;
    write.sourcePixelFormat = info.pixelFormat;
    write.audioSource = job.input;
    write.audioToEnd = job.frames.empty();
    return write;
}

// --screen-map shot: the shot's plate and clips from frames spread over
// those to be keyed, decoded by a reader of their own before the first is
// keyed, as a sequence's are read; so a movie keys as its frames would as
// images. Returns the clips chosen, if any.
std::optional<zav::ClipLevels> prepareMovieShot(KeySession& session, const KeyJobOptions& options,
                                                const MovieJob& job, const MovieInfo& info)
{
    if (options.screenMap.kind != ScreenMapChoice::Kind::Shot)
        return std::nullopt;
    const Notice told;  // the keying's reader tells what the stream holds
    MovieReader reader(job.input, movieReadOptions(options, told));
    std::vector<int> frames;
    if (!job.frames.empty()) {
        job.frames.forEach([&](std::int64_t f) {
            frames.push_back(static_cast<int>(f));
            return true;
        });
    } else {
        // The container may not say how many it holds: counting them decodes each.
        long count = info.frameCount;
        if (count <= 0) {
            MovieReader counter(job.input, movieReadOptions(options, told));
            for (count = 0; counter.skip();)
                ++count;
        }
        for (int f = 1; f <= count; ++f)
            frames.push_back(f);
    }
    PlanarImage frame;
    return session.prepareShot(frames.size(), [&](std::size_t i) {
        while (reader.frameNumber() < frames[i] - 1)
            if (!reader.skip())
                break;
        if (!reader.read(frame))
            throw std::runtime_error(job.input + ": has no frame " + std::to_string(frames[i]));
        return samplePlate(frame);
    });
}

KeyedMovie fromMovie(KeySession& session, const KeyJobOptions& options, const MovieJob& job, KeyProgress& progress,
                     const Notice& notice)
{
    checkAscending(job.frames, job.input);
    MovieReader reader(job.input, movieReadOptions(options, notice));
    const MovieInfo& info = reader.info();
    checkMovieSource(info, options, job.input, notice);
    const bool toSequence = isSequencePattern(job.output);
    if (!toSequence)
        checkMovieFrameSize(job.output, info.width, info.height, session.keysAlpha(), options.codec);
    const int first = job.frames.empty() ? 1 : job.frames.first();
    const long count = job.frames.empty() ? info.frameCount : static_cast<long>(job.frames.size());

    // Made once the first kept frame is read: its time is where the movie and its audio start.
    std::optional<MovieWriter> writer;
    const auto startMovie = [&] {
        writer.emplace(job.output, info.width, info.height, session.keysAlpha(),
                       keyedMovieOptions(session, options, job, info, first, notice));
    };

    KeyedMovie result;
    result.chosenClips = prepareMovieShot(session, options, job, info);
    PlanarImage frame;
    const std::string name = fs::path(job.input).filename().string();
    const std::int64_t last = job.frames.empty() ? INT64_MAX : job.frames.runs().back().last;
    std::vector<std::string> written;  // frames of a sequence, each whole once written
    // Into a movie, a frame is keyed a strip at a time as it is converted;
    // held whole only where something is found on it (the first, or each
    // when the map is made per frame), shown in the preview, or keyed through
    // a denoised view (each pixel's reaches its neighbours across strips).
    const bool byStrips = !toSequence && reader.readsByStrip() && !session.denoisesMatte();
    try {
        while (reader.frameNumber() < last) {
            const int next = reader.frameNumber() + 1;
            if (!job.frames.empty() && !job.frames.contains(next)) {
                if (!reader.skip())
                    break;
                continue;
            }
            const bool firstKept = result.frames == 0;
            const bool whole = !byStrips || firstKept || session.mapsScreen();
            // Read before it is counted: a movie shorter than it said shows no frame it does not have.
            if (!(whole ? reader.read(frame) : reader.hold()))
                break;
            progress.startFrame(static_cast<int>(result.frames), static_cast<int>(std::max(count, result.frames + 1)),
                                name + " frame " + std::to_string(next));
            if (whole)
                prepare(session, frame, next, job.input + " frame " + std::to_string(next), result);
            if (!toSequence && !writer)
                startMovie();
            const bool preview = !options.previewPath.empty() && firstKept;
            if (byStrips && !preview) {
                keyByStrips(session, reader, whole ? &frame : nullptr, *writer, progress);
                writer->endFrame(reader.frameTime());
            } else {
                const double rows = std::max(1, frame.box().h());
                const PlanarImage keyed =
                    session.keyImage(frame, [&progress, rows](int done) { progress.update(0.5 * done / rows); });
                if (writer) {
                    writer->write(keyed, reader.frameTime());
                } else {
                    const std::string out = framePath(job.output, next);
                    writeImage(out, keyed, frameSpec(info, next), "movie", session.writeOptions());
                    written.push_back(out);
                }
                if (preview)
                    writePreviewSheet(options.previewPath, frame, keyed);
            }
            if (byStrips && !session.mapsScreen())
                frame = PlanarImage();  // found what was to be found: no frame is held whole again
            progress.endFrame();
            ++result.frames;
            result.pixels += static_cast<long>(info.width) * info.height;
        }
    } catch (const Cancelled&) {
        if (!toSequence)
            throw;
        // The frame being keyed or written when interrupted left nothing; those before it stay.
        throw SequenceInterrupted(written, static_cast<std::size_t>(std::max(count, result.frames)));
    }
    if (!job.frames.empty() && reader.frameNumber() < last)
        throw Failure(Wording{job.input + ": has " + std::to_string(reader.frameNumber()) + " frames; ", UserChoice::Frames,
                              " asks for " + job.frames.describe()});
    if (result.frames == 0)
        throw std::runtime_error(job.input + ": no frame could be decoded");
    if (writer)
        writer->finish();
    return result;
}

// The rate and start timecode an image sequence's first frame gives its movie.
void sequenceTiming(const OIIO::ImageSpec& spec, const MovieJob& job, MovieWriteOptions& write)
{
    write.rateNum = 24, write.rateDen = 1;
    int rate[2] = {0, 0};
    if (job.rateNum > 0)
        write.rateNum = job.rateNum, write.rateDen = job.rateDen;
    else if (spec.getattribute("FramesPerSecond", OIIO::TypeRational, rate) && rate[0] > 0 && rate[1] > 0)
        write.rateNum = rate[0], write.rateDen = rate[1];
    unsigned packed[2] = {0, 0};
    if (spec.getattribute("smpte:TimeCode", OIIO::TypeTimeCode, packed))
        write.timecode = unpackTimecode({packed[0], packed[1]});
    const float aspect = spec.get_float_attribute("PixelAspectRatio", 1.0f);
    // Stored as a float: the smallest fraction it rounds from (4/3, 10/11, 40/33).
    for (int den = 1; aspect > 0 && aspect < 100 && aspect != 1.0f && den <= 1000; ++den) {
        const long num = std::lround(static_cast<double>(aspect) * den);
        if (std::fabs(static_cast<double>(num) / den - static_cast<double>(aspect)) < 1e-5 * static_cast<double>(aspect)) {
            write.aspectNum = static_cast<int>(num), write.aspectDen = den;
            break;
        }
    }
}

KeyedMovie fromSequence(KeySession& session, const KeyJobOptions& options, const MovieJob& job, KeyProgress& progress,
                        const Notice& notice)
{
    if (job.frames.empty())
        throw UsageError(Wording{job.input + " is a sequence: give the frames with ", UserChoice::Frames, ", e.g. 1001-1100"});
    const FrameCheck check = checkFrames(job.input, job.frames);
    if (!check.missing.empty())
        throw std::runtime_error(std::to_string(check.missing.size()) + " of " + std::to_string(job.frames.size()) +
                                 " frames of " + job.input + " missing: " + check.missing.describe() +
                                 " (a movie needs every frame)");
    // A movie has one picture size: every frame's is read from its header
    // before any is keyed, so that a stray one is named before work is spent.
    std::vector<std::string> paths;
    {
        std::string firstPath;
        int width = 0, height = 0;
        job.frames.forEach([&](int f) {
            const std::string in = framePath(job.input, f);
            paths.push_back(in);
            const ImageReader header(in, options.read);
            const int w = header.box().w(), h = header.box().h();
            if (firstPath.empty()) {
                firstPath = in, width = w, height = h;
                checkMovieFrameSize(job.output, w, h, session.keysAlpha(), options.codec);
            } else if (w != width || h != height) {
                throw std::runtime_error(in + " is " + std::to_string(w) + "x" + std::to_string(h) + ", and " + firstPath +
                                         " is " + std::to_string(width) + "x" + std::to_string(height) +
                                         ": a movie's frames must all be one size; nothing was written");
            }
            return true;
        });
    }
    KeyedMovie result;
    // The frames are all on disk: the shot's plate and clips come from
    // several of them before the first is keyed, as for a sequence written
    // as images.
    result.chosenClips = session.prepareShot(paths);
    std::optional<MovieWriter> writer;
    const int count = static_cast<int>(job.frames.size());
    job.frames.forEach([&](int f) {
        const std::string in = framePath(job.input, f);
        progress.startFrame(static_cast<int>(result.frames), count, fs::path(in).filename().string());
        ReadOptions read = options.read;
        read.progress = [&progress](double done) { progress.update(0.4 * done); };
        const SourceImage source = readSourceImage(in, read);
        prepare(session, source.pixels, f, in, result);
        const double rows = std::max(1, source.pixels.box().h());
        const PlanarImage keyed =
            session.keyImage(source.pixels, [&progress, rows](int done) { progress.update(0.4 + 0.3 * done / rows); });
        if (!writer) {
            MovieWriteOptions write = movieWriteOptions(session, options, notice);
            sequenceTiming(source.spec, job, write);
            writer.emplace(job.output, static_cast<int>(keyed.width()), static_cast<int>(keyed.height()),
                           session.keysAlpha(), write);
        }
        writer->write(keyed);
        if (!options.previewPath.empty() && result.frames == 0)
            writePreviewSheet(options.previewPath, source.pixels, keyed);
        progress.endFrame();
        ++result.frames;
        result.pixels += static_cast<long>(keyed.width() * keyed.height());
        return true;
    });
    writer->finish();
    return result;
}

}  // namespace

void checkMovieJob(const MovieJob& job, bool withAlpha)
{
    // An output does not exist yet: its name says what it is.
    const bool movieIn = isMovieFile(job.input), movieOut = isMovieName(job.output);
    if (!movieIn && !movieOut)
        throw UsageError(job.output + ": neither side is a movie");
    if (movieIn && !movieOut && !isSequencePattern(job.output))
        throw UsageError(job.output + ": a movie keys to a movie (.mov, .webm, .mkv) or to an image sequence "
                                      "such as keyed.####.exr");
    if (!movieIn && !isSequencePattern(job.input))
        throw UsageError(job.input + ": a movie is made from an image sequence such as plate.####.exr, or from a movie");
    if (movieOut)
        checkMovieOutput(job.output, withAlpha);
    else
        checkOutputPath(framePath(job.output, job.frames.empty() ? 1 : job.frames.first()),
                        OIIO::TypeDesc::UNKNOWN, withAlpha);
}

KeyedMovie keyMovie(KeySession& session, const KeyJobOptions& options, const MovieJob& job, KeyProgress& progress,
                    const Notice& notice)
{
    checkMovieJob(job, session.keysAlpha());
    if (isMovieName(job.output) && !checkMovieOutput(job.output, session.keysAlpha(), options.codec) &&
        session.keysAlpha() && notice)
        notice(Wording{job.output + ": " + options.codec +
                       " stores no alpha: the matte is not kept, only the colour keyed over black (prores4444, ffv1 "
                       "and vp9 keep it; or key the matte alone with Check Alpha on)"});
    return isMovieFile(job.input) ? fromMovie(session, options, job, progress, notice)
                                  : fromSequence(session, options, job, progress, notice);
}

void parseFrameRate(const std::string& text, int& num, int& den)
{
    const auto bad = [&] {
        return UsageError(Wording{"", UserChoice::FrameRate, " " + text + ": not a frame rate (24, 25, 23.976, 30000/1001)"});
    };
    try {
        std::size_t used = 0;
        if (const std::size_t slash = text.find('/'); slash != std::string::npos) {
            const long n = std::stol(text.substr(0, slash), &used);
            if (used != slash)
                throw bad();
            const std::string d = text.substr(slash + 1);
            const long m = std::stol(d, &used);
            if (used != d.size() || n <= 0 || m <= 0 || n > 1000000 || m > 1000000)
                throw bad();
            num = static_cast<int>(n), den = static_cast<int>(m);
        } else {
            const double v = std::stod(text, &used);
            if (used != text.size() || !(v > 0) || v > 1000)
                throw bad();
            // The NTSC rates are written rounded; they mean N*1000/1001.
            for (int base : {24, 30, 48, 60, 120})
                if (std::fabs(v - base * 1000.0 / 1001) < 0.006 && std::fabs(v - base) > 0.006) {
                    num = base * 1000, den = 1001;
                    return;
                }
            num = static_cast<int>(std::lround(v * 1000)), den = 1000;
        }
        const int g = std::gcd(num, den);
        num /= g, den /= g;
    } catch (const std::logic_error&) {
        throw bad();
    }
}

}  // namespace veilcast
