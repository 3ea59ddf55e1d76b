// SPDX-License-Identifier: Apache-2.0
#include "veilcast/farm/Submit.h"

#include "veilcast/farm/Chunking.h"
#include "Command.h"
#include "veilcast/common/UsageError.h"
#include "veilcast/session/KeyPolicy.h"
#include "veilcast/session/KeyRequest.h"
#include "veilcast/session/KeySession.h"
#include "veilcast/session/PathText.h"
#include "veilcast/media/FrameSequence.h"
#include "veilcast/media/PendingOutput.h"
#include "veilcast/farm/FarmFiles.h"
#include "veilcast/farm/JobScript.h"
#include "veilcast/common/KnobNames.h"

#include <OpenImageIO/strutil.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <limits>
#include <optional>
#include <stdexcept>

namespace veilcast::farm {

namespace fs = std::filesystem;

namespace {

std::string absolute(const std::string& path)
{
    return fs::absolute(path).lexically_normal().string();
}

std::string executablePath()
{
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec)
        throw std::runtime_error("cannot find the veilcast executable for the tasks: " + ec.message());
    return exe.string();
}

bool exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// How the frozen settings record the pick: "none", "auto" or "box X0,Y0,X1,Y1".
std::string describePick(const ScreenPick& pick)
{
    const std::string words = pickWords(pick);
    return pick.kind == ScreenPick::Kind::None ? "none" : pick.kind == ScreenPick::Kind::Box ? "box " + words : words;
}

// The input frame that `output` (an existing file) is, if any: the same
// frame, or any frame whose number the file name holds, that framePath names
// alike and that is the same file on disk. So every spelling of the patterns
// (####, @@@@, %04d, %d, "./a/../a", a linked folder) is caught, and so is
// an output frame that lands on another frame of the input (p.1####.exr
// frame 2 is p.#####.exr frame 10002).
std::optional<int> inputFrameAt(const std::string& inputPattern, const std::string& output, int frame)
{
    std::error_code ec;
    const std::string in = framePath(inputPattern, frame);
    if (fs::equivalent(in, output, ec))
        return frame;
    const std::string name = fs::path(output).filename().string();
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i])))
            continue;
        const bool negative = i > 0 && name[i - 1] == '-';
        for (std::size_t end = i + 1; end <= name.size() && std::isdigit(static_cast<unsigned char>(name[end - 1]));
             ++end) {
            std::int64_t value = 0;
            const auto [last, error] = std::from_chars(name.data() + i, name.data() + end, value);
            if (error != std::errc() || last != name.data() + end || value > std::numeric_limits<int>::max())
                break;
            for (const std::int64_t f : {value, negative ? -value : value}) {
                const std::string candidate = framePath(inputPattern, static_cast<int>(f));
                if (fs::path(candidate).filename() == name && fs::equivalent(candidate, output, ec))
                    return static_cast<int>(f);
            }
        }
    }
    return std::nullopt;
}

// Whoever else can write the frozen file chooses the screen colour every task
// keys with: in a shared folder a file planted before the first submit would
// otherwise be adopted and its hash signed into the job script.
void refuseForeignFrozenFile(const FrozenFile& earlier, const std::string& file)
{
    const uid_t me = geteuid();
    std::string why;
    if (earlier.owner != me) {
        const struct passwd* owner = getpwuid(earlier.owner);
        why = "belongs to " + (owner ? "user " + std::string(owner->pw_name) + " (uid " : std::string("uid ")) +
              std::to_string(earlier.owner) + (owner ? ")" : "") + ", not to you";
    } else if ((earlier.mode & (S_IWGRP | S_IWOTH)) != 0) {
        why = std::string("can be written by ") +
              ((earlier.mode & S_IWGRP) && (earlier.mode & S_IWOTH) ? "its group and others"
               : (earlier.mode & S_IWGRP)                           ? "its group"
                                                                    : "others");
    } else {
        return;
    }
    throw UsageError(escapedPath(file) + " " + why +
                     "; submit adopts an earlier frozen file only when it is yours and no one else can change it. "
                     "Remove it (once no job of it is queued) and submit again; nothing was submitted");
}

