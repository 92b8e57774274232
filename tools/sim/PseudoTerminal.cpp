// Pseudo-terminal master with the instrument's line settings, and its publication as a virtual port.
#include "tools/sim/PseudoTerminal.h"

#include "platform/VirtualPorts.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

std::string SystemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// The target of the link at `path`, or empty when it is no link (errno tells why).
std::string ReadLink(const std::string& path) {
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    if (n < 0) {
        return {};
    }
    return std::string(target, static_cast<std::size_t>(n));
}

} // namespace

bool PseudoTerminal::Open(std::string& error) {
    Close();
    const int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error = SystemError("cannot create a pseudo-terminal");
        return false;
    }
    char name[PATH_MAX];
    if (::grantpt(fd) != 0 || ::unlockpt(fd) != 0 || ::ptsname_r(fd, name, sizeof name) != 0) {
        error = SystemError("cannot unlock the pseudo-terminal");
        ::close(fd);
        return false;
    }
    // Settings made through the master apply to the slave, so the program finds the instrument's line
    // even before it sets its own.
    termios settings{};
    if (::tcgetattr(fd, &settings) == 0) {
        ::cfmakeraw(&settings);
        ::cfsetispeed(&settings, B115200);
        ::cfsetospeed(&settings, B115200);
        settings.c_cflag =
            (settings.c_cflag & ~static_cast<tcflag_t>(CSIZE | PARENB)) | CS8 | CSTOPB | CLOCAL | CREAD;
        ::tcsetattr(fd, TCSANOW, &settings);
    }
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch < 0 || ::inotify_add_watch(watch, name, IN_OPEN | IN_CLOSE) < 0) {
        error = SystemError(std::string("cannot watch ") + name);
        if (watch >= 0) {
            ::close(watch);
        }
        ::close(fd);
        return false;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    master_ = fd;
    watch_ = watch;
    holders_ = 0;
    events_.clear();
    slavePath_ = name;
    return true;
}

void PseudoTerminal::Close() {
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
    if (watch_ >= 0) {
        ::close(watch_);
        watch_ = -1;
    }
    holders_ = 0;
    events_.clear();
    slavePath_.clear();
}

PseudoTerminal::SlaveEvent PseudoTerminal::NextSlaveEvent() {
    while (true) {
        if (events_.size() < sizeof(inotify_event)) {
            alignas(inotify_event) char chunk[4096];
            const ssize_t n = ::read(watch_, chunk, sizeof chunk);
            if (n <= 0) {
                return SlaveEvent::None;
            }
            events_.append(chunk, static_cast<std::size_t>(n));
        }
        inotify_event event{};
        std::memcpy(&event, events_.data(), sizeof event);
        events_.erase(0, sizeof event + event.len);
        if ((event.mask & IN_OPEN) != 0) {
            ++holders_;
            return SlaveEvent::Opened;
        }
        if ((event.mask & IN_CLOSE) != 0) {
            holders_ = holders_ > 0 ? holders_ - 1 : 0;
            return SlaveEvent::Closed;
        }
        // IN_IGNORED and the like: the node went away with its master; nothing to count.
    }
}

void PseudoTerminal::Discard() const {
    ::tcflush(master_, TCIOFLUSH);
}

bool PublishedPort::Lock(const std::string& folder, const std::string& name, std::string& error) {
    // The lock file is no terminal link, so port lists pass over it.
    const std::string path = folder + "/." + name + ".lock";
    while (true) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            error = SystemError("cannot open " + path);
            return false;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            error = "the virtual port " + folder + "/" + name +
                    " is served by another simulator; choose another --port name";
            return false;
        }
        // The holder before may have removed the file between our open and our lock: then lock anew.
        struct stat locked {};
        struct stat named {};
        if (::fstat(fd, &locked) == 0 && ::stat(path.c_str(), &named) == 0 && locked.st_ino == named.st_ino &&
            locked.st_dev == named.st_dev) {
            lockFd_ = fd;
            lockPath_ = path;
            return true;
        }
        ::close(fd);
    }
}

bool PublishedPort::Publish(const std::string& name, const std::string& target, std::string& error) {
    std::string folderError;
    if (!VirtualPorts::EnsureFolder(folderError)) {
        error = "cannot use the virtual port folder: " + folderError;
        return false;
    }
    const std::string folder = VirtualPorts::Folder();
    const std::string path = folder + "/" + name;
    // Whoever holds the name's lock serves it; a link found without a holder is left over from a simulator
    // that could not clean up, and is replaced.
    if (lockFd_ < 0 && !Lock(folder, name, error)) {
        return false;
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0 && !S_ISLNK(info.st_mode)) {
        error = path + " exists and is not a link; choose another --port name";
        Remove();
        return false;
    }
    // A new link under a temporary name renamed over the old one: the name never points nowhere.
    const std::string temporary = folder + "/." + name + ".new";
    ::unlink(temporary.c_str());
    if (::symlink(target.c_str(), temporary.c_str()) != 0) {
        error = SystemError("cannot create the link " + temporary);
        Remove();
        return false;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        error = SystemError("cannot create the link " + path);
        ::unlink(temporary.c_str());
        Remove();
        return false;
    }
    linkPath_ = path;
    target_ = target;
    return true;
}

void PublishedPort::Remove() {
    if (!linkPath_.empty() && ReadLink(linkPath_) == target_) {
        ::unlink(linkPath_.c_str());
    }
    linkPath_.clear();
    target_.clear();
    if (lockFd_ >= 0) {
        ::unlink(lockPath_.c_str()); // while still locked, so no one else holds a lock on it
        ::close(lockFd_);
        lockFd_ = -1;
        lockPath_.clear();
    }
}
