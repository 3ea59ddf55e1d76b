#include "PluginLibrary.h"

#include <dlfcn.h>

#include <filesystem>
#include <stdexcept>

namespace veilcast {

PluginLibrary::PluginLibrary(const std::string& path) : path_(path)
{
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* why = dlerror();
        throw std::runtime_error("cannot load plugin " + path + ": " + (why ? why : "unknown error"));
    }
}

PluginLibrary::PluginLibrary(PluginLibrary&& other) noexcept
    : path_(std::move(other.path_)), handle_(other.handle_)
{
    other.handle_ = nullptr;
}

PluginLibrary::~PluginLibrary()
{
    if (handle_)
        dlclose(handle_);
}

std::string PluginLibrary::find(const std::string& operatorName, const std::vector<std::string>& directories)
{
    std::string searched;
    for (const std::string& dir : directories) {
        const std::filesystem::path candidate = std::filesystem::path(dir) / (operatorName + ".so");
        std::error_code ec;
        if (std::filesystem::is_regular_file(candidate, ec))
            return candidate.string();
        searched += (searched.empty() ? "" : ", ") + dir;
    }
    throw std::runtime_error("no plugin module " + operatorName + ".so found in: " +
                             (searched.empty() ? std::string("(no directories)") : searched));
}

}  // namespace veilcast
