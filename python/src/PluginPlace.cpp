// SPDX-License-Identifier: Apache-2.0
#include "PluginPlace.h"

#include <dlfcn.h>

#include <filesystem>

namespace veilcast::python {

namespace fs = std::filesystem;

std::vector<std::string> pluginDirectories()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&pluginDirectories), &info) == 0 || !info.dli_fname)
        return {};
    std::error_code ec;
    const fs::path package = fs::weakly_canonical(fs::absolute(info.dli_fname, ec), ec).parent_path();
    return {(package / "../../plugins").lexically_normal().string(), (package / "plugins").string(),
            (package / VEILCAST_PLUGINS_FROM_PACKAGE).lexically_normal().string()};
}

}  // namespace veilcast::python
