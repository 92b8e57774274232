// Virtual serial ports: the user's own folder of symbolic links to pseudo-terminals.
#include "platform/VirtualPorts.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// Unix98 pseudo-terminal slaves use the eight majors from 136 on. Checking the device number lets the
// list accept a pty without opening it: opening a real serial device would move its control lines.
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorCount = 8;

bool IsPrivateFolder(const struct stat& st) {
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

bool IsOwnPtySlave(const struct stat& st) {
    if (!S_ISCHR(st.st_mode) || st.st_uid != ::geteuid()) {
        return false;
    }
    const unsigned deviceMajor = major(st.st_rdev);
    return deviceMajor >= kPtySlaveMajorFirst && deviceMajor < kPtySlaveMajorFirst + kPtySlaveMajorCount;
}

} // namespace

namespace VirtualPorts {

std::string Folder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) {
        return std::string(runtime) + "/serialcomm";
    }
    return "/tmp/serialcomm-" + std::to_string(::geteuid());
}

bool EnsureFolder(std::string& error) {
    const std::string folder = Folder();
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "Cannot create the folder '" + folder + "': " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0) {
        error = "Cannot examine the folder '" + folder + "': " + std::strerror(errno);
        return false;
    }
    if (!IsPrivateFolder(st)) {
        error = "The folder '" + folder + "' is not a folder of this user closed to others";
        return false;
    }
    return true;
}

std::vector<std::pair<std::string, std::string>> List() {
    std::vector<std::pair<std::string, std::string>> ports;
    const std::string folder = Folder();
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0 || !IsPrivateFolder(st)) {
        return ports;
    }
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) {
        return ports;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        // Hidden names are the publishers' own (a link being put in place, a lock file), never a port.
        if (name.empty() || name.front() == '.') {
            continue;
        }
        const std::string path = folder + "/" + name;
        struct stat link {};
        struct stat device {};
        if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
            continue;
        }
        if (::stat(path.c_str(), &device) != 0 || !IsOwnPtySlave(device)) {
            continue;
        }
        ports.emplace_back(name, path);
    }
    ::closedir(dir);
    return ports;
}

} // namespace VirtualPorts
