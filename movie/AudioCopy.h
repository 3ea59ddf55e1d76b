// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "LibavHandles.h"

#include <functional>
#include <string>

namespace veilcast {

// Copies a movie's first audio stream, packets unchanged, into an output
// being muxed, from a start in the source (set by begin(), before the
// first copy) moved to zero, to the audio's end or to end(). A packet that
// straddles the start is kept: its head plays before the first frame, as
// an edit list or the muxer's shift says. Packets are handed over as the
// video reaches their time, so the two interleave.
class AudioCopy {
public:
    // Opens `source`; when it has audio the output container holds (its
    // muxer is asked, as it would be for the header), adds the output
    // stream. Otherwise stays idle and `notice` hears why (once, one line)
    // unless there is simply no audio. `output` must outlive it.
    AudioCopy(const std::string& source, AVFormatContext* output,
              const std::function<void(const std::string&)>& notice);
    // The span starts `seconds` after the source's audio starts.
    void begin(double seconds);
    // The span ends `seconds` after its start (of the output's time).
    void end(double seconds);
    // Writes the packets before `seconds` (of the output's time); throws
    // std::runtime_error naming `target` when writing fails.
    void copyUntil(double seconds, const std::string& target);

private:
    long long toStream(double seconds) const;

    InputHandle in_;
    AVFormatContext* output_ = nullptr;  // the muxer's, as is the stream in it
    AVStream* out_ = nullptr;
    PacketHandle pending_;
    int stream_ = -1;
    long long origin_ = 0;           // the video's start, in the audio's time base
    long long start_ = 0, end_ = 0;  // from origin_, in the source stream's time base
    bool ended_ = false;
};

}  // namespace veilcast
