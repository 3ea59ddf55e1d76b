#include "FileKeyer.h"

#include "ExitStatus.h"
#include "ImageSource.h"
#include "Interrupt.h"
#include "Preview.h"
#include "RowRenderer.h"

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

FileKeyer::FileKeyer(const std::vector<std::string>& pluginDirectories, const KeyJobOptions& options)
    : plugin_(PluginLibrary::find("ZAVVeilcast", pluginDirectories)), node_("ZAVVeilcast"), options_(options)
{
    applySettings(node_.controls(), options_.settings);
}

KeyedFrame FileKeyer::keyFile(const std::string& input, const std::string& output, Progress& progress, int index,
                              int count)
{
    if (samePath(input, output))
        throw UsageError(output + ": the output would overwrite the input");
    const SourceImage source = readSourceImage(input, options_.raw, options_.maxPixels);
    KeyedFrame frame;

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

    ImageSource src(source.pixels);
    Iop& op = node_.op();
    op.set_input(0, &src);
    validateAndRequest(op, Mask_RGBA);
    std::vector<Channel> channels;
    const ChannelSet out = op.info().channels();
    for (Channel z = out.first(); z; z = out.next(z))
        channels.push_back(z);
    PlanarImage result(op.info().box(), op.info().format(), channels);

    progress.startFrame(index, count, fs::path(input).filename().string(), result.box().h());
    RenderOptions render;
    render.threads = options_.threads;
    render.cancelled = interrupted;
    render.progress = [&progress](int rows) { progress.rowsDone(rows); };
    const RenderResult status = renderRows(op, result, render);
    op.set_input(0, nullptr);
    if (status == RenderResult::Aborted || interrupted())
        throw Interrupted();

    WriteOptions write = options_.write;
    write.raw = options_.raw;
    write.cancelled = interrupted;
    writeImage(output, result, source.spec, write);
    if (!options_.previewPath.empty() && index == 0)
        writePreviewSheet(options_.previewPath, source.pixels, result);
    frame.pixels = static_cast<long>(result.width() * result.height());
    return frame;
}

}  // namespace veilcast
