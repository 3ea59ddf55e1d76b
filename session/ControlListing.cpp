// SPDX-License-Identifier: Apache-2.0
// The control table as the command line lists it.
#include "veilcast/session/ControlSettings.h"

#include <OpenImageIO/strutil.h>

#include <sstream>

namespace veilcast {

using namespace DD::Image;
namespace Strutil = OIIO::Strutil;

std::string describeControls(const Controls& controls)
{
    std::ostringstream os;
    std::string indent;
    for (const Controls::Control& c : controls.all()) {
        const Knob& k = *c.knob;
        if (k.type() == GROUP_KNOB) {
            if (isGroupEnd(k)) {
                indent.clear();
            } else {
                os << "\n" << c.label() << " (group " << c.name() << ")\n";
                indent = "  ";
            }
            continue;
        }
        if (!c.hasValue())
            continue;
        const std::string value = formatControlValue(c, c.value());
        os << indent << Strutil::fmt::format("{:<22} {:<28} {:<6} default {}", c.label(), c.name(), controlKind(k),
                                             k.type() == ENUMERATION_KNOB ? "\"" + value + "\"" : value);
        if (k.hasRange())
            os << Strutil::fmt::format("  slider {}..{}", k.rangeMin(), k.rangeMax());
        if (k.type() == ENUMERATION_KNOB) {
            const auto items = c.items();
            os << "  items:";
            for (std::size_t i = 0; i < items.size(); ++i)
                os << (i ? "," : "") << " " << i << " \"" << items[i] << "\"";
        }
        os << "\n";
    }
    return os.str();
}

}  // namespace veilcast
