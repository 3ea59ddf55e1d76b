// SPDX-License-Identifier: Apache-2.0
#include "veilcast/media/PendingOutput.h"

#include "veilcast/common/Cancellation.h"
#include "veilcast/common/UsageError.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <stdexcept>

namespace veilcast {

namespace fs = std::filesystem;

namespace {

constexpr char kPrefix[] = ".veilcast-";

std::string hostName()
{
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0 || !name[0])
        return "localhost";
    return name;
}

// Paths of the outputs in flight, kept in fixed storage so that a signal
// handler can remove them without allocating.
struct Slot {
    std::atomic<bool> used{false};
    char file[PATH_MAX];
    char folder[PATH_MAX];
};
Slot slots[8];

std::atomic<FileSync> fileSync{&fsync};

int claimSlot(const std::string& file, const std::string& folder)
{
    if (file.size() >= PATH_MAX || folder.size() >= PATH_MAX)
        return -1;
    for (int i = 0; i < static_cast<int>(std::size(slots)); ++i) {
        bool expected = false;
        if (!slots[i].used.load() && slots[i].used.compare_exchange_strong(expected, true)) {
            // Mark unused while filling, so a handler never reads half a path.
            slots[i].used.store(false);
            std::memcpy(slots[i].file, file.c_str(), file.size() + 1);
            std::memcpy(slots[i].folder, folder.c_str(), folder.size() + 1);
            slots[i].used.store(true);
            return i;
        }
    }
    return -1;
}

void releaseSlot(int slot)
{
    if (slot >= 0)
        slots[slot].used.store(false);
}

std::string errnoText(int error)
{
    return std::strerror(error);
}

void syncDirectory(const fs::path& directory)
{
    const int fd = open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    // Some file systems cannot sync a directory (EINVAL); the rename is then as durable as they allow.
    fsync(fd);
    close(fd);
}

void removeStaleOnce(const fs::path& directory)
{
    static std::mutex mutex;
    static std::set<std::string> done;
    std::lock_guard<std::mutex> lock(mutex);
    std::error_code ec;
    const std::string key = fs::absolute(directory, ec).lexically_normal().string();
    if (!done.insert(key).second)
        return;
    removeStalePendingOutputs(directory.empty() ? "." : directory.string());
}

}  // namespace

PendingOutput::PendingOutput(std::string target) : target_(std::move(target))
{
    const fs::path targetPath(target_);
    const fs::path directory = targetPath.parent_path();
    removeStaleOnce(directory);

    std::string pattern = (directory / (std::string(kPrefix) + std::to_string(getpid()) + "@" + hostName() + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error(target_ + ": cannot write beside it in " +
                                 (directory.empty() ? std::string(".") : directory.string()) + ": " + errnoText(errno));
    folder_ = pattern;
    path_ = (fs::path(folder_) / targetPath.filename()).string();
    slot_ = claimSlot(path_, folder_);
    fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        const int error = errno;
        discard();
        throw std::runtime_error(target_ + ": cannot create it: " + errnoText(error));
    }
}

PendingOutput::~PendingOutput()
{
    discard();
}

void PendingOutput::discard() noexcept
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
    if (!path_.empty())
        unlink(path_.c_str());
    if (!folder_.empty())
        rmdir(folder_.c_str());
    releaseSlot(slot_);
    slot_ = -1;
    folder_.clear();
    path_.clear();
}

void PendingOutput::commit(const std::function<bool()>& cancelled)
{
    moveIntoPlace(cancelled, true);
}

bool PendingOutput::commitNew()
{
    return moveIntoPlace({}, false);
}