// A frame named twice would be keyed by two tasks at once, racing on its file.
void refuseRepeatedFrames(const FrameList& frames)
{
    if (const std::optional<int> twice = frames.repeatedFrame())
        throw UsageError("submit: --frames names frame " + std::to_string(*twice) +
                         " more than once; two tasks would key it at the same time. Nothing was submitted");
}

// What a farm job cannot take, refused before anything is read: paths go
// into the job script's lines, where one newline would make a line of its
// own, and a task run again must write the same bytes.
void checkSubmitRequest(const SubmitRequest& request)
{
    const KeyJobOptions& key = request.job;
    if (request.farm != "slurm")
        throw UsageError("--farm: \"" + request.farm + "\" is not a farm veilcast submits to (slurm)");
    if (key.input.empty() || key.output.empty())
        throw UsageError("submit: give the input sequence and -o OUTPUT");
    refuseControlCharacters(key.input, "submit: the input");
    refuseControlCharacters(key.output, "submit: the output");
    refuseControlCharacters(request.partition, "submit: --partition");
}

void checkSequences(const KeyJobOptions& key)
{
    if (!isSequencePattern(key.input) || !isSequencePattern(key.output))
        throw UsageError("submit: input and output must both be sequences, such as plate.####.exr");
    if (isSequencePattern(fs::path(key.output).parent_path().string()))
        throw UsageError("submit: the output " + escapedPath(key.output) +
                         " numbers its folder; the frame number goes in the file name, with the farm's files "
                         "beside the frames in one folder");
    if (key.frames.empty())
        throw UsageError("submit: give the frames with --frames, e.g. 1001-1100");
    if (key.write.dateTime == "now")
        throw UsageError("submit: --date-time now would make a task that runs again write different bytes; "
                         "give \"source\" or a fixed time");
}

// Every frame and clean plate there, and no output landing on a file the
// job reads: refused here, not by a task after the others had keyed theirs.
void checkJobFiles(const KeyJobOptions& key, const std::string& input, const FrameList& frames)
{
    const FrameCheck check = checkFrames(input, frames);
    if (check.present.empty())
        throw UsageError("submit: none of the frames " + frames.describe() + " of " + escapedPath(key.input) +
                         " exists; nothing was submitted");
    if (!check.missing.empty())
        throw std::runtime_error(std::to_string(check.missing.size()) + " of " + std::to_string(frames.size()) +
                                 " frames of " + escapedPath(key.input) + " missing: " + check.missing.describe() +
                                 " (nothing was submitted)");
    if (key.screenMap.kind == ScreenMapChoice::Kind::CleanPlate) {
        refuseControlCharacters(key.screenMap.cleanPlate, "submit: --screen-map");
        const std::string& clean = key.screenMap.cleanPlate;
        const FrameList missing = isSequencePattern(clean) ? checkFrames(clean, frames).missing
                                  : fs::is_regular_file(clean) ? FrameList()
                                                           : frames;
        if (!missing.empty())
            throw UsageError("submit: " + std::to_string(missing.size()) + " of " + std::to_string(frames.size()) +
                             " clean plates of " + escapedPath(clean) + " missing: " + missing.describe() +
                             " (nothing was submitted)");
    }
    // Only now: every frame is a file, so the list is no longer than the folder.
    refuseRepeatedFrames(frames);
    try {
        refuseClashes(jobFiles(key), &frames);
    } catch (const UsageError& e) {
        Wording refused = e.wording();
        refused.before.insert(0, "submit: ");
        refused.after += "; nothing was submitted";
        throw UsageError(refused);
    }
}

// The settings every task keys with, as the file's text.
struct Frozen {
    FrozenSettings settings;
    std::string text;
    bool reused = false;  // frozen by an earlier submit to the same output, and kept
};

