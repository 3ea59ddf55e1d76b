// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "LibavHandles.h"

#include <functional>
#include <string>
#include <vector>

namespace veilcast {

// Carries what a movie holds besides the keyed picture into an output being
// muxed: every audio and subtitle stream, packets unchanged, with its tags
// (language, title) and disposition; the container's metadata (title,
// creation time, comment); and, for a whole movie, its chapters. Packets run
// from a start in the source (set by begin(), before the first copy) moved
// to zero, to their end or to end(). A packet that straddles the start is
// kept: its head plays before the first frame, as an edit list or the
// muxer's shift says. Packets are handed over as the video reaches their
// time, so the streams interleave.
class StreamCopy {
public:
    // Opens `source` and adds to `output` each stream its container holds
    // (its muxer is asked, as it would be for the header); `notice` hears,
    // one line each, what was left out and why. Chapters are copied unless
    // `partOfMovie` (they describe the whole). `output` must outlive it.
    StreamCopy(const std::string& source, AVFormatContext* output, bool partOfMovie,
               const std::function<void(const std::string&)>& notice);
    // The span starts `seconds` after the source's video starts.
    void begin(double seconds);
    // The span ends `seconds` after its start (of the output's time).
    void end(double seconds);
    // Writes the packets before `seconds` (of the output's time); throws
    // std::runtime_error naming `target` when writing fails.
    void copyUntil(double seconds, const std::string& target);

private:
    InputHandle in_;
    AVFormatContext* output_ = nullptr;  // the muxer's, as are the streams in it
    std::vector<AVStream*> out_;         // by the source's stream index; null: not copied
    std::vector<bool> done_;             // a stream whose packets have passed the end
    PacketHandle pending_;
    // The video's start, and the span from it, in microseconds.
    long long origin_ = 0, start_ = 0, end_ = 0;
    bool ended_ = false;
};

}  // namespace veilcast
