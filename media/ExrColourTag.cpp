// SPDX-License-Identifier: Apache-2.0
#include "ExrColourTag.h"

#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfInputFile.h>
#include <OpenEXR/ImfOutputFile.h>
#include <OpenEXR/ImfStdIO.h>
#include <OpenEXR/ImfStringAttribute.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace veilcast {

namespace {

std::runtime_error systemError(const char* what)
{
    return std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

}  // namespace

void recordExrColourSpace(int fd, const std::string& space)
{
    struct stat st {};
    if (fstat(fd, &st) != 0)
        throw systemError("cannot see the file");
    std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n <= 0)
            throw n == 0 ? std::runtime_error("the file shrank while read") : systemError("cannot read the file");
        done += static_cast<std::size_t>(n);
    }
    Imf::StdISStream in;
    in.str(bytes);
    Imf::StdOSStream out;
    {
        Imf::InputFile input(in);
        Imf::Header header = input.header();
        header.insert("oiio:ColorSpace", Imf::StringAttribute(space));
        Imf::OutputFile output(out, header);
        output.copyPixels(input);
    }
    bytes = out.str();
    if (ftruncate(fd, 0) != 0)
        throw systemError("cannot rewrite the file");
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n <= 0)
            throw systemError("cannot rewrite the file");
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace veilcast