// Adopts the settings an earlier submit to the same output froze when they
// key alike, else freezes them now, picking the screen and choosing the
// clips on the first frame when asked, as keying here would.
Frozen freezeFor(KeySession& keyer, const KeyJobOptions& key, const FarmFiles& files, const std::string& input,
                 const std::string& pick, const FrameList& frames)
{
    const int firstFrame = frames.first();
    const Controls& controls = keyer.controls();
    const bool found = pick != "none" || key.autoClips;  // on the first frame, for every task
    Frozen frozen;
    frozen.settings = freezeSettings(controls, pick, "");
    frozen.settings.input = inputIdentity(input);
    frozen.settings.clips = key.autoClips ? "auto" : "";
    if (exists(files.settings)) {
        // Read as a task reads it: the job keys with exactly these bytes.
        FrozenFile earlier = readFrozenFile(files.settings);
        refuseForeignFrozenFile(earlier, files.settings);
        if (earlier.settings.input != frozen.settings.input)
            throw UsageError(escapedPath(files.settings) + " was frozen for another input than " +
                             escapedPath(key.input) + " (or for an input spelled otherwise), by an earlier "
                             "submit to " + escapedPath(key.output) +
                             "; its screen colour was picked on that plate. Remove it to key the sequence anew "
                             "(once no job of it is queued), or key into another output.");
        if (!sameKey(earlier.settings, frozen.settings, pick == "none"))
            throw UsageError(escapedPath(files.settings) + " holds other settings for " +
                             escapedPath(key.output) +
                             ", frozen by an earlier submit; every frame of a sequence keys with the same "
                             "values. Remove it to key the sequence anew (once no job of it is queued).");
        return {earlier.settings, std::move(earlier.bytes), true};
    }
    if (found) {
        // Found as keying here finds them on that frame, so a task keys as `veilcast` would;
        // with --screen-map shot the clips are chosen once over several frames of the shot.
        if (key.screenMap.kind == ScreenMapChoice::Kind::Shot) {
            std::vector<std::string> paths;
            frames.forEach([&](std::int64_t f) {
                paths.push_back(framePath(input, static_cast<int>(f)));
                return true;
            });
            keyer.prepareShot(paths);
        }
        keyer.prepareFile(framePath(input, firstFrame), cleanPlateFor(key.screenMap, firstFrame));
        frozen.settings = freezeSettings(controls, pick, std::to_string(firstFrame));
        frozen.settings.input = inputIdentity(input);
        frozen.settings.clips = key.autoClips ? "auto" : "";
    }
    frozen.text = formatFrozenSettings(frozen.settings);
    return frozen;
}

// The job as the scheduler is given it, keying `input` into `output` with
// the frozen settings' text; its frames, chunks and options still to come.
FarmJob farmJobFor(const SubmitRequest& request, const FarmFiles& files, const std::string& input,
                   const std::string& output, const std::string& settingsText)
{
    FarmJob job;
    job.name = "veilcast-" + farmName(fs::path(output).filename().string());
    job.veilcast = executablePath();
    refuseControlCharacters(job.veilcast, "submit: the veilcast executable");
    job.input = input;
    job.output = output;
    job.files = files;
    job.settingsSha256 = sha256Hex(settingsText);
    job.partition = request.partition;
    job.cpusPerTask = request.cpusPerTask;
    return job;
}

// Writes the frozen file (unless kept) and the script, and submits the array
// and its check. Returns the two jobs' ids.
std::pair<std::string, std::string> sendJob(const FarmJob& job, const Frozen& frozen, const std::string& script,
                                            const std::vector<std::string>& arrayCommand, const std::string& output)
{
    // Another submit to the same output may have frozen its own since this one
    // looked: replacing its file would make every task of that job refuse.
    if (!frozen.reused && !writeNewTextFile(job.files.settings, frozen.text, 0644))
        throw UsageError("submit: " + escapedPath(job.files.settings) + " was frozen by another submit to " +
                         escapedPath(output) + " while this one was preparing; nothing was submitted. Submit "
                         "again to key with those settings, or key into another output.");
    writeTextFile(job.files.script, script, 0755);
    const CommandResult array = runCommand(arrayCommand);
    if (array.status != 0)
        throw std::runtime_error("sbatch refused the job (exit status " + std::to_string(array.status) +
                                 "): " + commandText(arrayCommand));
    const std::string arrayId = parseJobId(array.output);
    const std::vector<std::string> checkCommand = checkSubmitCommand(job, job.files.script, arrayId);
    const CommandResult checkJob = runCommand(checkCommand);
    if (checkJob.status != 0)
        throw std::runtime_error("job " + arrayId + " was submitted, but sbatch refused its check (exit status " +
                                 std::to_string(checkJob.status) + "): " + commandText(checkCommand));
    return {arrayId, parseJobId(checkJob.output)};
}

}  // namespace

