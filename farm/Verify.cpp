// SPDX-License-Identifier: Apache-2.0
#include "veilcast/farm/Verify.h"

#include <OpenImageIO/imageio.h>

namespace veilcast::farm {

namespace {

bool opens(const std::string& path)
{
    auto input = OIIO::ImageInput::open(path);
    const bool ok = input && input->spec().width > 0 && input->spec().height > 0;
    (void)OIIO::geterror();
    return ok;
}

}  // namespace

FrameReport verifyFrames(const std::string& pattern, const FrameList& frames)
{
    FrameReport report;
    const FrameCheck check = checkFrames(pattern, frames);
    report.missing = check.missing;
    check.present.forEach([&](int f) {
        (opens(framePath(pattern, f)) ? report.good : report.unreadable).append(f);
        return true;
    });
    return report;
}

std::string summaryLine(const FrameReport& report, const std::string& pattern)
{
    const std::uint64_t total = report.good.size() + report.missing.size() + report.unreadable.size();
    std::string line = (report.complete() ? "complete: " : "INCOMPLETE: ") + std::to_string(report.good.size()) +
                       " of " + std::to_string(total) + " frames of " + pattern + " present and readable";
    if (!report.good.empty())
        line += " (" + report.good.describe() + ")";
    if (!report.missing.empty())
        line += "; missing " + report.missing.describe();
    if (!report.unreadable.empty())
        line += "; unreadable " + report.unreadable.describe();
    return line;
}

}  // namespace veilcast::farm
