// SPDX-License-Identifier: Apache-2.0
#include "Command.h"

#include "veilcast/farm/Submit.h"
#include "veilcast/session/CommandWords.h"
#include "veilcast/session/PathText.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace veilcast::farm {

std::vector<std::string> taskArguments(const KeyJobOptions& job, const std::vector<std::string>& pluginDirectories)
{
    // The script gives each task its input, output, frames and frozen settings,
    // and a task run again must write the same bytes: the date is the source's.
    KeyJobOptions task = job;
    // Every task gathers the shot's plate over the whole shot, as one run would, whatever its chunk.
    if (task.screenMap.kind == ScreenMapChoice::Kind::Shot && task.shotFrames.empty())
        task.shotFrames = job.frames;
    task.input.clear();
    task.output.clear();
    task.frames.clear();
    task.settingsFile.clear();
    if (task.write.dateTime.empty())
        task.write.dateTime = "source";
    // Each task makes its own frames' maps; a clean plate is found wherever the task starts.
    if (task.screenMap.kind == ScreenMapChoice::Kind::CleanPlate)
        task.screenMap.cleanPlate = std::filesystem::absolute(task.screenMap.cleanPlate).lexically_normal().string();
    std::vector<std::string> args = commandWords(task, pluginDirectories);
    for (std::size_t i = 1; i < args.size(); ++i) {
        // So is the colour configuration, named from where the job was submitted.
        if (args[i - 1] == option::kColourConfig)
            args[i] = std::filesystem::absolute(args[i]).lexically_normal().string();
        if (args[i - 1].rfind("--", 0) == 0)
            refuseControlCharacters(args[i], "submit: " + args[i - 1]);
    }
    return args;
}

CommandResult runCommand(const std::vector<std::string>& argv)
{
    if (argv.empty())
        throw std::invalid_argument("runCommand: no program");
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error(argv[0] + ": cannot start: " + std::strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, argv[0].c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (error != 0) {
        close(pipeFds[0]);
        throw std::runtime_error(argv[0] + ": cannot start: " + std::strerror(error) +
                                 (error == ENOENT ? " (not on PATH: is this a submit host of the farm?)" : ""));
    }
    CommandResult result;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        result.output.append(buffer, static_cast<std::size_t>(n));
    }
    close(pipeFds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace veilcast::farm
