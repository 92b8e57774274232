// Reading update files (.fwu): header checks, the two version lists and the page records, front to back.
#include "package/UpdateFile.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <system_error>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t HeaderSize = 26;
constexpr std::uint16_t MaxHwCount = 20;
// Every file must hold at least HwCount + MinimumSizeBase bytes, whatever its lists and pages need.
constexpr std::uint64_t MinimumSizeBase = 282;
constexpr std::uint32_t PageHeadSize = 8;
// A page frame's check covers everything but its start byte and the check: 3 + record bytes, which the
// 16-bit count of Crc16 limits to 65535. Records of 65534 bytes or more cannot be sent.
constexpr std::uint32_t MaxPageRecordSize = 65533;
// Files are read in pieces of this size so that the raw bytes never sit in memory beside the whole package.
constexpr std::size_t ChunkSize = std::size_t{4} << 20;

constexpr std::uint8_t Signature[10] = {'B', 'O', 'O', 'T', '_', 'F', 'I', 'L', 'E', 0};

struct BadFormat {};

std::uint16_t Word(const std::uint8_t* at) {
    return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}

// The bytes of a file held in memory, handed out front to back.
class MemoryCursor {
public:
    MemoryCursor(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    // `count` contiguous bytes, or null when fewer remain.
    const std::uint8_t* Take(std::size_t count) {
        if (size_ - pos_ < count) {
            return nullptr;
        }
        const std::uint8_t* at = data_ + pos_;
        pos_ += count;
        return at;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

struct ReadFailure {
    int Errno;
};

// An open file read in large chunks; Take keeps the requested bytes contiguous across chunk borders.
class FileCursor {
public:
    FileCursor(std::FILE* file, std::size_t chunk) : file_(file), chunk_(std::max<std::size_t>(chunk, 1)) {}

    const std::uint8_t* Take(std::size_t count) {
        if (end_ - pos_ < count && !Fill(count)) {
            return nullptr;
        }
        const std::uint8_t* at = buffer_.data() + pos_;
        pos_ += count;
        return at;
    }

private:
    bool Fill(std::size_t count) {
        const std::size_t kept = end_ - pos_;
        if (buffer_.size() < count) {
            std::vector<std::uint8_t> bigger(std::max(count, chunk_));
            std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(pos_),
                      buffer_.begin() + static_cast<std::ptrdiff_t>(end_), bigger.begin());
            buffer_.swap(bigger);
        } else {
            std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(pos_),
                      buffer_.begin() + static_cast<std::ptrdiff_t>(end_), buffer_.begin());
        }
        pos_ = 0;
        end_ = kept;
        while (end_ < count) {
            const std::size_t got = std::fread(buffer_.data() + end_, 1, buffer_.size() - end_, file_);
            if (got == 0) {
                if (std::ferror(file_)) {
                    throw ReadFailure{errno};
                }
                return false;
            }
            end_ += got;
        }
        return true;
    }

    std::FILE* file_;
    std::size_t chunk_;
    std::vector<std::uint8_t> buffer_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
};

void CopyWords(const std::uint8_t* from, std::uint16_t* to, std::size_t count) {
    if constexpr (std::endian::native == std::endian::little) {
        if (count != 0) {
            std::memcpy(to, from, count * 2);
        }
    } else {
        for (std::size_t i = 0; i < count; ++i) {
            to[i] = Word(from + 2 * i);
        }
    }
}

// Reads a package from `cursor`, whose source holds `size` bytes. Every check is made before anything is
// reserved, and throws BadFormat; the result is built aside, so a refusal leaves no partial package.
template <class Cursor> UpdateFileResult Parse(Cursor& cursor, std::uint64_t size) {
    if (size < HeaderSize) {
        throw BadFormat{};
    }
    const std::uint8_t* header = cursor.Take(HeaderSize);
    if (header == nullptr || !std::equal(std::begin(Signature), std::end(Signature), header)) {
        throw BadFormat{};
    }
    const std::uint16_t PageCount = Word(header + 12);
    const std::uint32_t PageRecordSize = Word(header + 14);
    const std::uint16_t HwMinor = Word(header + 18);
    const std::uint8_t HwMajor = header[21];
    const std::uint16_t HwCount = Word(header + 22);
    const std::uint16_t SwCount = Word(header + 24);
    if (HwCount > MaxHwCount || size < HwCount + MinimumSizeBase) {
        throw BadFormat{};
    }
    if (PageRecordSize < PageHeadSize || PageRecordSize > MaxPageRecordSize) {
        throw BadFormat{};
    }
    const std::size_t words = (PageRecordSize - PageHeadSize) / 2;
    const std::size_t recordBytes = PageHeadSize + 2 * words;
    const std::uint64_t needed = HeaderSize + 2u * std::uint64_t{HwCount} + 2u * std::uint64_t{SwCount} + 2u +
                                 std::uint64_t{PageCount} * recordBytes;
    if (size < needed) {
        throw BadFormat{};
    }

    UpdateFileResult result;
    UpdatePackage& package = result.Package;
    const auto readList = [&cursor](std::vector<std::uint16_t>& list, std::size_t count) {
        const std::uint8_t* at = cursor.Take(2 * count);
        if (at == nullptr) {
            throw BadFormat{};
        }
        list.resize(count);
        CopyWords(at, list.data(), count);
    };
    readList(package.HwRevisions, HwCount);
    readList(package.SwVersions, SwCount);
    if (cursor.Take(2) == nullptr) {
        throw BadFormat{};
    }
    package.HwMajor = HwMajor;
    package.HwMinor = HwMinor;
    package.PageRecordSize = PageRecordSize;
    for (std::int32_t k = 0; k < PageCount; ++k) {
        const std::uint8_t* record = cursor.Take(recordBytes);
        if (record == nullptr) {
            throw BadFormat{};
        }
        TVarLoadPage page;
        std::copy(record, record + PageHeadSize, page.Head.begin());
        page.Data.resize(words);
        CopyWords(record + PageHeadSize, page.Data.data(), words);
        package.PageMap.emplace_hint(package.PageMap.end(), k, std::move(page));
    }
    result.PageCount = PageCount;
    result.Ok = true;
    return result;
}

UpdateFileResult Failure(std::string text) {
    UpdateFileResult result;
    result.Error = std::move(text);
    return result;
}

std::string ErrorText(int code) {
    return std::generic_category().message(code);
}

std::string OpenError(const std::string& path, const std::string& reason) {
    return "Cannot open file \"" + path + "\". " + reason;
}

constexpr const char* OutOfMemory = "Not enough memory to load the update file.";

} // namespace

