#pragma once

#include <string>

namespace veilcast {

// What a keying run reports as it goes, for a front end to show. Updates may
// come from worker threads.
class KeyProgress {
public:
    virtual ~KeyProgress() = default;
    virtual void startFrame(int index, int count, const std::string& name) = 0;
    // How much of the frame is done, 0..1: reading, keying and writing together.
    virtual void update(double fraction) = 0;
    virtual void endFrame() = 0;
};

}  // namespace veilcast
