// A pseudo-terminal pair for the port tests: the slave is the "port", the master plays the device.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string>
#include <unistd.h>
#include <vector>

class PtyPair {
public:
    PtyPair() {
        Master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (Master < 0 || ::grantpt(Master) != 0 || ::unlockpt(Master) != 0) {
            Error = "cannot create a pseudo-terminal: errno " + std::to_string(errno);
            return;
        }
        const char* name = ::ptsname(Master);
        if (name == nullptr) {
            Error = "ptsname failed: errno " + std::to_string(errno);
            return;
        }
        SlavePath = name;
    }
    ~PtyPair() { CloseMaster(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool Ok() const { return Error.empty(); }

    void CloseMaster() {
        if (Master >= 0) {
            ::close(Master);
            Master = -1;
        }
    }

    bool Send(const std::vector<std::uint8_t>& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(Master, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Reads until `count` bytes have come or `limit` has passed without any.
    std::vector<std::uint8_t> Receive(std::size_t count, std::chrono::milliseconds limit) const {
        std::vector<std::uint8_t> got;
        std::uint8_t chunk[512];
        while (got.size() < count) {
            pollfd fd{Master, POLLIN, 0};
            if (::poll(&fd, 1, static_cast<int>(limit.count())) <= 0) {
                break;
            }
            const ssize_t n = ::read(Master, chunk, sizeof chunk);
            if (n <= 0) {
                break;
            }
            got.insert(got.end(), chunk, chunk + n);
        }
        return got;
    }

    int Master = -1;
    std::string SlavePath;
    std::string Error;
};
