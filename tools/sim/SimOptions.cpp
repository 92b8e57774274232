// Command line of pagewright-sim: parsing, checks against the update file, and the help text.
#include "tools/sim/SimOptions.h"

#include <charconv>
#include <functional>
#include <map>

namespace {

constexpr std::uint16_t MaxPageNumber = 0x0FFF;
constexpr std::uint32_t MaxBaud = 4000000;
constexpr std::uint32_t MaxNoise = 65536;
constexpr std::int64_t MaxMilliseconds = 3600 * 1000;

// Decimal, or hexadecimal after "0x"; nothing else, no sign, no blanks.
std::optional<std::uint64_t> ParseNumber(const std::string& text) {
    int base = 10;
    std::size_t start = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        start = 2;
    }
    if (start == text.size()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    const char* first = text.data() + start;
    const char* last = text.data() + text.size();
    auto [end, error] = std::from_chars(first, last, value, base);
    if (error != std::errc() || end != last) {
        return std::nullopt;
    }
    return value;
}

// "1.10.0.5": four digits 0..15, most significant first; or one number up to 0xFFFF.
std::optional<std::uint16_t> ParseSoftwareVersion(const std::string& text) {
    if (text.find('.') == std::string::npos) {
        auto value = ParseNumber(text);
        if (!value || *value > 0xFFFF) {
            return std::nullopt;
        }
        return static_cast<std::uint16_t>(*value);
    }
    std::uint32_t version = 0;
    std::size_t digits = 0;
    std::size_t from = 0;
    while (true) {
        std::size_t dot = text.find('.', from);
        std::string part = text.substr(from, dot == std::string::npos ? std::string::npos : dot - from);
        if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos) {
            return std::nullopt;
        }
        auto digit = ParseNumber(part);
        if (!digit || *digit > 15) {
            return std::nullopt;
        }
        version = (version << 4) | static_cast<std::uint32_t>(*digit);
        ++digits;
        if (dot == std::string::npos) {
            break;
        }
        from = dot + 1;
    }
    if (digits != 4) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(version);
}

} // namespace

