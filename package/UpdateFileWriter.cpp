// Writing update files from a description: header, both lists, page records from an image or a pattern.
#include "package/UpdateFileWriter.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <system_error>

namespace {

constexpr std::size_t HeaderSize = 26;
constexpr std::size_t PageHeadSize = 8;
constexpr std::size_t MinimumSizeBase = 282;
constexpr std::uint8_t Fill = 0xFF;

void PutWord(ByteBuffer& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFFu));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutWordAt(ByteBuffer& out, std::size_t at, std::uint16_t value) {
    out[at] = static_cast<std::uint8_t>(value & 0xFFu);
    out[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

// splitmix64: a fixed, portable sequence, so a seed always gives the same file.
std::uint64_t Mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

void AppendPattern(ByteBuffer& out, std::uint32_t seed, std::uint16_t page, std::size_t count) {
    std::uint64_t state = (std::uint64_t{seed} << 16) | page;
    while (count > 0) {
        state = Mix(state);
        std::uint64_t bits = state;
        for (int i = 0; i < 8 && count > 0; ++i, --count) {
            out.push_back(static_cast<std::uint8_t>(bits & 0xFFu));
            bits >>= 8;
        }
    }
}

void AppendRecord(ByteBuffer& out, const UpdateFileLayout& layout, std::uint16_t page) {
    const std::size_t count = RecordBytes(layout.PageRecordSize);
    if (!layout.Image) {
        AppendPattern(out, layout.PatternSeed, page, count);
        return;
    }
    const ByteBuffer& image = *layout.Image;
    const std::size_t from = std::min(image.size(), std::size_t{page} * count);
    const std::size_t copied = std::min(count, image.size() - from);
    out.insert(out.end(), image.begin() + static_cast<std::ptrdiff_t>(from),
               image.begin() + static_cast<std::ptrdiff_t>(from + copied));
    out.insert(out.end(), count - copied, Fill);
}

} // namespace

std::size_t RecordBytes(std::uint16_t PageRecordSize) {
    if (PageRecordSize < PageHeadSize) {
        return 0;
    }
    return PageHeadSize + 2 * ((PageRecordSize - PageHeadSize) / 2);
}

ByteBuffer PageRecord(const UpdateFileLayout& layout, std::uint16_t page) {
    ByteBuffer record;
    record.reserve(RecordBytes(layout.PageRecordSize));
    AppendRecord(record, layout, page);
    return record;
}

ByteBuffer MakeUpdateData(const UpdateFileLayout& layout) {
    const std::uint16_t hwCount =
        layout.HwCountOverride.value_or(static_cast<std::uint16_t>(layout.HwRevisions.size()));
    const std::uint16_t swCount =
        layout.SwCountOverride.value_or(static_cast<std::uint16_t>(layout.SwVersions.size()));
    const std::size_t body = HeaderSize + 2 * layout.HwRevisions.size() + 2 * layout.SwVersions.size() + 2 +
                             std::size_t{layout.PageCount} * RecordBytes(layout.PageRecordSize);
    const std::size_t minimum = layout.PadToMinimum ? hwCount + MinimumSizeBase : 0;

    ByteBuffer out;
    out.reserve(std::max(body, minimum) + layout.TrailingBytes);
    const char* magic = layout.BadMagic ? "boot_file" : "BOOT_FILE";
    out.insert(out.end(), magic, magic + 9);
    out.push_back(0);
    out.resize(HeaderSize, 0);
    PutWordAt(out, 12, layout.PageCount);
    PutWordAt(out, 14, layout.PageRecordSize);
    PutWordAt(out, 18, layout.HwMinor);
    out[21] = layout.HwMajor;
    PutWordAt(out, 22, hwCount);
    PutWordAt(out, 24, swCount);
    for (const std::uint16_t entry : layout.HwRevisions) {
        PutWord(out, entry);
    }
    for (const std::uint16_t entry : layout.SwVersions) {
        PutWord(out, entry);
    }
    PutWord(out, 0); // the two bytes after the lists that readers skip
    for (std::uint32_t page = 0; page < layout.PageCount; ++page) {
        AppendRecord(out, layout, static_cast<std::uint16_t>(page));
    }
    if (out.size() < minimum) {
        out.resize(minimum, Fill);
    }
    out.insert(out.end(), layout.TrailingBytes, Fill);
    out.resize(out.size() - std::min(layout.Truncate, out.size()));
    return out;
}

void WriteUpdateFile(const std::string& path, const UpdateFileLayout& layout) {
    const ByteBuffer data = MakeUpdateData(layout);
    const auto fail = [&path](int code) {
        throw std::runtime_error("Cannot write file \"" + path + "\". " +
                                 std::generic_category().message(code));
    };
    errno = 0;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
    if (!file) {
        fail(errno);
    }
    if (!data.empty() && std::fwrite(data.data(), 1, data.size(), file.get()) != data.size()) {
        fail(errno);
    }
    std::FILE* raw = file.release();
    if (std::fclose(raw) != 0) {
        fail(errno);
    }
}
