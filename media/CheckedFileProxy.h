// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <OpenImageIO/filesystem.h>

#include <string>

namespace veilcast {

// The image library's file access routed through a file descriptor we opened
// ourselves, remembering the first error of any read or write. Image writers
// do not all report a failed write (a full disk, a file-size limit): this
// one is asked afterwards.
class CheckedFileProxy final : public OIIO::Filesystem::IOProxy {
public:
    CheckedFileProxy(const std::string& name, int fd) : IOProxy(name, Write), fd_(fd) {}

    const char* proxytype() const override { return "veilcast-checked"; }
    std::size_t read(void* buf, std::size_t size) override;
    std::size_t write(const void* buf, std::size_t size) override;
    std::size_t pread(void* buf, std::size_t size, int64_t offset) override;
    std::size_t pwrite(const void* buf, std::size_t size, int64_t offset) override;
    std::size_t size() const override;

    // The first error seen, as errno, or 0.
    int failure() const { return failure_; }

private:
    int fd_;
    int failure_ = 0;
};

}  // namespace veilcast
