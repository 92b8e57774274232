// pagewright-fwu: makes update files (valid or deliberately malformed) and shows what one holds.
#include "package/UpdateFile.h"
#include "package/UpdateFileWriter.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace {

constexpr int ExitOk = 0;
constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;

const char* const MainUsage = R"(Usage: pagewright-fwu <command> [options]

Commands:
  info FILE          show the header, the version lists and the pages of an update file
  make OUT [options] write an update file

Run "pagewright-fwu <command> --help" for the options of a command.
)";

const char* const InfoUsage = R"(Usage: pagewright-fwu info FILE

Shows the header fields of the update file FILE, its hardware and software lists as the program's
window lists them (one line per entry, sorted as text), the page count and the page record size.
A file the program would refuse gives the reader's error on stderr and exit status 1.
)";

const char* const MakeUsage = R"(Usage: pagewright-fwu make OUT [options]

Writes an update file to OUT. Without options it is a small valid file.

Contents:
  --pages N              number of page records (0-65535; default 4, or as many as --image needs)
  --record-size S        PageRecordSize, head bytes included (0-65535; default 72)
  --hw-major N           HwMajor (0-255; default 2)
  --hw-minor N           HwMinor (0-65535; default 1000)
  --hw LIST              hardware list entries, comma-separated (default 5; "" for none)
  --sw LIST              software versions, comma-separated, hex (0x1A05) or dotted (1.10.0.5)
                         (default 0x1A05; "" for none)
  --image FILE           page records cut from the bytes of FILE, padded with 0xFF
  --pattern SEED         page records from a deterministic pattern (default; seed 1)
  --trailing N           N bytes of 0xFF after the last page record
  --no-pad               do not pad a short file to the minimum length (hardware entries + 282 bytes)

Malformed files:
  --bad-magic            identifying text in lower case
  --truncate N           cut N bytes from the end
  --hw-count-override N  header HwCount N, whatever the list holds
  --sw-count-override N  header SwCount N, whatever the list holds

Numbers are decimal or hex with 0x.
)";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::uint64_t ParseNumber(std::string_view text, std::uint64_t max, const std::string& what) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() || value > max) {
        throw UsageError(what + ": \"" + std::string(text) + "\" is not a number from 0 to " +
                         std::to_string(max));
    }
    return value;
}

std::vector<std::string_view> SplitList(std::string_view list) {
    std::vector<std::string_view> items;
    if (list.empty()) {
        return items;
    }
    std::size_t from = 0;
    while (true) {
        const std::size_t comma = list.find(',', from);
        items.push_back(
            list.substr(from, comma == std::string_view::npos ? std::string_view::npos : comma - from));
        if (comma == std::string_view::npos) {
            return items;
        }
        from = comma + 1;
    }
}

std::uint16_t ParseSoftwareVersion(std::string_view text) {
    if (text.starts_with("0x") || text.starts_with("0X")) {
        return static_cast<std::uint16_t>(ParseNumber(text, 0xFFFF, "--sw"));
    }
    const std::vector<std::string_view> digits = [&text] {
        std::vector<std::string_view> parts;
        std::size_t from = 0;
        while (true) {
            const std::size_t dot = text.find('.', from);
            parts.push_back(
                text.substr(from, dot == std::string_view::npos ? std::string_view::npos : dot - from));
            if (dot == std::string_view::npos) {
                return parts;
            }
            from = dot + 1;
        }
    }();
    if (digits.size() != 4) {
        throw UsageError("--sw: \"" + std::string(text) +
                         "\" is not a software version (hex like 0x1A05 or dotted like 1.10.0.5)");
    }
    unsigned value = 0;
    for (const std::string_view digit : digits) {
        if (digit.starts_with("0x") || digit.starts_with("0X")) {
            throw UsageError("--sw: \"" + std::string(text) + "\": dotted digits are decimal, 0 to 15");
        }
        value = (value << 4) | static_cast<unsigned>(ParseNumber(digit, 15, "--sw digit"));
    }
    return static_cast<std::uint16_t>(value);
}

ByteBuffer ReadImage(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw Failure("Cannot open image \"" + path + "\". " + std::generic_category().message(errno));
    }
    ByteBuffer bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        throw Failure("Cannot read image \"" + path + "\".");
    }
    return bytes;
}