SimOptionsResult ParseSimOptions(const std::vector<std::string>& args) {
    SimOptionsResult result;
    SimOptions& o = result.Options;
    std::string error;

    // Each setter checks its value and stores it; false leaves `error` naming the option and value.
    auto number = [&error](const std::string& name, const std::string& text, std::uint64_t min,
                           std::uint64_t max) -> std::optional<std::uint64_t> {
        auto value = ParseNumber(text);
        if (!value || *value < min || *value > max) {
            error = name + ": '" + text + "' is not a number from " + std::to_string(min) + " to " +
                    std::to_string(max);
            return std::nullopt;
        }
        return value;
    };
    auto page = [&](const std::string& name, const std::string& text, std::optional<std::uint16_t>& into) {
        auto value = number(name, text, 0, MaxPageNumber);
        if (value) {
            into = static_cast<std::uint16_t>(*value);
        }
        return value.has_value();
    };
    auto millis = [&](const std::string& name, const std::string& text, std::uint64_t min,
                      std::chrono::milliseconds& into) {
        auto value = number(name, text, min, MaxMilliseconds);
        if (value) {
            into = std::chrono::milliseconds(static_cast<std::int64_t>(*value));
        }
        return value.has_value();
    };
    auto u32 = [&](const std::string& name, const std::string& text, std::uint64_t min, std::uint64_t max,
                   std::uint32_t& into) {
        auto value = number(name, text, min, max);
        if (value) {
            into = static_cast<std::uint32_t>(*value);
        }
        return value.has_value();
    };

    using Setter = std::function<bool(const std::string& name, const std::string& value)>;
    const std::map<std::string, Setter> valued = {
        {"--file",
         [&](auto&, auto& v) {
             o.File = v;
             return true;
         }},
        {"--port",
         [&](auto&, auto& v) {
             o.Port = v;
             return true;
         }},
        {"--report",
         [&](auto&, auto& v) {
             o.Report = v;
             return true;
         }},
        {"--hw-major",
         [&](auto& n, auto& v) {
             auto x = number(n, v, 0, 255);
             if (x)
                 o.HwMajor = static_cast<std::uint8_t>(*x);
             return x.has_value();
         }},
        {"--hw-minor",
         [&](auto& n, auto& v) {
             auto x = number(n, v, 0, 0xFFFF);
             if (x)
                 o.HwMinor = static_cast<std::uint16_t>(*x);
             return x.has_value();
         }},
        {"--hw-revision",
         [&](auto& n, auto& v) {
             auto x = number(n, v, 0, 255);
             if (x)
                 o.HwRevision = static_cast<std::uint8_t>(*x);
             return x.has_value();
         }},
        {"--sw-version",
         [&](auto& n, auto& v) {
             o.SwVersion = ParseSoftwareVersion(v);
             if (!o.SwVersion) {
                 error = n + ": '" + v + "' is neither a number up to 0xFFFF nor four digits like 1.10.0.5";
             }
             return o.SwVersion.has_value();
         }},
        {"--page-flags",
         [&](auto& n, auto& v) {
             auto x = number(n, v, 0, 15);
             if (x)
                 o.PageFlags = static_cast<std::uint8_t>(*x);
             return x.has_value();
         }},
        {"--baud", [&](auto& n, auto& v) { return u32(n, v, 1, MaxBaud, o.Baud); }},
        {"--power-on-delay", [&](auto& n, auto& v) { return millis(n, v, 0, o.PowerOnDelay); }},
        {"--timeout", [&](auto& n, auto& v) { return millis(n, v, 1, o.Timeout); }},
        {"--max-retries", [&](auto& n, auto& v) { return u32(n, v, 0, 1000000, o.MaxRetries); }},
        {"--noise", [&](auto& n, auto& v) { return u32(n, v, 0, MaxNoise, o.Noise); }},
        {"--seed", [&](auto& n, auto& v) { return u32(n, v, 0, 0xFFFFFFFF, o.Seed); }},
        {"--broken-check",
         [&](auto& n, auto& v) {
             std::uint32_t k = 0;
             bool ok = u32(n, v, 1, 0xFFFFFFFF, k);
             if (ok)
                 o.BrokenCheck = k;
             return ok;
         }},
        {"--bad-page-at", [&](auto& n, auto& v) { return page(n, v, o.BadPageAt); }},
        {"--defective-after", [&](auto& n, auto& v) { return page(n, v, o.DefectiveAfter); }},
        {"--silent-after", [&](auto& n, auto& v) { return page(n, v, o.SilentAfter); }},
        {"--hangup-after", [&](auto& n, auto& v) { return page(n, v, o.HangupAfter); }},
        {"--unknown-type-at", [&](auto& n, auto& v) { return page(n, v, o.UnknownTypeAt); }},
        {"--power-cycle-at", [&](auto& n, auto& v) { return page(n, v, o.PowerCycleAt); }},
        {"--power-off-ms", [&](auto& n, auto& v) { return millis(n, v, 0, o.PowerOff); }},
    };
    const std::map<std::string, bool*> flags = {
        {"--loading", &o.Loading}, {"--once", &o.Once}, {"--quiet", &o.Quiet}, {"--help", &o.Help}};

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        if (auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        if (name == "-h") {
            name = "--help";
        }
        if (auto flag = flags.find(name); flag != flags.end()) {
            if (value) {
                result.Error = name + " takes no value";
                return result;
            }
            *flag->second = true;
            continue;
        }
        auto setter = valued.find(name);
        if (setter == valued.end()) {
            result.Error = "unknown option '" + args[i] + "' (see --help)";
            return result;
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                result.Error = name + " needs a value";
                return result;
            }
            value = args[++i];
        }
        if (!setter->second(name, *value)) {
            result.Error = error;
            return result;
        }
    }
    if (o.Help) {
        result.Ok = true;
        return result;
    }
    if (o.File.empty()) {
        result.Error = "--file is required (see --help)";
        return result;
    }
    if (o.Port.empty()) {
        result.Error = "--port is required (see --help)";
        return result;
    }
    if (o.Port == "." || o.Port == ".." || o.Port.find('/') != std::string::npos) {
        result.Error = "--port: '" + o.Port + "' is not a plain name (no '/', not '.' or '..')";
        return result;
    }
    result.Ok = true;
    return result;
}

