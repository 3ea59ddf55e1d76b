#include "Verify.h"

#include <OpenImageIO/imageio.h>

#include <sys/stat.h>

namespace veilcast::farm {

namespace {

void append(FrameList& list, int f)
{
    if (!list.empty()) {
        const FrameList::Run last = list.runs().back();
        if (f == last.last + 1) {
            FrameList merged;
            for (std::size_t i = 0; i + 1 < list.runs().size(); ++i)
                merged.add(list.runs()[i]);
            merged.add({last.first, f, 1});
            list = merged;
            return;
        }
    }
    list.add({f, f, 1});
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
    check.present.forEach([&](int f) {
        append(opens(framePath(pattern, f)) ? report.good : report.unreadable, f);
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
