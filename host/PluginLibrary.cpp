// SPDX-License-Identifier: Apache-2.0
#include "veilcast/host/PluginLibrary.h"

#include "ModuleLoader.h"

#include <filesystem>
#include <stdexcept>

namespace veilcast {

PluginLibrary::PluginLibrary(const std::string& path) : path_(path)
{
    std::string why;
    handle_ = module::open(path, why);
    if (!handle_)
        throw std::runtime_error("cannot load plugin " + path + ": " + why);
}

PluginLibrary::PluginLibrary(PluginLibrary&& other) noexcept
    : path_(std::move(other.path_)), handle_(other.handle_)
{
    other.handle_ = nullptr;
}

PluginLibrary::~PluginLibrary()
{
    if (handle_)
        module::close(handle_);
}

std::string PluginLibrary::fileName(const std::string& operatorName)
{
    return operatorName + module::suffix;
}

std::string PluginLibrary::find(const std::string& operatorName, const std::vector<std::string>& directories)
{
    const std::string name = fileName(operatorName);
    std::string searched;
    for (const std::string& dir : directories) {
        const std::filesystem::path candidate = std::filesystem::u8path(dir) / std::filesystem::u8path(name);
        std::error_code ec;
        if (std::filesystem::is_regular_file(candidate, ec))
            return candidate.u8string();
        searched += (searched.empty() ? "" : ", ") + dir;
    }
    throw std::runtime_error("no plugin module " + name + " found in: " +
                             (searched.empty() ? std::string("(no directories)") : searched));
}

}  // namespace veilcast