std::string CheckAgainstFile(const SimOptions& options, std::uint16_t PageCount) {
    // Page numbers travel in 12 bits of the PageWord.
    if (PageCount > MaxPageNumber + 1) {
        return "the file has " + std::to_string(PageCount) + " pages; a page request can ask for at most " +
               std::to_string(MaxPageNumber + 1);
    }
    if (PageCount == 0) {
        return "the file has no pages; the boot loader would have nothing to ask for";
    }
    // "at page K" may name any page; "after page K" needs a page after K, since the run is over once
    // the last page is reported.
    const std::pair<const char*, const std::optional<std::uint16_t>*> atPage[] = {
        {"--bad-page-at", &options.BadPageAt}, {"--unknown-type-at", &options.UnknownTypeAt}};
    const std::pair<const char*, const std::optional<std::uint16_t>*> afterPage[] = {
        {"--defective-after", &options.DefectiveAfter},
        {"--silent-after", &options.SilentAfter},
        {"--hangup-after", &options.HangupAfter},
        {"--power-cycle-at", &options.PowerCycleAt}};
    for (const auto& [name, value] : atPage) {
        if (*value && **value >= PageCount) {
            return std::string(name) + " " + std::to_string(**value) + ": the file has pages 0 to " +
                   std::to_string(PageCount - 1);
        }
    }
    for (const auto& [name, value] : afterPage) {
        if (*value && **value + 1 >= PageCount) {
            return std::string(name) + " " + std::to_string(**value) + ": the file has pages 0 to " +
                   std::to_string(PageCount - 1) + ", and the run is over after the last one";
        }
    }
    if (options.BadPageAt && PageCount > MaxPageNumber) {
        return "--bad-page-at asks for page number " + std::to_string(PageCount) +
               ", which does not fit in 12 bits";
    }
    return {};
}

std::string SimHelpText() {
    return R"(Usage: pagewright-sim --file FILE.fwu --port NAME [options]

Plays the RVK-318 boot loader on a pseudo-terminal published as the virtual port NAME
(a link in the virtual port folder). When a program opens the port and the power-on delay
has passed, it asks for every page of FILE in order, checks each page frame against the
file, and reports each page done. The link is removed when the simulator ends.

Required:
  --file FILE           update file whose pages are asked for (refused file: exit 2)
  --port NAME           name of the virtual port (a plain name, no '/')

What the page requests report (defaults from the file, so a plain run passes the checks):
  --hw-major N          first hardware component, 0..255 (default: the file's HwMajor)
  --hw-minor N          second hardware component, 0..65535 (default: the file's HwMinor)
  --hw-revision N       third hardware component, 0..255 (default: the file's first hardware entry
                        that fits in 8 bits)
  --sw-version V        software version, 0x1A05 or 1.10.0.5 (default: the file's first software version)
  --loading             report HwMajor 255 (loading mode: the program skips both checks);
                        overrides --hw-major
  --page-flags N        PageFlags, 0..15, in bits 12-15 of every PageWord (default 0)

Line and timing:
  --baud N              line rate; every byte takes 11 bit times (start, 8 data, 2 stop) both ways
                        (default 115200)
  --power-on-delay MS   pause between the port being opened and the first request (default 300)
  --timeout MS          a request without a valid answer in this time is repeated (default 1500)
  --max-retries N       repeats of one request (after no answer or a wrong answer) before the run
                        fails (default 5)

Misbehaviour (page numbers K count from 0; "after page K" needs a page after K):
  --noise N             send N random bytes before every frame (default 0)
  --seed N              seed of the noise (default 1)
  --broken-check K      every K-th frame sent has a broken check; a broken request is repeated
                        with a good check after --timeout, a broken report of the last page too;
                        repeats are never broken
  --bad-page-at K       at page K ask for page number PageCount instead (one past the last)
  --defective-after K   send a defect report (type 4) after the progress report of page K
  --silent-after K      send nothing more after the progress report of page K; keep the port open
  --hangup-after K      close the pseudo-terminal after the progress report of page K, so the port
                        vanishes; without --once a new one is published under the same name
  --unknown-type-at K   send a valid frame of type 7 before the request for page K
  --power-cycle-at K    after the progress report of page K stay silent for --power-off-ms, then ask
                        for page 0 again and go on (once per run)
  --power-off-ms MS     length of that silence (default 5000)

Runs and output:
  --once                end after the first run; exit 0 only when it completed and every answer was
                        right, 1 otherwise. Without it, one run is served per opening of the port
                        until SIGINT, SIGTERM or SIGHUP.
  --quiet               no line per page (the report at the end of each run is still printed)
  --report FILE         also write the report of each run to FILE as JSON (replaced at every run)
                        The report counts pages served correctly, pages wrong (answers that were
                        not the page asked for: other page or flags, head, data, length or check),
                        retries (requests repeated for want of an answer) and requests; gives the
                        host's turnaround (end of a request on the line to the first byte of its
                        answer: median, 99th percentile, max), the run time (first request to the
                        end of the run) and the line-limited time (every byte's line time plus one
                        20 ms read interval per request) with their ratio.
  --help, -h            this text

Exit status: 0 success, 1 a run with --once did not succeed or the simulator was stopped by a signal,
2 bad options, a refused update file or a port that could not be set up.
)";
}