void submit(const SubmitRequest& request, std::ostream& out, const std::function<void(const std::string&)>& warn)
{
    const KeyJobOptions& key = request.job;
    checkSubmitRequest(request);
    std::vector<std::string> pluginDirs;
    for (const std::string& d : request.pluginPaths)
        pluginDirs.push_back(absolute(d));
    const std::vector<std::string> taskOptions = taskArguments(key, pluginDirs);
    checkSequences(key);

    const std::string input = absolute(key.input), output = absolute(key.output);
    const FrameList frames = parseFrameRange(key.frames);
    const std::vector<FrameList> chunks =
        chunkFrames(frames, request.chunk ? request.chunk : defaultChunkSize(frames.size()));
    checkJobFiles(key, input, frames);

    std::vector<std::string> searched = pluginDirs;
    for (const std::string& d : defaultPluginDirectories())
        searched.push_back(d);
    KeySession keyer(searched, key);
    const Controls& controls = keyer.controls();
    if (warn)
        for (const std::string& w : keyer.warnings())
            warn(w);
    const std::string pick = describePick(keyer.screenPick());
    const int firstFrame = frames.first();
    checkOutputPath(framePath(output, firstFrame), key.write.dataType, keyer.keysAlpha());

    const FarmFiles files = farmFilesFor(output);
    for (const std::string& file : {files.settings, files.script, files.summary})
        if (exists(file) && inputFrameAt(input, file, firstFrame))
            throw UsageError("submit: " + escapedPath(file) + " is a frame of the input; the farm's files for " +
                             escapedPath(key.output) + " would replace it");
    const Frozen frozen = freezeFor(keyer, key, files, input, pick, frames);

    FarmJob job = farmJobFor(request, files, input, output, frozen.text);
    job.frames = frames;
    job.chunks = chunks;
    job.keyOptions = taskOptions;
    const std::string script = jobScript(job);
    const std::vector<std::string> arrayCommand = arraySubmitCommand(job, files.script);

    if (request.dryRun) {
        out << "# " << escapedPath(files.settings) << (frozen.reused ? " (frozen earlier, kept)" : "") << "\n"
            << frozen.text << "\n# " << escapedPath(files.script) << "\n"
            << script << "\n"
            << commandText(arrayCommand) << "\n"
            << commandText(checkSubmitCommand(job, files.script, "ARRAY_JOB_ID")) << "\n";
        return;
    }
    const auto [arrayId, checkId] = sendJob(job, frozen, script, arrayCommand, key.output);
    const std::string first = escapedPath(framePath(input, firstFrame));
    if (frozen.reused)
        out << "using the settings frozen earlier in " << escapedPath(files.settings) << " (screen "
            << (pick == "none" ? "as set" : "picked once, on frame " + frozen.settings.pickedOn)
            << (frozen.settings.clips.empty() ? "" : "; clips chosen once, on frame " + frozen.settings.pickedOn)
            << ")\n";
    else {
        if (pick != "none")
            out << describePickedScreen(controls, std::get<Colour>(controls.get(knob::kScreenColor)), false) << " on "
                << first << "\n";
        if (key.autoClips)
            out << describeChosenClips(controls) << " on " << first << "\n";
    }
    out << "submitted job " << arrayId << ": " << chunks.size() << " task" << (chunks.size() == 1 ? "" : "s")
        << " keying frames " << frames.format() << " with " << escapedPath(files.settings) << "\n"
        << "check job " << checkId << " runs after them and writes " << escapedPath(files.summary) << "\n"
        << "follow with: squeue -j " << arrayId << "; sacct -j " << arrayId << "\n";
    out.flush();
}

}  // namespace veilcast::farm
