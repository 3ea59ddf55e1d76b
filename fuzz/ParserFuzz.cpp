// SPDX-License-Identifier: Apache-2.0
// The parsers of what users type and write: settings files, --set values for
// every kind of control, frame ranges, file patterns and pick boxes. Each
// either parses or throws UsageError with a message; nothing else.

#include "veilcast/session/ControlSettings.h"
#include "veilcast/media/FrameSequence.h"
#include "veilcast/host/OperatorNode.h"
#include "veilcast/host/PluginLibrary.h"
#include "veilcast/session/ScreenPicker.h"
#include "veilcast/common/UsageError.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

using namespace veilcast;

struct Node {
    PluginLibrary plugin{PluginLibrary::find("ZAVVeilcast", {VEILCAST_PLUGIN_DIR})};
    OperatorNode node{"ZAVVeilcast"};
};

template <class Parse>
void expectParsedOrRefused(Parse&& parse)
{
    try {
        parse();
    } catch (const UsageError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Node node;
    const std::string text(reinterpret_cast<const char*>(data), size);

    expectParsedOrRefused([&] {
        for (const Setting& s : parseSettings(text, "fuzz"))
            applySettings(node.node.controls(), {s});
    });
    for (const Controls::Control& c : node.node.controls().all())
        if (c.hasValue())
            expectParsedOrRefused([&] { node.node.controls().set(c.name(), parseControlValue(c, text)); });
    expectParsedOrRefused([&] {
        const FrameList frames = parseFrameRange(text);
        frames.describe();
        if (parseFrameRange(frames.format()).format() != frames.format())
            std::abort();  // a list that does not read back as itself
        std::uint64_t n = 0;
        frames.forEach([&](int f) {
            framePath("p.####.exr", f);
            return ++n < 64;
        });
    });
    framePath(text, -7);
    isSequencePattern(text);
    expectParsedOrRefused([&] { parsePickBox(text); });
    return 0;
}
