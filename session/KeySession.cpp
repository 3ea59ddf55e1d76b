// SPDX-License-Identifier: Apache-2.0
#include "veilcast/session/KeySession.h"

#include "veilcast/host/UsageError.h"
#include "veilcast/host/ImageSource.h"
#include "veilcast/media/Preview.h"
#include "veilcast/host/RowRenderer.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>

namespace veilcast {

using namespace DD::Image;
namespace fs = std::filesystem;

std::vector<std::string> defaultPluginDirectories()
{
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec)
        return {};
    const fs::path dir = exe.parent_path();
    return {(dir / "../plugins").lexically_normal().string(),
            (dir / "../lib/veilcast/plugins").lexically_normal().string()};
}

bool samePath(const std::string& a, const std::string& b)
{
    std::error_code ec;
    if (fs::exists(a, ec) && fs::exists(b, ec))
        return fs::equivalent(a, b, ec);
    // Made absolute first: a relative path none of whose parts exist would
    // otherwise stay relative while "./" + it becomes absolute.
    return fs::weakly_canonical(fs::absolute(a, ec), ec) == fs::weakly_canonical(fs::absolute(b, ec), ec);
}

KeySession::KeySession(const std::vector<std::string>& pluginDirectories, const KeyJobOptions& options)
    : plugin_(PluginLibrary::find("ZAVVeilcast", pluginDirectories)), node_("ZAVVeilcast"), options_(options)
{
    Controls& controls = node_.controls();
    applySettings(controls, options_.settings);
    const Controls::Control* screen = controls.find("ScreenColorKnob");
    const bool screenSet = std::any_of(options_.settings.begin(), options_.settings.end(),
                                       [&](const Setting& s) { return controls.find(s.name) == screen; });
    if (!screenSet && options_.pick.kind == ScreenPick::Kind::None)
        options_.pick.kind = ScreenPick::Kind::Auto;
}

bool KeySession::keysAlpha() const
{
    return !std::get<bool>(node_.controls().get("CheckAlphaKnob"));
}

PlanarImage KeySession::keyImage(const PlanarImage& source, const std::function<void(int)>& rowsDone)
{
    ImageSource src(source);
    Iop& op = node_.op();
    op.set_input(0, &src);
    validateAndRequest(op, Mask_RGBA);
    std::vector<Channel> channels;
    const ChannelSet out = op.info().channels();
    for (Channel z = out.first(); z; z = out.next(z))
        channels.push_back(z);
    PlanarImage result(op.info().box(), op.info().format(), channels);
    RenderOptions render;
    render.threads = options_.threads;
    const auto cancelled = [token = options_.cancellation] { return token && token->cancelled(); };
    render.cancelled = cancelled;
    render.progress = rowsDone;
    const RenderResult status = renderRows(op, result, render);
    op.set_input(0, nullptr);
    if (status == RenderResult::Aborted || cancelled())
        throw Cancelled();
    return result;
}

KeyedFrame KeySession::keyFile(const std::string& input, const std::string& output, KeyProgress& progress, int index,
                              int count)
{
    if (samePath(input, output))
        throw UsageError(output + ": the output would overwrite the input");
    // Reading and writing take most of a frame's time; keying is quick.
    constexpr double kReadShare = 0.45, kKeyShare = 0.1;
    progress.startFrame(index, count, fs::path(input).filename().string());
    ReadOptions read;
    read.raw = options_.raw;
    read.maxPixels = options_.maxPixels;
    read.part = options_.part;
    read.layer = options_.layer;
    read.colour = options_.colour;
    read.progress = [&progress](double done) { progress.update(done * kReadShare); };
    const SourceImage source = readSourceImage(input, read);
    KeyedFrame frame;
    frame.notice = source.notice;

    if (!screenPicked_ && options_.pick.kind != ScreenPick::Kind::None) {
        const auto& b = options_.pick.box;
        try {
            frame.pickedScreen = options_.pick.kind == ScreenPick::Kind::Auto
                                     ? pickScreenAuto(source.pixels)
                                     : pickScreenInBox(source.pixels, b[0], b[1], b[2], b[3]);
        } catch (const std::invalid_argument& e) {
            throw std::runtime_error(input + ": " + e.what());
        }
        node_.controls().set("ScreenColorKnob", *frame.pickedScreen);
        screenPicked_ = true;
    }

    const double rows = std::max(1, source.pixels.box().h());
    const PlanarImage result = keyImage(source.pixels, [&progress, rows](int done) {
        progress.update(kReadShare + kKeyShare * done / rows);
    });
    const auto cancelled = [token = options_.cancellation] { return token && token->cancelled(); };
    WriteOptions write = options_.write;
    write.raw = options_.raw;
    write.colour = options_.colour;
    write.cancelled = cancelled;
    write.settings = settingsSummary(node_.controls());
    write.progress = [&progress](double done) { progress.update(kReadShare + kKeyShare + (1 - kReadShare - kKeyShare) * done); };
    writeImage(output, result, source.spec, source.formatName, write);
    if (!options_.previewPath.empty() && index == 0)
        writePreviewSheet(options_.previewPath, source.pixels, result);
    progress.endFrame();
    frame.pixels = static_cast<long>(result.width() * result.height());
    return frame;
}

}  // namespace veilcast
