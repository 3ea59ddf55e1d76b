// SPDX-License-Identifier: Apache-2.0
#include "ModuleLoader.h"

#include <dlfcn.h>

namespace veilcast::module {

const char* const suffix = ".so";

void* open(const std::string& path, std::string& error)
{
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        error = why ? why : "unknown error";
    }
    return handle;
}

void close(void* handle)
{
    dlclose(handle);
}

}  // namespace veilcast::module