// Command-line arguments, taken one by one; "--name=value" and "--name value" both work.
class Arguments {
public:
    Arguments(int argc, char** argv, int first) : args_(argv + first, argv + argc) {}

    bool Done() const { return next_ >= args_.size(); }
    std::string Take() { return args_[next_++]; }

    std::string Value(const std::string& option, std::optional<std::string>& inlineValue) {
        if (inlineValue) {
            std::string value = *inlineValue;
            inlineValue.reset();
            return value;
        }
        if (Done()) {
            throw UsageError(option + " needs a value");
        }
        return Take();
    }

private:
    std::vector<std::string> args_;
    std::size_t next_ = 0;
};

bool WantsHelp(int argc, char** argv, int first) {
    return std::any_of(argv + first, argv + argc, [](const char* a) {
        return std::string_view(a) == "--help" || std::string_view(a) == "-h";
    });
}

int Info(int argc, char** argv) {
    if (WantsHelp(argc, argv, 2)) {
        std::cout << InfoUsage;
        return ExitOk;
    }
    if (argc != 3 || std::string_view(argv[2]).starts_with("--")) {
        throw UsageError(argc < 3 ? "info needs the FILE to show" : "info takes exactly one FILE");
    }
    const std::string path = argv[2];
    const UpdateFileResult r = ReadUpdateFile(path);
    if (!r.Ok) {
        std::cerr << r.Error << "\n";
        return ExitFailed;
    }
    const UpdatePackage& p = r.Package;
    std::vector<std::string> hardware;
    for (const std::uint16_t entry : p.HwRevisions) {
        hardware.push_back(HardwareLine(p.HwMajor, p.HwMinor, entry));
    }
    std::vector<std::string> software;
    for (const std::uint16_t entry : p.SwVersions) {
        software.push_back(SoftwareLine(entry));
    }
    std::sort(hardware.begin(), hardware.end());
    std::sort(software.begin(), software.end());

    std::cout << "File: " << path << "\n"
              << "PageCount: " << r.PageCount << "\n"
              << "PageRecordSize: " << p.PageRecordSize << "\n"
              << "Data words per page: " << (p.PageRecordSize - 8) / 2 << "\n"
              << "HwMajor: " << unsigned{p.HwMajor} << "\n"
              << "HwMinor: " << p.HwMinor << "\n"
              << "HwCount: " << p.HwRevisions.size() << "\n"
              << "SwCount: " << p.SwVersions.size() << "\n"
              << "Hardware versions:\n";
    for (const std::string& line : hardware) {
        std::cout << "  " << line << "\n";
    }
    std::cout << "Software versions:\n";
    for (const std::string& line : software) {
        std::cout << "  " << line << "\n";
    }
    return ExitOk;
}