UpdateFileResult ReadUpdateData(const std::uint8_t* data, std::size_t size) {
    try {
        MemoryCursor cursor(data, data == nullptr ? 0 : size);
        return Parse(cursor, data == nullptr ? 0 : size);
    } catch (const BadFormat&) {
        return Failure(BadFileFormat);
    } catch (const std::bad_alloc&) {
        return Failure(OutOfMemory);
    }
}

UpdateFileResult ReadUpdateFile(const std::string& path) {
    // Only regular files are opened: opening a FIFO would wait for a writer, and a device or a directory
    // has no length to check the header against.
    std::error_code status;
    const auto kind = std::filesystem::status(path, status).type();
    if (status) {
        return Failure(OpenError(path, status.message()));
    }
    if (kind == std::filesystem::file_type::directory) {
        return Failure(OpenError(path, ErrorText(EISDIR)));
    }
    if (kind != std::filesystem::file_type::regular) {
        return Failure(OpenError(path, "Not a regular file"));
    }
    errno = 0;
    FileHandle file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        return Failure(OpenError(path, ErrorText(errno != 0 ? errno : ENOENT)));
    }
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    // The length of the file actually opened, not of whatever the path named a moment earlier.
    if (std::fseek(file.get(), 0, SEEK_END) != 0) {
        return Failure(OpenError(path, ErrorText(errno)));
    }
    const long length = std::ftell(file.get());
    if (length < 0 || std::fseek(file.get(), 0, SEEK_SET) != 0) {
        return Failure(OpenError(path, ErrorText(errno)));
    }
    try {
        FileCursor cursor(file.get(), std::min(ChunkSize, static_cast<std::size_t>(length)));
        return Parse(cursor, static_cast<std::uint64_t>(length));
    } catch (const BadFormat&) {
        return Failure(BadFileFormat);
    } catch (const ReadFailure& failure) {
        return Failure("Cannot read file \"" + path + "\". " + ErrorText(failure.Errno));
    } catch (const std::bad_alloc&) {
        return Failure(OutOfMemory);
    }
}

std::string HardwareLine(std::uint8_t HwMajor, std::uint16_t HwMinor, std::uint16_t revision) {
    return std::to_string(HwMajor) + "." + std::to_string(HwMinor) + "." + std::to_string(revision);
}

std::string SoftwareLine(std::uint16_t version) {
    std::string line;
    for (int shift = 12; shift >= 0; shift -= 4) {
        if (!line.empty()) {
            line += '.';
        }
        line += std::to_string((version >> shift) & 0xF);
    }
    return line;
}
