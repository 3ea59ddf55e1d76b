// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/session/KeyJob.h"

#include <string>
#include <vector>

namespace veilcast {

// How the command line spells the options a job is written back with (and
// a farm task is started with): the command line defines these options by
// this table, so that a command a front end writes is one it reads.
namespace option {
inline constexpr char kOutput[] = "-o";
inline constexpr char kFrames[] = "--frames";
inline constexpr char kShotFrames[] = "--shot-frames";
inline constexpr char kSettings[] = "--settings";
inline constexpr char kSet[] = "--set";
inline constexpr char kFrozenSettings[] = "--frozen-settings";
inline constexpr char kSettingsSha256[] = "--settings-sha256";
inline constexpr char kScreenMap[] = "--screen-map";
inline constexpr char kDateTime[] = "--date-time";
inline constexpr char kPluginPath[] = "--plugin-path";
inline constexpr char kRaw[] = "--raw";
inline constexpr char kDataType[] = "-d";
inline constexpr char kPreview[] = "--preview";
inline constexpr char kPart[] = "--part";
inline constexpr char kLayer[] = "--layer";
inline constexpr char kMaxPixels[] = "--max-pixels";
inline constexpr char kColourConfig[] = "--ocio";
inline constexpr char kInColourSpace[] = "--in-colorspace";
inline constexpr char kOutColourSpace[] = "--out-colorspace";
inline constexpr char kThreads[] = "--threads";
}  // namespace option

// The words after `veilcast` of a command that keys `job` again: its input
// and -o output, then each of these it holds, in this order: the date, the
// plugin directories, raw, the data type, the part and layer, the settings
// file, the screen map, the frames and the shot's, a maximum other than the default, the
// colour configuration and spaces. Paths are given so that none reads as an
// option. The settings' values, the pick, the clips and how it runs
// (threads, preview, movie options) are not written: a caller that needs them
// gives them its own way (a settings file, a farm task's frozen file).
std::vector<std::string> commandWords(const KeyJobOptions& job,
                                      const std::vector<std::string>& pluginDirectories = {});

}  // namespace veilcast