int Make(int argc, char** argv) {
    if (WantsHelp(argc, argv, 2)) {
        std::cout << MakeUsage;
        return ExitOk;
    }
    Arguments args(argc, argv, 2);
    UpdateFileLayout layout;
    std::optional<std::string> out;
    std::optional<std::string> imagePath;
    bool pagesGiven = false;
    bool patternGiven = false;
    while (!args.Done()) {
        std::string option = args.Take();
        if (!option.starts_with("--")) {
            if (out) {
                throw UsageError("make takes one OUT file; \"" + option + "\" is extra");
            }
            out = option;
            continue;
        }
        std::optional<std::string> inlineValue;
        if (const std::size_t eq = option.find('='); eq != std::string::npos) {
            inlineValue = option.substr(eq + 1);
            option.resize(eq);
        }
        const auto number = [&](std::uint64_t max) {
            return ParseNumber(args.Value(option, inlineValue), max, option);
        };
        if (option == "--pages") {
            layout.PageCount = static_cast<std::uint16_t>(number(0xFFFF));
            pagesGiven = true;
        } else if (option == "--record-size") {
            layout.PageRecordSize = static_cast<std::uint16_t>(number(0xFFFF));
        } else if (option == "--hw-major") {
            layout.HwMajor = static_cast<std::uint8_t>(number(0xFF));
        } else if (option == "--hw-minor") {
            layout.HwMinor = static_cast<std::uint16_t>(number(0xFFFF));
        } else if (option == "--hw") {
            layout.HwRevisions.clear();
            const std::string list = args.Value(option, inlineValue);
            for (const std::string_view item : SplitList(list)) {
                layout.HwRevisions.push_back(static_cast<std::uint16_t>(ParseNumber(item, 0xFFFF, "--hw")));
            }
        } else if (option == "--sw") {
            layout.SwVersions.clear();
            const std::string list = args.Value(option, inlineValue);
            for (const std::string_view item : SplitList(list)) {
                layout.SwVersions.push_back(ParseSoftwareVersion(item));
            }
        } else if (option == "--image") {
            imagePath = args.Value(option, inlineValue);
        } else if (option == "--pattern") {
            layout.PatternSeed = static_cast<std::uint32_t>(number(0xFFFFFFFF));
            patternGiven = true;
        } else if (option == "--trailing") {
            layout.TrailingBytes = static_cast<std::size_t>(number(std::uint64_t{1} << 32));
        } else if (option == "--truncate") {
            layout.Truncate = static_cast<std::size_t>(number(std::uint64_t{1} << 40));
        } else if (option == "--hw-count-override") {
            layout.HwCountOverride = static_cast<std::uint16_t>(number(0xFFFF));
        } else if (option == "--sw-count-override") {
            layout.SwCountOverride = static_cast<std::uint16_t>(number(0xFFFF));
        } else if (option == "--bad-magic") {
            layout.BadMagic = true;
        } else if (option == "--no-pad") {
            layout.PadToMinimum = false;
        } else {
            throw UsageError("unknown option " + option);
        }
        if (inlineValue) {
            throw UsageError(option + " takes no value");
        }
    }
    if (!out) {
        throw UsageError("make needs the OUT file to write");
    }
    if (layout.HwRevisions.size() > 0xFFFF || layout.SwVersions.size() > 0xFFFF) {
        throw UsageError("a version list holds at most 65535 entries");
    }
    if (imagePath) {
        if (patternGiven) {
            throw UsageError("--image and --pattern exclude each other");
        }
        layout.Image = ReadImage(*imagePath);
        const std::size_t record = RecordBytes(layout.PageRecordSize);
        if (record == 0) {
            throw UsageError("--image needs a --record-size of at least 8");
        }
        const std::size_t needed = (layout.Image->size() + record - 1) / record;
        if (!pagesGiven) {
            if (needed > 0xFFFF) {
                throw Failure("image \"" + *imagePath + "\" needs " + std::to_string(needed) + " pages of " +
                              std::to_string(record) + " bytes; at most 65535 fit a file");
            }
            layout.PageCount = static_cast<std::uint16_t>(needed);
        } else if (needed > layout.PageCount) {
            throw Failure("image \"" + *imagePath + "\" holds " + std::to_string(layout.Image->size()) +
                          " bytes, more than " + std::to_string(layout.PageCount) + " pages of " +
                          std::to_string(record) + " bytes");
        }
    }
    try {
        WriteUpdateFile(*out, layout);
    } catch (const std::runtime_error& e) {
        throw Failure(e.what());
    }
    std::cout << "Wrote " << *out << ": " << layout.PageCount << " pages, PageRecordSize "
              << layout.PageRecordSize << "\n";
    return ExitOk;
}

} // namespace

int main(int argc, char** argv) {
    try {
        if (argc < 2) {
            std::cerr << MainUsage;
            return ExitUsage;
        }
        const std::string_view command = argv[1];
        if (command == "--help" || command == "-h" || command == "help") {
            std::cout << MainUsage;
            return ExitOk;
        }
        if (command == "info") {
            return Info(argc, argv);
        }
        if (command == "make") {
            return Make(argc, argv);
        }
        throw UsageError("unknown command \"" + std::string(command) + "\"");
    } catch (const UsageError& e) {
        std::cerr << "pagewright-fwu: " << e.what() << "\nRun \"pagewright-fwu --help\" for usage.\n";
        return ExitUsage;
    } catch (const Failure& e) {
        std::cerr << "pagewright-fwu: " << e.what() << "\n";
        return ExitFailed;
    } catch (const std::exception& e) {
        std::cerr << "pagewright-fwu: " << e.what() << "\n";
        return ExitFailed;
    }
}
