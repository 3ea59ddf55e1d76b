// SPDX-License-Identifier: Apache-2.0
#include "veilcast/farm/Verify.h"

#include <OpenImageIO/imageio.h>

#include <vector>

namespace veilcast::farm {

namespace {

void append(std::vector<FrameList::Run>& runs, int f)
{
    if (!runs.empty() && f == runs.back().last + 1)
        runs.back().last = f;
    else
        runs.push_back({f, f, 1});
}

FrameList fromRuns(const std::vector<FrameList::Run>& runs)
{
    FrameList list;
    for (const FrameList::Run& r : runs)
        list.add(r);
    return list;
}

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
    std::vector<FrameList::Run> good, unreadable;
    check.present.forEach([&](int f) {
        append(opens(framePath(pattern, f)) ? good : unreadable, f);
        return true;
    });
    report.good = fromRuns(good);
    report.unreadable = fromRuns(unreadable);
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
