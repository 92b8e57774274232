// TMemIniFile: reading, editing and safely rewriting an INI file held in memory.
#include "platform/MemIniFile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string FoldCase(const std::string& name) {
    std::string folded = name;
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return folded;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string Trim(const char* begin, const char* end) {
    while (begin < end && IsBlank(*begin)) {
        ++begin;
    }
    while (end > begin && IsBlank(end[-1])) {
        --end;
    }
    return std::string(begin, end);
}

std::string SystemError(const char* what, const std::string& file, int error) {
    return std::string(what) + " '" + file + "': " + std::strerror(error);
}

int DigitValue(char c, int base) {
    int value = -1;
    if (c >= '0' && c <= '9') {
        value = c - '0';
    } else if (c >= 'a' && c <= 'f') {
        value = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
        value = c - 'A' + 10;
    }
    return value < base ? value : -1;
}

// Decimal, or hexadecimal after "0x" or "$", with an optional sign; false unless the whole text is such a
// number and it fits an int.
bool ParseInteger(const std::string& text, int& result) {
    std::size_t at = 0;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    int base = 10;
    if (at < text.size() && text[at] == '$') {
        base = 16;
        ++at;
    } else if (at + 1 < text.size() && text[at] == '0' && (text[at + 1] == 'x' || text[at + 1] == 'X')) {
        base = 16;
        at += 2;
    }
    if (at == text.size()) {
        return false;
    }
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    long long value = 0;
    for (; at < text.size(); ++at) {
        const int digit = DigitValue(text[at], base);
        if (digit < 0) {
            return false;
        }
        value = value * base + digit;
        if (value > limit) {
            return false;
        }
    }
    result = static_cast<int>(negative ? -value : value);
    return true;
}

void CheckName(const std::string& what, const std::string& name) {
    if (name.empty() || name.find_first_of("\r\n=[]") != std::string::npos || IsBlank(name.front()) ||
        IsBlank(name.back())) {
        throw std::invalid_argument("Invalid INI " + what + " name '" + name + "'");
    }
}

} // namespace

TMemIniFile::TMemIniFile(std::string FileName) : FFileName(std::move(FileName)) {
    const int fd = ::open(FFileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) {
            return; // no file yet: empty
        }
        throw std::runtime_error(SystemError("Cannot open the file", FFileName, error));
    }
    std::string text;
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int error = errno;
            ::close(fd);
            throw std::runtime_error(SystemError("Cannot read the file", FFileName, error));
        }
        if (got == 0) {
            break;
        }
        text.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(fd);
    Parse(text);
}

void TMemIniFile::Parse(const std::string& text) {
    TSection* current = nullptr;
    const char* at = text.data();
    const char* const end = at + text.size();
    while (at < end) {
        const void* found = std::memchr(at, '\n', static_cast<std::size_t>(end - at));
        const char* lineEnd = found ? static_cast<const char*>(found) : end;
        const char* next = found ? lineEnd + 1 : end;
        if (lineEnd > at && lineEnd[-1] == '\r') {
            --lineEnd;
        }
        std::string line = Trim(at, lineEnd);
        at = next;
        // A line with control characters is not settings text (a damaged or foreign file): it is
        // dropped, so the file is rewritten as plain text.
        if (line.empty() || std::any_of(line.begin(), line.end(), [](char c) {
                const auto byte = static_cast<unsigned char>(c);
                return (byte < 0x20 && byte != '\t') || byte == 0x7F;
            })) {
            continue;
        }
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            current = &SectionFor(Trim(line.data() + 1, line.data() + line.size() - 1));
            continue;
        }
        if (!current) {
            Preamble.push_back(std::move(line));
            continue;
        }
        const std::size_t equals = line.find('=');
        TLine entry;
        if (equals != std::string::npos && equals > 0) {
            entry.Name = Trim(line.data(), line.data() + equals);
            entry.Value = Trim(line.data() + equals + 1, line.data() + line.size());
            entry.IsKey = !entry.Name.empty();
        }
        if (entry.IsKey) {
            current->Keys.emplace(FoldCase(entry.Name), current->Lines.size()); // keeps the first
        } else {
            entry.Value = std::move(line);
        }
        current->Lines.push_back(std::move(entry));
    }
}

