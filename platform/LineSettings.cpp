// The line settings of a port mapped to termios, and the parser of the textual line definition.
#include "platform/LineSettings.h"
#include "platform/Win32Internal.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <termios.h>
#include <vector>

namespace {

struct SpeedEntry {
    DWORD Baud;
    speed_t Speed;
};

constexpr SpeedEntry kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedOf(DWORD baud, speed_t& speed) {
    for (const SpeedEntry& entry : kSpeeds) {
        if (entry.Baud == baud) {
            speed = entry.Speed;
            return true;
        }
    }
    return false;
}

DWORD BaudOf(speed_t speed) {
    for (const SpeedEntry& entry : kSpeeds) {
        if (entry.Speed == speed) {
            return entry.Baud;
        }
    }
    return 0;
}

bool CharSizeOf(BYTE byteSize, tcflag_t& size) {
    switch (byteSize) {
    case 5:
        size = CS5;
        return true;
    case 6:
        size = CS6;
        return true;
    case 7:
        size = CS7;
        return true;
    case 8:
        size = CS8;
        return true;
    default:
        return false;
    }
}

// The control-mode bits this layer decides; everything else of c_cflag is left as the device had it.
constexpr tcflag_t kOwnedCflag = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CLOCAL | CREAD;

} // namespace

namespace LineSettings {

bool Apply(int fd, const DCB& dcb, DWORD& error) {
    speed_t speed{};
    tcflag_t size{};
    if (!SpeedOf(dcb.BaudRate, speed) || !CharSizeOf(dcb.ByteSize, size) ||
        (dcb.Parity != NOPARITY && dcb.Parity != ODDPARITY && dcb.Parity != EVENPARITY) ||
        (dcb.StopBits != ONESTOPBIT && dcb.StopBits != TWOSTOPBITS)) {
        error = ERROR_INVALID_PARAMETER;
        return false;
    }
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        error = Win32Internal::ErrorFromErrno(errno);
        return false;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~kOwnedCflag;
    tio.c_cflag |= size | CLOCAL | CREAD;
    if (dcb.Parity != NOPARITY) {
        tio.c_cflag |= PARENB;
        if (dcb.Parity == ODDPARITY) {
            tio.c_cflag |= PARODD;
        }
        tio.c_iflag |= INPCK;
    }
    if (dcb.StopBits == TWOSTOPBITS) {
        tio.c_cflag |= CSTOPB;
    }
    // Hardware handshake only when asked for; DSR flow control has no termios counterpart.
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == 2 /* handshake */) {
        tio.c_cflag |= CRTSCTS;
    }
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (dcb.fOutX) {
        tio.c_iflag |= IXON;
    }
    if (dcb.fInX) {
        tio.c_iflag |= IXOFF;
    }
    // Reads are paced by the layer's own poll loop. VMIN 1 makes a read of an empty queue fail with
    // EAGAIN; with VMIN 0 it would return 0, which is how the end of the line is reported.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0) {
        error = ERROR_INVALID_PARAMETER;
        return false;
    }
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        error = Win32Internal::ErrorFromErrno(errno);
        return false;
    }
    // tcsetattr succeeds when any one change took; read back to see that all of them did.
    termios applied{};
    if (::tcgetattr(fd, &applied) != 0) {
        error = Win32Internal::ErrorFromErrno(errno);
        return false;
    }
    constexpr tcflag_t kChecked = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS;
    if ((applied.c_cflag & kChecked) != (tio.c_cflag & kChecked) || ::cfgetospeed(&applied) != speed ||
        ::cfgetispeed(&applied) != speed) {
        error = ERROR_INVALID_PARAMETER;
        return false;
    }
    return true;
}

bool Read(int fd, DCB& dcb, DWORD& error) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        error = Win32Internal::ErrorFromErrno(errno);
        return false;
    }
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = BaudOf(::cfgetospeed(&tio));
    dcb.fBinary = 1;
    switch (tio.c_cflag & CSIZE) {
    case CS5:
        dcb.ByteSize = 5;
        break;
    case CS6:
        dcb.ByteSize = 6;
        break;
    case CS7:
        dcb.ByteSize = 7;
        break;
    default:
        dcb.ByteSize = 8;
        break;
    }
    dcb.fParity = (tio.c_cflag & PARENB) != 0 ? 1 : 0;
    dcb.Parity =
        (tio.c_cflag & PARENB) == 0 ? NOPARITY : ((tio.c_cflag & PARODD) != 0 ? ODDPARITY : EVENPARITY);
    dcb.StopBits = (tio.c_cflag & CSTOPB) != 0 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fOutxCtsFlow = (tio.c_cflag & CRTSCTS) != 0;
    dcb.fOutX = (tio.c_iflag & IXON) != 0 ? 1 : 0;
    dcb.fInX = (tio.c_iflag & IXOFF) != 0 ? 1 : 0;
    return true;
}

} // namespace LineSettings

