// SPDX-License-Identifier: Apache-2.0
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

// For callers that show nothing.
class NoProgress final : public KeyProgress {
public:
    void startFrame(int, int, const std::string&) override {}
    void update(double) override {}
    void endFrame() override {}
};

}  // namespace veilcast
