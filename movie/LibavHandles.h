// SPDX-License-Identifier: Apache-2.0
#pragma once

// Owners for FFmpeg's objects, freed by FFmpeg's own calls, and what
// decoding and encoding hold alike.

#include "TransferCurve.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

namespace veilcast {

struct CodecFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ScaleFree {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
// A container opened for reading.
struct InputClose {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
// A container being written: its file is closed with it.
struct OutputFree {
    void operator()(AVFormatContext* c) const
    {
        if (c->pb)
            avio_closep(&c->pb);
        avformat_free_context(c);
    }
};

using CodecHandle = std::unique_ptr<AVCodecContext, CodecFree>;
using FrameHandle = std::unique_ptr<AVFrame, FrameFree>;
using PacketHandle = std::unique_ptr<AVPacket, PacketFree>;
using ScaleHandle = std::unique_ptr<SwsContext, ScaleFree>;
using InputHandle = std::unique_ptr<AVFormatContext, InputClose>;
using OutputHandle = std::unique_ptr<AVFormatContext, OutputFree>;

// FFmpeg's thread count for `threads` (0: every core).
inline int threadCount(int threads)
{
    return threads > 0 ? threads : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

// FFmpeg's name for a pixel format, or "unknown".
inline std::string pixelFormatName(int format)
{
    const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(format));
    return name ? name : "unknown";
}

// A packet, or std::runtime_error naming `what` when there is no memory for one.
inline PacketHandle newPacket(const std::string& what)
{
    PacketHandle packet(av_packet_alloc());
    if (!packet)
        throw std::runtime_error(what + ": out of memory");
    return packet;
}

// A codec's side of a movie: the codec, a frame and a packet for it, the
// conversion between its pixels and 16-bit RGB, and the stream's transfer.
struct VideoCoding {
    explicit VideoCoding(const std::string& what) : frame(av_frame_alloc()), packet(newPacket(what))
    {
        if (!frame)
            throw std::runtime_error(what + ": out of memory");
    }

    CodecHandle codec;
    FrameHandle frame;
    PacketHandle packet;
    ScaleHandle scale;
    std::optional<TransferCurve> curve;
};

}  // namespace veilcast
