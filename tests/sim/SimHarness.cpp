// Test harness for pagewright-sim: temporary folders, the simulator as a child process, the host side.
#include "tests/sim/SimHarness.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int Remaining(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<std::int64_t>(0, left.count() + 1));
}

} // namespace

TempFolder::TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pw-sim-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary folder");
    }
    path_ = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

SimProcess::SimProcess(const std::vector<std::string>& args) {
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot create pipes");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> all{PW_SIM_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const int spawned = ::posix_spawn(&pid_, PW_SIM_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    outFd_ = out[0];
    errFd_ = err[0];
    if (spawned != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " PW_SIM_PATH);
    }
}

SimProcess::~SimProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (outFd_ >= 0) {
        ::close(outFd_);
    }
    if (errFd_ >= 0) {
        ::close(errFd_);
    }
}

bool SimProcess::ReadSome(std::chrono::milliseconds limit) {
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    if (outFd_ < 0 && errFd_ < 0) {
        return false;
    }
    if (::poll(fds, 2, static_cast<int>(limit.count())) <= 0) {
        return true;
    }
    int* fdOf[2] = {&outFd_, &errFd_};
    std::string* textOf[2] = {&out_, &err_};
    for (int i = 0; i < 2; ++i) {
        if (fds[i].revents == 0) {
            continue;
        }
        char chunk[4096];
        const ssize_t n = ::read(*fdOf[i], chunk, sizeof chunk);
        if (n > 0) {
            textOf[i]->append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            ::close(*fdOf[i]);
            *fdOf[i] = -1;
        }
    }
    return outFd_ >= 0 || errFd_ >= 0;
}

bool SimProcess::WaitForLine(const std::string& text, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (true) {
        std::size_t end;
        while ((end = out_.find('\n', taken_)) != std::string::npos) {
            const std::string line = out_.substr(taken_, end - taken_);
            taken_ = end + 1;
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        if (Clock::now() >= deadline || !ReadSome(std::chrono::milliseconds(Remaining(deadline)))) {
            return false;
        }
    }
}

int SimProcess::WaitForExit(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    // The pipes reach their end when the simulator ends.
    while (Clock::now() < deadline && ReadSome(std::chrono::milliseconds(Remaining(deadline)))) {
    }
    if (outFd_ >= 0 || errFd_ >= 0) {
        return -1; // the destructor kills it
    }
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
}

void SimProcess::Signal(int signal) const {
    if (pid_ > 0) {
        ::kill(pid_, signal);
    }
}

Host::Host(const std::string& port) {
    fd_ = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        return;
    }
    termios settings{};
    ::tcgetattr(fd_, &settings);
    ::cfmakeraw(&settings);
    ::cfsetispeed(&settings, B115200);
    ::cfsetospeed(&settings, B115200);
    settings.c_cflag |= CSTOPB | CLOCAL | CREAD;
    ::tcsetattr(fd_, TCSANOW, &settings);
}

void Host::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool Host::ReadMore(Clock::time_point deadline) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, Remaining(deadline)) <= 0) {
        return false;
    }
    std::uint8_t chunk[4096];
    const ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n > 0) {
        received_.insert(received_.end(), chunk, chunk + n);
        return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return true;
    }
    gone_ = true; // end of file or EIO: the simulator's side is closed
    return false;
}

std::optional<DeviceFrame> Host::NextFrame(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (frames_.empty()) {
        if (fd_ < 0 || gone_ || Clock::now() >= deadline) {
            return std::nullopt;
        }
        if (ReadMore(deadline)) {
            ScanFrames(received_, [this](const DeviceFrame& frame) { frames_.push_back(frame); });
        }
    }
    DeviceFrame frame = frames_.front();
    frames_.pop_front();
    return frame;
}

bool Host::WaitUntilGone(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!gone_ && fd_ >= 0 && Clock::now() < deadline) {
        ReadMore(deadline);
    }
    return gone_;
}

void Host::Send(const ByteBuffer& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, 1000);
        } else if (n < 0 && errno != EINTR) {
            return;
        }
    }
}

double JsonNumber(const std::string& json, const std::string& key) {
    const std::string tag = "\"" + key + "\": ";
    const auto at = json.find(tag);
    if (at == std::string::npos) {
        return -1;
    }
    return std::strtod(json.c_str() + at + tag.size(), nullptr);
}

std::string JsonText(const std::string& json, const std::string& key) {
    const std::string tag = "\"" + key + "\": \"";
    const auto at = json.find(tag);
    if (at == std::string::npos) {
        return {};
    }
    const auto from = at + tag.size();
    return json.substr(from, json.find('"', from) - from);
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
