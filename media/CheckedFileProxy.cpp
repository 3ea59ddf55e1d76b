// SPDX-License-Identifier: Apache-2.0
#include "CheckedFileProxy.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace veilcast {

std::size_t CheckedFileProxy::read(void* buf, std::size_t size)
{
    const std::size_t n = pread(buf, size, m_pos);
    m_pos += static_cast<int64_t>(n);
    return n;
}

std::size_t CheckedFileProxy::write(const void* buf, std::size_t size)
{
    const std::size_t n = pwrite(buf, size, m_pos);
    m_pos += static_cast<int64_t>(n);
    return n;
}

std::size_t CheckedFileProxy::pread(void* buf, std::size_t size, int64_t offset)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd_, static_cast<char*>(buf) + done, size - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            if (!failure_)
                failure_ = errno;
            break;
        }
        if (n == 0)
            break;  // end of file: a short read is the reader's to judge
        done += static_cast<std::size_t>(n);
    }
    return done;
}

std::size_t CheckedFileProxy::pwrite(const void* buf, std::size_t size, int64_t offset)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n =
            ::pwrite(fd_, static_cast<const char*>(buf) + done, size - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (!failure_)
                failure_ = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

std::size_t CheckedFileProxy::size() const
{
    struct stat st;
    return fstat(fd_, &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0;
}

}  // namespace veilcast
