// SPDX-License-Identifier: Apache-2.0
#include "veilcast/session/SmallFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace veilcast {

SmallFile readSmallFile(const std::string& path, bool followLinks)
{
    SmallFile file;
    // O_NONBLOCK: a FIFO must not hang the run before it is refused as not a regular file.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        file.openError = errno;
        return file;
    }
    struct stat st;
    file.regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    file.small = file.regular && st.st_size <= kMaxSmallFileBytes;
    if (file.regular) {
        file.owner = st.st_uid;
        file.mode = st.st_mode;
    }
    if (file.small) {
        file.bytes.resize(static_cast<std::size_t>(st.st_size) + 1);
        std::size_t done = 0;
        while (done < file.bytes.size()) {
            const ssize_t n = read(fd, file.bytes.data() + done, file.bytes.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                file.readError = errno;
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
        file.bytes.resize(done);
    }
    close(fd);
    return file;
}

}  // namespace veilcast