TMemIniFile::TSection& TMemIniFile::SectionFor(const std::string& Section) {
    const auto [it, added] = SectionIndex.emplace(FoldCase(Section), Sections.size());
    if (added) {
        Sections.push_back(TSection{Section, {}, {}});
    }
    return Sections[it->second];
}

const TMemIniFile::TLine* TMemIniFile::Find(const std::string& Section, const std::string& Ident) const {
    const auto section = SectionIndex.find(FoldCase(Section));
    if (section == SectionIndex.end()) {
        return nullptr;
    }
    const TSection& s = Sections[section->second];
    const auto key = s.Keys.find(FoldCase(Ident));
    return key == s.Keys.end() ? nullptr : &s.Lines[key->second];
}

bool TMemIniFile::SectionExists(const std::string& Section) const {
    return SectionIndex.count(FoldCase(Section)) != 0;
}

bool TMemIniFile::ValueExists(const std::string& Section, const std::string& Ident) const {
    return Find(Section, Ident) != nullptr;
}

int TMemIniFile::ReadInteger(const std::string& Section, const std::string& Ident, int Default) const {
    const TLine* line = Find(Section, Ident);
    int value = 0;
    return line && ParseInteger(line->Value, value) ? value : Default;
}

std::string TMemIniFile::ReadString(const std::string& Section, const std::string& Ident,
                                    const std::string& Default) const {
    const TLine* line = Find(Section, Ident);
    return line ? line->Value : Default;
}

void TMemIniFile::WriteInteger(const std::string& Section, const std::string& Ident, int Value) {
    WriteString(Section, Ident, std::to_string(Value));
}

void TMemIniFile::WriteString(const std::string& Section, const std::string& Ident,
                              const std::string& Value) {
    CheckName("section", Section);
    CheckName("key", Ident);
    // A line break would split the value into lines of its own and corrupt the file.
    if (Value.find_first_of("\r\n") != std::string::npos) {
        throw std::invalid_argument("The value of INI key '" + Ident + "' contains a line break");
    }
    TSection& s = SectionFor(Section);
    const auto [it, added] = s.Keys.emplace(FoldCase(Ident), s.Lines.size());
    if (added) {
        s.Lines.push_back(TLine{Ident, Trim(Value.data(), Value.data() + Value.size()), true});
    } else {
        s.Lines[it->second].Value = Trim(Value.data(), Value.data() + Value.size());
    }
}

std::string TMemIniFile::Text() const {
    std::string text;
    for (const std::string& line : Preamble) {
        text += line;
        text += '\n';
    }
    for (const TSection& s : Sections) {
        text += '[';
        text += s.Name;
        text += "]\n";
        for (const TLine& line : s.Lines) {
            if (line.IsKey) {
                text += line.Name;
                text += '=';
            }
            text += line.Value;
            text += '\n';
        }
        text += '\n';
    }
    return text;
}

void TMemIniFile::UpdateFile() {
    // Write through a symbolic link to the file it names rather than replacing the link.
    std::string target = FFileName;
    struct stat old {};
    const bool exists = ::lstat(FFileName.c_str(), &old) == 0;
    if (exists && S_ISLNK(old.st_mode)) {
        if (char* resolved = ::realpath(FFileName.c_str(), nullptr)) {
            target = resolved;
            std::free(resolved);
        }
    }
    struct stat targetStat {};
    const bool targetExists = ::stat(target.c_str(), &targetStat) == 0;

    std::string temporary = target + ".tmp-XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        throw std::runtime_error(SystemError("Cannot write the file", FFileName, errno));
    }
    auto fail = [&](int error) {
        ::close(fd);
        ::unlink(temporary.c_str());
        throw std::runtime_error(SystemError("Cannot write the file", FFileName, error));
    };
    const mode_t mode = targetExists ? (targetStat.st_mode & 07777) : 0644;
    if (::fchmod(fd, mode) != 0) {
        fail(errno);
    }
    const std::string text = Text();
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail(errno);
        }
        done += static_cast<std::size_t>(put);
    }
    if (::fsync(fd) != 0) {
        fail(errno);
    }
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        throw std::runtime_error(SystemError("Cannot write the file", FFileName, error));
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        throw std::runtime_error(SystemError("Cannot write the file", FFileName, error));
    }
    // Make the rename itself durable; a failure here leaves a complete file either way.
    const std::size_t slash = target.rfind('/');
    const std::string folder =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}