bool PendingOutput::moveIntoPlace(const std::function<bool()>& cancelled, bool replace)
{
    if (fd_ < 0)
        throw std::runtime_error(target_ + ": nothing to move into place");
    if (cancelled && cancelled()) {
        discard();
        throw Cancelled();
    }
    if (fileSync.load()(fd_) != 0) {
        const int error = errno;
        discard();
        throw std::runtime_error(target_ + ": cannot write it to disk: " + errnoText(error));
    }
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) {
        const int error = errno;
        discard();
        throw std::runtime_error(target_ + ": cannot write it to disk: " + errnoText(error));
    }
    // A link, unlike a rename, fails rather than replace a file that came first.
    if ((replace ? rename(path_.c_str(), target_.c_str()) : link(path_.c_str(), target_.c_str())) != 0) {
        const int error = errno;
        discard();
        if (!replace && error == EEXIST)
            return false;
        throw std::runtime_error(target_ + ": cannot move the finished file into place: " + errnoText(error));
    }
    if (!replace)
        unlink(path_.c_str());
    releaseSlot(slot_);
    slot_ = -1;
    path_.clear();
    rmdir(folder_.c_str());
    folder_.clear();
    syncDirectory(fs::path(target_).parent_path());
    return true;
}

void checkOutputPlace(const std::string& path, const std::string& kind, const std::function<void()>& checkFormat)
{
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode))
            throw UsageError(path + ": is a symbolic link; veilcast replaces files but never writes through a link "
                                    "(give the path it points to)");
        if (S_ISDIR(st.st_mode))
            throw UsageError(path + ": is a directory; give a file name for the output");
        if (!S_ISREG(st.st_mode))
            throw UsageError(path + ": is not a regular file; veilcast writes " + kind + " files only");
    }
    if (checkFormat)
        checkFormat();
    const fs::path parent = fs::path(path).parent_path();
    const std::string directory = parent.empty() ? "." : parent.string();
    if (stat(directory.c_str(), &st) != 0)
        throw std::runtime_error(path + ": the folder " + directory + " does not exist");
    if (!S_ISDIR(st.st_mode))
        throw std::runtime_error(path + ": " + directory + " is not a folder");
    if (access(directory.c_str(), W_OK | X_OK) != 0)
        throw std::runtime_error(path + ": cannot write in " + directory + ": " + errnoText(errno));
}

namespace {

void writeText(PendingOutput& out, std::string_view text, std::optional<mode_t> mode)
{
    const std::string& path = out.target();
    const auto fail = [&](int error) { return std::runtime_error(path + ": cannot write: " + errnoText(error)); };
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(out.fd(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw fail(n < 0 ? errno : EIO);
        done += static_cast<std::size_t>(n);
    }
    if (mode && fchmod(out.fd(), *mode) != 0)
        throw fail(errno);
}

}  // namespace

void writeTextFile(const std::string& path, std::string_view text, std::optional<mode_t> mode)
{
    PendingOutput out(path);
    writeText(out, text, mode);
    out.commit();
}

bool writeNewTextFile(const std::string& path, std::string_view text, std::optional<mode_t> mode)
{
    PendingOutput out(path);
    writeText(out, text, mode);
    return out.commitNew();
}

FileSync replaceFileSync(FileSync sync)
{
    return fileSync.exchange(sync);
}

void discardPendingOutputsNow() noexcept
{
    for (Slot& slot : slots)
        if (slot.used.load()) {
            unlink(slot.file);
            rmdir(slot.folder);
        }
}

void removeStalePendingOutputs(const std::string& directory)
{
    const std::string host = hostName();
    std::error_code ec;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(kPrefix, 0) != 0)
            continue;
        // .veilcast-<pid>@<host>-XXXXXX
        const std::size_t at = name.find('@');
        const std::size_t dash = name.rfind('-');
        if (at == std::string::npos || dash == std::string::npos || dash < at || name.size() - dash != 7)
            continue;
        const std::string pidText = name.substr(sizeof kPrefix - 1, at - (sizeof kPrefix - 1));
        if (pidText.empty() || pidText.find_first_not_of("0123456789") != std::string::npos || pidText.size() > 9)
            continue;
        if (name.substr(at + 1, dash - at - 1) != host)
            continue;  // another machine's run, perhaps still going
        const pid_t pid = static_cast<pid_t>(std::stol(pidText));
        if (pid <= 0 || kill(pid, 0) == 0 || errno != ESRCH)
            continue;
        struct stat st;
        if (lstat(it->path().c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid())
            continue;
        // remove_all removes links inside the folder rather than following them.
        std::error_code removeError;
        fs::remove_all(it->path(), removeError);
    }
}

}  // namespace veilcast
