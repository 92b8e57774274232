// Virtual serial ports: symbolic links to terminals in the user's own runtime folder "serialcomm",
// listed beside the machine's ports. The instrument simulator publishes its pty there.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace VirtualPorts {
// $XDG_RUNTIME_DIR/serialcomm, or /tmp/serialcomm-<uid> when XDG_RUNTIME_DIR is unset.
std::string Folder();
// Creates the folder (mode 0700) when missing; false with `error` set when it cannot be used safely.
bool EnsureFolder(std::string& error);
// (link name, link full path) of every acceptable link in the folder, in directory order. Empty when the
// folder is missing, not the user's own, or open to others.
std::vector<std::pair<std::string, std::string>> List();
} // namespace VirtualPorts
