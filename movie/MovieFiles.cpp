// SPDX-License-Identifier: Apache-2.0
#include "veilcast/movie/MovieFiles.h"

#include "LibavHandles.h"
#include "veilcast/media/FileExtensions.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

namespace veilcast {

namespace fs = std::filesystem;

namespace {

// Extensions the image library reads as pictures. Only the two formats that
// may animate are looked into: the others are stills whatever they hold.
bool isStillName(const std::string& ext)
{
    for (const char* still : {".exr", ".dpx", ".cin", ".tif", ".tiff", ".tx", ".jpg", ".jpeg", ".hdr", ".tga", ".bmp",
                              ".sgi", ".rgb", ".psd", ".jp2", ".j2k", ".ico", ".webp", ".pic", ".ppm", ".pgm", ".pnm"})
        if (ext == still)
            return true;
    return false;
}

bool isPictureReader(const AVInputFormat* format)
{
    const std::string name = format->name;
    return name.find("_pipe") != std::string::npos || name.rfind("image2", 0) == 0 || name == "ico" || name == "tty";
}

// What FFmpeg makes of the file's first bytes, if anything.
const AVInputFormat* probeContent(const std::string& path)
{
    constexpr std::size_t kProbeBytes = 16 * 1024;
    std::vector<unsigned char> bytes(kProbeBytes + AVPROBE_PADDING_SIZE, 0);
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(kProbeBytes));
    const auto got = in.gcount();
    if (got <= 0)
        return nullptr;
    AVProbeData probe{};
    probe.filename = "";  // by content alone: the name is what misled
    probe.buf = bytes.data();
    probe.buf_size = static_cast<int>(got);
    int score = 0;
    const AVInputFormat* format = av_probe_input_format3(&probe, 1, &score);
    return format && score > AVPROBE_SCORE_RETRY ? format : nullptr;
}

// Whether the file has a video stream of footage, and for a picture format
// that may animate, more than one frame of it.
bool holdsFootage(const std::string& path, const AVInputFormat* format)
{
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, path.c_str(), format, nullptr) < 0)
        return false;
    InputHandle movie(opened);
    if (avformat_find_stream_info(opened, nullptr) < 0)
        return false;
    int video = -1;
    for (unsigned i = 0; i < opened->nb_streams && video < 0; ++i) {
        const AVStream* st = opened->streams[i];
        if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(st->disposition & AV_DISPOSITION_ATTACHED_PIC))
            video = static_cast<int>(i);
    }
    if (video < 0)
        return false;
    const std::string name = format->name;
    if (name != "gif" && name != "apng")
        return true;
    PacketHandle packet(av_packet_alloc());
    int frames = 0;
    while (packet && frames < 2 && av_read_frame(opened, packet.get()) >= 0) {
        if (packet->stream_index == video)
            ++frames;
        av_packet_unref(packet.get());
    }
    return frames >= 2;
}

}  // namespace

bool isMovieName(const std::string& path)
{
    const std::string ext = lowerExtension(path);
    for (const char* movie : {".mov", ".mp4", ".m4v", ".mkv", ".webm", ".avi", ".mxf", ".ts", ".mts", ".m2ts", ".mpg", ".mpeg"})
        if (ext == movie)
            return true;
    return false;
}

bool isMovieFile(const std::string& path)
{
    std::error_code error;
    const bool exists = fs::is_regular_file(path, error);
    av_log_set_level(AV_LOG_QUIET);
    // A picture under a movie's name is keyed as the picture it is; what
    // else the name calls a movie (absent, or cut short past recognition)
    // goes to the movie reader, which says what is wrong with it.
    if (isMovieName(path)) {
        const AVInputFormat* format = exists ? probeContent(path) : nullptr;
        return !format || !isPictureReader(format);
    }
    if (!exists || isStillName(lowerExtension(path)))
        return false;
    const AVInputFormat* format = probeContent(path);
    return format && !isPictureReader(format) && holdsFootage(path, format);
}

}  // namespace veilcast
