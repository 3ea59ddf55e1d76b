// SPDX-License-Identifier: Apache-2.0
// Bytes as an image file, through the whole path a frame takes: read, key
// through the loaded operator, write. A refusal (an exception with a
// message) is the right answer to a bad file; a crash, a sanitizer report or
// a leak is a finding.

#include "veilcast/session/KeySession.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

namespace {

namespace fs = std::filesystem;
using namespace veilcast;

// The first byte picks what the bytes claim to be and what is written.
const char* const kInputs[] = {".exr", ".png", ".tif", ".jpg", ".dpx", ".tga", ".bmp", ".hdr"};
const char* const kOutputs[] = {".exr", ".png", ".tif"};

struct Workspace {
    fs::path dir;
    std::unique_ptr<KeySession> session;

    Workspace()
    {
        dir = fs::temp_directory_path() / ("veilcast-image-fuzz-" + std::to_string(getpid()));
        fs::create_directories(dir);
        KeyJobOptions options;
        options.settings = {{"Screen Color", "0.1,0.6,0.1", "fuzz"}, {"Source Alpha", "Normal", "fuzz"}};
        // Declared sizes are the fuzzer's to choose; the limit keeps each run small
        // (a run-length BMP of 160 bytes may declare a million pixels, which took
        // over 20 s to key and write under the sanitizers on a busy machine).
        options.read.maxPixels = 1 << 16;
        options.threads = 1;
        session = std::make_unique<KeySession>(std::vector<std::string>{VEILCAST_PLUGIN_DIR}, options);
    }
    ~Workspace() { fs::remove_all(dir); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Workspace work;
    if (size < 1)
        return 0;
    const std::string input = (work.dir / (std::string("in") + kInputs[data[0] % std::size(kInputs)])).string();
    const std::string output =
        (work.dir / (std::string("out") + kOutputs[(data[0] / std::size(kInputs)) % std::size(kOutputs)])).string();
    if (std::FILE* f = std::fopen(input.c_str(), "wb")) {
        std::fwrite(data + 1, 1, size - 1, f);
        std::fclose(f);
    }
    NoProgress progress;
    try {
        work.session->keyFile(input, output, progress, 0, 1);
    } catch (const std::exception&) {
    }
    std::error_code ec;
    fs::remove(input, ec);
    fs::remove(output, ec);
    return 0;
}
