// SPDX-License-Identifier: Apache-2.0
#include "Commands.h"

#include "veilcast/media/DemoPlate.h"

#include <OpenImageIO/imageio.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>

namespace veilcast {

namespace fs = std::filesystem;

int runDemo(const Arguments& args, const CancellationToken& cancellation)
{
    const fs::path dir(args.demoDir);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec)
        throw std::runtime_error(dir.string() + ": cannot create the directory: " + ec.message());

    const std::string platePath = (dir / "plate.exr").string();
    OIIO::ImageSpec spec(960, 540, 3, OIIO::TypeDesc::FLOAT);
    spec.attribute("compression", "zip");
    spec.attribute("ImageDescription", "veilcast demo: a synthetic green-screen plate");
    writeImage(platePath, makeDemoPlate(), spec, "openexr", {});
    if (!args.quiet)
        std::printf("wrote the synthetic plate %s\n", platePath.c_str());

    Arguments key = args;
    key.request.input = platePath;
    key.request.output = (dir / "keyed.exr").string();
    key.request.preview = (dir / "preview.png").string();
    key.request.pick = "auto";
    key.request.sets = {"Clip Black=0.12", "Clip White=0.9"};
    std::string settings;
    runKey(key, cancellation, &settings);
    if (!args.quiet) {
        std::printf("wrote %s and the contact sheet %s\n", key.request.output.c_str(), key.request.preview.c_str());
        std::printf("keyed with: %s\n", settings.c_str());
    }

    // The same key with a screen colour per pixel, found on the plate, which
    // follows its uneven light where one colour cannot.
    Arguments mapped = key;
    mapped.request.output = (dir / "keyed-map.exr").string();
    mapped.request.preview = (dir / "preview-map.png").string();
    mapped.request.screenMap = "auto";
    runKey(mapped, cancellation, &settings);
    if (!args.quiet) {
        std::printf("wrote %s and the contact sheet %s, keyed the same with a screen map found on the plate\n",
                    mapped.request.output.c_str(), mapped.request.preview.c_str());
        std::printf("keyed with: --screen-map auto %s\n", settings.c_str());
    }
    return 0;
}

}  // namespace veilcast
