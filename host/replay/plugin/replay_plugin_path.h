// Where korvia-replay finds the plugin when --plugin is not given: beside the program, in the
// build tree's plugin directory, or in the installed plugin directory, each relative to the
// program's own location (/proc/self/exe).
#pragma once

#include <string>
#include <vector>

namespace kdreplay {

// The places looked at, in order.
std::vector<std::string> DefaultPluginCandidates();

// The first candidate that is a readable file. False with a message listing every place looked
// at otherwise.
bool FindDefaultPlugin(std::string& path, std::string& error);

// Whether path names a library of our own plugin (by its file name), whose configuration keys
// the program knows.
bool IsOurPlugin(const std::string& path);

}  // namespace kdreplay
