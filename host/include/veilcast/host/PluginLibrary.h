// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <vector>

namespace veilcast {

// A loaded plugin module. Loading runs its static initialisers, which register
// its operators with the image library; the module stays loaded for the life
// of this object. Throws std::runtime_error naming the file when it cannot load.
class PluginLibrary {
public:
    explicit PluginLibrary(const std::string& path);
    ~PluginLibrary();
    PluginLibrary(PluginLibrary&& other) noexcept;
    PluginLibrary& operator=(PluginLibrary&&) = delete;
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    const std::string& path() const { return path_; }

    // The module file name for an operator name: "ZAVVeilcast" ->
    // ZAVVeilcast.so, or ZAVVeilcast.dll on Windows.
    static std::string fileName(const std::string& operatorName);

    // That file in the first of `directories` that has it; throws when none
    // does. Paths are UTF-8.
    static std::string find(const std::string& operatorName, const std::vector<std::string>& directories);

private:
    std::string path_;
    void* handle_ = nullptr;
};

}  // namespace veilcast
