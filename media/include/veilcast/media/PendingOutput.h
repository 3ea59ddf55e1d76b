// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace veilcast {

// An output file under construction. It is written inside a private folder
// made beside its target (mode 0700, an unpredictable name beginning
// ".veilcast-"), so nobody else can plant a link where it is written, and is
// moved over the target only by commit(), once it is complete and on disk.
// Until then the target, if it exists, is untouched; a PendingOutput that is
// destroyed uncommitted removes its folder and everything in it.
class PendingOutput {
public:
    // Throws std::runtime_error naming `target` when the folder beside it
    // cannot be made. Also removes what earlier runs on this host left
    // beside the target when their process is gone.
    explicit PendingOutput(std::string target);
    ~PendingOutput();
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;

    const std::string& target() const { return target_; }
    // The file being written: inside the private folder, with the target's
    // file name so that its extension still names the format.
    const std::string& path() const { return path_; }
    // The file, opened for reading and writing; it stays owned by this object.
    int fd() const { return fd_; }

    // Flushes the file to disk, moves it over the target and removes the
    // private folder. `cancelled` is asked last, once the file is complete:
    // true discards it and throws Cancelled, leaving the target as it was.
    // Throws std::runtime_error naming the target.
    void commit(const std::function<bool()>& cancelled = {});
    // As commit(), but never over a file: false, with the file discarded,
    // when the target exists by the time the finished file would be moved.
    bool commitNew();

private:
    void discard() noexcept;
    bool moveIntoPlace(const std::function<bool()>& cancelled, bool replace);

    std::string target_, folder_, path_;
    int fd_ = -1;
    int slot_ = -1;
};

// Refuses, before any work, a place no output may be written to: a link, a
// folder or a special file (UsageError), then, after `checkFormat` has
// refused what it refuses, a folder that is missing or cannot be written in
// (std::runtime_error). `kind` names what is written ("image", "movie").
void checkOutputPlace(const std::string& path, const std::string& kind, const std::function<void()>& checkFormat);

// Writes `text` as the whole of `path` through a PendingOutput: a reader
// sees the old file or the whole new one, and an interrupted run leaves
// neither half a file nor its private folder. `mode` is given to the file;
// none: what a new file gets under the umask. Throws std::runtime_error
// naming `path`.
void writeTextFile(const std::string& path, std::string_view text, std::optional<mode_t> mode = std::nullopt);
// As writeTextFile, but only where no file is: false, with nothing written,
// when `path` exists by the time the text is in place, so that of two
// writers racing to create a file, one wins and the other knows.
bool writeNewTextFile(const std::string& path, std::string_view text, std::optional<mode_t> mode = std::nullopt);

// The call that flushes a finished file to disk before it is moved into
// place (fsync); the previous one is returned. Tests put their own in to see
// that every file is flushed before the move.
using FileSync = int (*)(int fd);
FileSync replaceFileSync(FileSync sync);

// Removes every output still pending, without waiting: for a second
// interrupt, after which the process exits at once. Async-signal-safe.
void discardPendingOutputsNow() noexcept;

// Removes the private folders of runs on this host whose process has gone
// (killed mid-write) from `directory`. Only folders owned by this user and
// named as PendingOutput names them are touched.
void removeStalePendingOutputs(const std::string& directory);

}  // namespace veilcast