namespace {

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

bool ParseNumber(const std::string& text, DWORD& value) {
    if (text.empty() || text.size() > 9) {
        return false;
    }
    for (const char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    value = static_cast<DWORD>(std::strtoul(text.c_str(), nullptr, 10));
    return true;
}

bool ParseParity(const std::string& text, BYTE& parity) {
    if (text == "n") {
        parity = NOPARITY;
    } else if (text == "o") {
        parity = ODDPARITY;
    } else if (text == "e") {
        parity = EVENPARITY;
    } else {
        return false;
    }
    return true;
}

bool ParseData(const std::string& text, BYTE& byteSize) {
    DWORD value = 0;
    if (!ParseNumber(text, value) || value < 5 || value > 8) {
        return false;
    }
    byteSize = static_cast<BYTE>(value);
    return true;
}

bool ParseStop(const std::string& text, BYTE& stopBits) {
    if (text == "1") {
        stopBits = ONESTOPBIT;
    } else if (text == "2") {
        stopBits = TWOSTOPBITS;
    } else {
        return false;
    }
    return true;
}

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// Splits `text` at any of `separators`, dropping empty pieces when `skipEmpty`.
std::vector<std::string> Split(const std::string& text, const char* separators, bool skipEmpty) {
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    for (;;) {
        const auto end = text.find_first_of(separators, start);
        std::string part =
            Trim(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (!part.empty() || !skipEmpty) {
            parts.push_back(std::move(part));
        }
        if (end == std::string::npos) {
            return parts;
        }
        start = end + 1;
    }
}

} // namespace

// Two forms are understood: "115200,n,8,2" (speed, parity n/e/o, data bits, stop bits, optionally a
// fifth field "x" for XON/XOFF or "p" for hardware handshake) and "baud=115200 parity=N data=8 stop=2".
// The DCB changes only when the whole text is valid.
BOOL BuildCommDCBA(LPCSTR definition, LPDCB dcb) {
    if (definition == nullptr || dcb == nullptr) {
        return Win32Internal::Fail(ERROR_INVALID_PARAMETER);
    }
    const std::string text = Lower(Trim(definition));
    DCB result = *dcb;
    result.fBinary = 1;
    result.fOutxCtsFlow = 0;
    result.fOutxDsrFlow = 0;
    result.fOutX = 0;
    result.fInX = 0;
    result.fDtrControl = DTR_CONTROL_ENABLE;
    result.fRtsControl = RTS_CONTROL_ENABLE;

    bool valid = false;
    if (text.find('=') != std::string::npos) {
        valid = true;
        bool haveBaud = false;
        for (const std::string& item : Split(text, " \t", true)) {
            const auto eq = item.find('=');
            if (eq == std::string::npos) {
                valid = false;
                break;
            }
            const std::string key = item.substr(0, eq);
            const std::string value = item.substr(eq + 1);
            if (key == "baud") {
                haveBaud = ParseNumber(value, result.BaudRate) && result.BaudRate != 0;
                valid = valid && haveBaud;
            } else if (key == "parity") {
                valid = valid && ParseParity(value, result.Parity);
            } else if (key == "data") {
                valid = valid && ParseData(value, result.ByteSize);
            } else if (key == "stop") {
                valid = valid && ParseStop(value, result.StopBits);
            } else {
                valid = false;
            }
        }
        valid = valid && haveBaud;
    } else {
        const std::vector<std::string> fields = Split(text, ",", false);
        if (fields.size() == 4 || fields.size() == 5) {
            valid = ParseNumber(fields[0], result.BaudRate) && result.BaudRate != 0 &&
                    ParseParity(fields[1], result.Parity) && ParseData(fields[2], result.ByteSize) &&
                    ParseStop(fields[3], result.StopBits);
            if (valid && fields.size() == 5) {
                if (fields[4] == "x") {
                    result.fOutX = 1;
                    result.fInX = 1;
                } else if (fields[4] == "p") {
                    result.fOutxCtsFlow = 1;
                    result.fRtsControl = 2; // handshake
                } else {
                    valid = false;
                }
            }
        }
    }
    if (!valid) {
        return Win32Internal::Fail(ERROR_INVALID_PARAMETER);
    }
    result.fParity = result.Parity != NOPARITY ? 1 : 0;
    *dcb = result;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
