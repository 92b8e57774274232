// pagewright-sim against a host that plays the program's side over the published pseudo-terminal.
#include "tests/sim/SimHarness.h"

#include "package/UpdateFile.h"
#include "package/UpdateFileWriter.h"
#include "protocol/Crc16.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::uint16_t Pages = 5;
constexpr std::uint16_t RecordSize = 20;          // 8 head bytes and 6 data words
constexpr std::size_t PageFrameSize = 14 + 2 * 6; // as the boot loader expects it
constexpr std::size_t DeviceFrameBytes = 12;

// One frame as a short word: R3 request for page 3, P3 progress of page 3, D defect, T7 type 7.
std::string Describe(const std::vector<DeviceFrame>& frames) {
    std::string text;
    for (const DeviceFrame& f : frames) {
        if (!text.empty()) {
            text += ' ';
        }
        switch (f.FrameType()) {
        case FramePageRequest:
            text += 'R';
            text += std::to_string(f.PageNumber());
            break;
        case FrameProgress:
            text += 'P';
            text += std::to_string(f.PageNumber());
            break;
        case FrameDefective:
            text += "D";
            break;
        default:
            text += 'T';
            text += std::to_string(f.FrameType());
        }
    }
    return text;
}

template <class Case> std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    return info.param.Name;
}

bool LinkExists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

enum class HostEnd { Completed, ClosedOnBadPage, ClosedOnDefect, Gone, TimedOut };

// What the host sends for a request; nullopt sends nothing. `attempt` counts the requests of that page.
using AnswerPolicy = std::function<std::optional<ByteBuffer>(const DeviceFrame& request, int attempt)>;

class SimTest : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_ = temp_.Path() + "/run";
        ASSERT_EQ(::mkdir(runtime_.c_str(), 0700), 0);
        ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
        link_ = runtime_ + "/serialcomm/sim0";
        file_ = temp_.Path() + "/update.fwu";
        report_ = temp_.Path() + "/report.json";
        UpdateFileLayout layout;
        layout.PageCount = Pages;
        layout.PageRecordSize = RecordSize;
        WriteUpdateFile(file_, layout);
        UpdateFileResult read = ReadUpdateFile(file_);
        ASSERT_TRUE(read.Ok) << read.Error;
        package_ = read.Package;
    }

    // Starts the simulator at a quick line rate and waits until it has published the port. The request
    // time-out is long enough that a busy machine delaying the host never looks like a missing answer.
    std::unique_ptr<SimProcess> Start(std::vector<std::string> extra) {
        std::vector<std::string> args{"--file",           file_, "--port",    "sim0", "--baud",   "1000000",
                                      "--power-on-delay", "0",   "--timeout", "1000", "--report", report_};
        args.insert(args.end(), extra.begin(), extra.end());
        auto sim = std::make_unique<SimProcess>(args);
        EXPECT_TRUE(sim->WaitForLine("published at")) << sim->Out() << sim->Err();
        return sim;
    }

    ByteBuffer RightAnswer(const DeviceFrame& request) const {
        return BuildPageFrame(request.PageWord(), LookupPage(package_, request.PageNumber()));
    }

    // Plays the program: answers requests, closes the port on a bad page number or a defect report as
    // the program does, and stops at the progress report of the last page.
    HostEnd Serve(Host& host, std::vector<DeviceFrame>& frames, const AnswerPolicy& policy = {}) {
        std::map<std::uint16_t, int> attempts;
        while (auto frame = host.NextFrame()) {
            frames.push_back(*frame);
            switch (frame->FrameType()) {
            case FramePageRequest: {
                if (frame->PageNumber() >= Pages) {
                    host.Close();
                    return HostEnd::ClosedOnBadPage;
                }
                const int attempt = attempts[frame->PageNumber()]++;
                const std::optional<ByteBuffer> answer =
                    policy ? policy(*frame, attempt) : RightAnswer(*frame);
                if (answer) {
                    host.Send(*answer);
                }
                break;
            }
            case FrameProgress:
                if (frame->PageNumber() == Pages - 1) {
                    return HostEnd::Completed;
                }
                break;
            case FrameDefective:
                host.Close();
                return HostEnd::ClosedOnDefect;
            default:
                break;
            }
        }
        return host.Gone() ? HostEnd::Gone : HostEnd::TimedOut;
    }

    std::string Report() const { return ReadWholeFile(report_); }

    TempFolder temp_;
    std::string runtime_;
    std::string link_;
    std::string file_;
    std::string report_;
    UpdatePackage package_;
};

TEST_F(SimTest, GoodHostIsAskedForEveryPageInOrderAndTheRunCompletes) {
    auto sim = Start({"--once"});
    Host host(link_);
    ASSERT_TRUE(host.IsOpen());
    std::vector<DeviceFrame> frames;
    EXPECT_EQ(Serve(host, frames), HostEnd::Completed);
    EXPECT_EQ(Describe(frames), "R0 P0 R1 P1 R2 P2 R3 P3 R4 P4");
    for (const DeviceFrame& f : frames) {
        // The file's own versions, so that the program's checks pass.
        EXPECT_EQ(f.HwMajor(), package_.HwMajor);
        EXPECT_EQ(f.HwMinor(), package_.HwMinor);
        EXPECT_EQ(f.HwRevision(), package_.HwRevisions.front());
        EXPECT_EQ(f.SwVersion(), package_.SwVersions.front());
        EXPECT_EQ(f.PageFlags(), 0);
    }
    host.Close();
    EXPECT_EQ(sim->WaitForExit(), 0) << sim->Out() << sim->Err();
    EXPECT_FALSE(LinkExists(link_));

    const std::string json = Report();
    EXPECT_EQ(JsonText(json, "outcome"), "complete");
    EXPECT_EQ(JsonNumber(json, "page_count"), Pages);
    EXPECT_EQ(JsonNumber(json, "pages_correct"), Pages);
    EXPECT_EQ(JsonNumber(json, "pages_wrong"), 0);
    EXPECT_EQ(JsonNumber(json, "retries"), 0);
    EXPECT_EQ(JsonNumber(json, "requests"), Pages);
    EXPECT_EQ(JsonNumber(json, "turnaround_count"), Pages);
    EXPECT_EQ(JsonNumber(json, "bytes_sent"), 2 * Pages * DeviceFrameBytes);
    EXPECT_EQ(JsonNumber(json, "bytes_received"), Pages * PageFrameSize);
    // Every byte's 11 bit times at 1,000,000 baud plus one 20 ms read interval per request.
    const double lineLimited =
        (2 * Pages * DeviceFrameBytes + Pages * PageFrameSize) * 11 / 1000.0 + 20.0 * Pages;
    EXPECT_NEAR(JsonNumber(json, "line_limited_ms"), lineLimited, 0.01);
    EXPECT_NEAR(JsonNumber(json, "ratio"), JsonNumber(json, "run_time_ms") / lineLimited, 0.01);
    EXPECT_LE(JsonNumber(json, "turnaround_median_ms"), JsonNumber(json, "turnaround_p99_ms"));
    EXPECT_LE(JsonNumber(json, "turnaround_p99_ms"), JsonNumber(json, "turnaround_max_ms"));
    EXPECT_GE(JsonNumber(json, "turnaround_median_ms"), 0);
}

struct WrongAnswerCase {
    const char* Name;
    // Turns the right page frame into the wrong answer the host gives once for page 2.
    std::function<ByteBuffer(ByteBuffer right, const UpdatePackage& package)> Spoil;
    bool Framed; // a page frame with a good check, so its turnaround counts
};

ByteBuffer WithCheck(ByteBuffer frame) {
    const std::uint16_t check = Crc16(0, frame.data() + 1, static_cast<std::uint16_t>(frame.size() - 3));
    frame[frame.size() - 2] = static_cast<std::uint8_t>(check & 0xFF);
    frame[frame.size() - 1] = static_cast<std::uint8_t>(check >> 8);
    return frame;
}

const WrongAnswerCase kWrongAnswers[] = {
    {"DataDiffer",
     [](ByteBuffer f, const UpdatePackage&) {
         f[12] ^= 0x01;
         return WithCheck(f);
     },
     true},
    {"HeadDiffers",
     [](ByteBuffer f, const UpdatePackage&) {
         f[4] ^= 0x80;
         return WithCheck(f);
     },
     true},
    {"OtherPage", [](ByteBuffer, const UpdatePackage& p) { return BuildPageFrame(1, LookupPage(p, 1)); },
     true},
    {"FlagsChanged",
     [](ByteBuffer f, const UpdatePackage&) {
         f[3] |= 0x10;
         return WithCheck(f);
     },
     true},
    {"BrokenCheck",
     [](ByteBuffer f, const UpdatePackage&) {
         f.back() ^= 0x01;
         return f;
     },
     false},
    {"OneWordShort",
     [](ByteBuffer f, const UpdatePackage&) {
         f.erase(f.end() - 4, f.end() - 2);
         return WithCheck(f);
     },
     false},
};

class WrongAnswerTest : public SimTest, public ::testing::WithParamInterface<WrongAnswerCase> {};

TEST_P(WrongAnswerTest, PageIsRequestedAgainAndCountedWrong) {
    auto sim = Start({"--once"});
    Host host(link_);
    std::vector<DeviceFrame> frames;
    const auto policy = [this](const DeviceFrame& request, int attempt) -> std::optional<ByteBuffer> {
        ByteBuffer right = RightAnswer(request);
        if (request.PageNumber() == 2 && attempt == 0) {
            return GetParam().Spoil(right, package_);
        }
        return right;
    };
    EXPECT_EQ(Serve(host, frames, policy), HostEnd::Completed);
    EXPECT_EQ(Describe(frames), "R0 P0 R1 P1 R2 R2 P2 R3 P3 R4 P4");
    host.Close();
    EXPECT_EQ(sim->WaitForExit(), 1) << "a wrong answer on the way is no success";
    const std::string json = Report();
    EXPECT_EQ(JsonText(json, "outcome"), "complete");
    EXPECT_EQ(JsonNumber(json, "pages_correct"), Pages);
    EXPECT_EQ(JsonNumber(json, "pages_wrong"), 1);
    EXPECT_EQ(JsonNumber(json, "retries"), 0);
    EXPECT_EQ(JsonNumber(json, "requests"), Pages + 1);
    EXPECT_EQ(JsonNumber(json, "turnaround_count"), Pages + (GetParam().Framed ? 1 : 0));
}

INSTANTIATE_TEST_SUITE_P(Answers, WrongAnswerTest, ::testing::ValuesIn(kWrongAnswers),
                         CaseName<WrongAnswerCase>);

TEST_F(SimTest, SilentHostGetsRepeatedRequestsUntilTheRunFails) {
    auto sim = Start({"--once", "--timeout", "150", "--max-retries", "2"});
    Host host(link_);
    std::vector<DeviceFrame> frames;
    const auto silent = [](const DeviceFrame&, int) -> std::optional<ByteBuffer> { return std::nullopt; };
    EXPECT_EQ(Serve(host, frames, silent), HostEnd::Gone);
    EXPECT_EQ(Describe(frames), "R0 R0 R0");
    EXPECT_EQ(sim->WaitForExit(), 1);
    EXPECT_FALSE(LinkExists(link_));
    const std::string json = Report();
    EXPECT_EQ(JsonText(json, "outcome"), "failed");
    EXPECT_EQ(JsonNumber(json, "retries"), 2);
    EXPECT_EQ(JsonNumber(json, "requests"), 3);
    EXPECT_EQ(JsonNumber(json, "pages_correct"), 0);
    EXPECT_EQ(JsonNumber(json, "turnaround_count"), 0);
}

TEST_F(SimTest, LateAnswerAfterASilentRequestIsTakenAfterTheRepeat) {
    auto sim = Start({"--once"});
    Host host(link_);
    std::vector<DeviceFrame> frames;
    const auto policy = [this](const DeviceFrame& request, int attempt) -> std::optional<ByteBuffer> {
        if (request.PageNumber() == 1 && attempt == 0) {
            return std::nullopt;
        }
        return RightAnswer(request);
    };
    EXPECT_EQ(Serve(host, frames, policy), HostEnd::Completed);
    EXPECT_EQ(Describe(frames), "R0 P0 R1 R1 P1 R2 P2 R3 P3 R4 P4");
    host.Close();
    EXPECT_EQ(sim->WaitForExit(), 0) << "a repeat without a wrong answer still serves every page right";
    EXPECT_EQ(JsonNumber(Report(), "retries"), 1);
}

struct RequestCase {
    const char* Name;
    std::vector<std::string> Args;
    std::uint8_t HwMajor;
    std::uint16_t HwMinor;
    std::uint8_t HwRevision;
    std::uint16_t SwVersion;
    std::uint8_t PageFlags;
};

// The defaults come from the writer's default file: 2.1000.5, software 0x1A05.
const RequestCase kRequests[] = {
    {"FileDefaults", {}, 2, 1000, 5, 0x1A05, 0},
    {"Loading", {"--loading"}, 255, 1000, 5, 0x1A05, 0},
    {"LoadingWinsOverHwMajor", {"--hw-major", "9", "--loading"}, 255, 1000, 5, 0x1A05, 0},
    {"Explicit",
     {"--hw-major", "7", "--hw-minor", "0x10", "--hw-revision", "3", "--sw-version", "1.2.3.4",
      "--page-flags", "5"},
     7,
     16,
     3,
     0x1234,
     5},
    {"AllFlags", {"--page-flags=15", "--sw-version=0xFFFF"}, 2, 1000, 5, 0xFFFF, 15},
};

class RequestTest : public SimTest, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(RequestTest, RequestsReportTheVersionsAndFlagsAndTheEchoIsAccepted) {
    const RequestCase& c = GetParam();
    std::vector<std::string> args{"--once"};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    auto sim = Start(args);
    Host host(link_);
    std::vector<DeviceFrame> frames;
    EXPECT_EQ(Serve(host, frames), HostEnd::Completed);
    EXPECT_EQ(Describe(frames), "R0 P0 R1 P1 R2 P2 R3 P3 R4 P4");
    for (const DeviceFrame& f : frames) {
        if (f.FrameType() != FramePageRequest) {
            continue;
        }
        EXPECT_EQ(f.HwMajor(), c.HwMajor);
        EXPECT_EQ(f.HwMinor(), c.HwMinor);
        EXPECT_EQ(f.HwRevision(), c.HwRevision);
        EXPECT_EQ(f.SwVersion(), c.SwVersion);
        EXPECT_EQ(f.PageFlags(), c.PageFlags);
    }
    host.Close();
    EXPECT_EQ(sim->WaitForExit(), 0) << sim->Out();
}

INSTANTIATE_TEST_SUITE_P(Versions, RequestTest, ::testing::ValuesIn(kRequests), CaseName<RequestCase>);

TEST_F(SimTest, DefaultRevisionIsTheFirstHardwareEntryThatFitsEightBits) {
    UpdateFileLayout layout;
    layout.PageCount = Pages;
    layout.PageRecordSize = RecordSize;
    layout.HwRevisions = {300, 7, 9};
    WriteUpdateFile(file_, layout);
    auto sim = Start({"--once"});
    Host host(link_);
    const auto request = host.NextFrame();
    ASSERT_TRUE(request);
    EXPECT_EQ(request->HwRevision(), 7);
    host.Close();
    EXPECT_EQ(sim->WaitForExit(), 1);
}

struct MisbehaviourCase {
    const char* Name;
    std::vector<std::string> Args;
    const char* Frames; // as the host sees them
    HostEnd End;
    int Exit;
    const char* Outcome;
};

const MisbehaviourCase kMisbehaviour[] = {
    {"BadPageAt", {"--bad-page-at", "1"}, "R0 P0 R5", HostEnd::ClosedOnBadPage, 1, "abandoned"},
    {"DefectiveAfter", {"--defective-after", "1"}, "R0 P0 R1 P1 D", HostEnd::ClosedOnDefect, 1, "abandoned"},
    {"UnknownTypeAt",
     {"--unknown-type-at", "2"},
     "R0 P0 R1 P1 T7 R2 P2 R3 P3 R4 P4",
     HostEnd::Completed,
     0,
     "complete"},
    {"UnknownTypeAtFirst",
     {"--unknown-type-at", "0"},
     "T7 R0 P0 R1 P1 R2 P2 R3 P3 R4 P4",
     HostEnd::Completed,
     0,
     "complete"},
    {"PowerCycleAt",
     {"--power-cycle-at", "1", "--power-off-ms", "100"},
     "R0 P0 R1 P1 R0 P0 R1 P1 R2 P2 R3 P3 R4 P4",
     HostEnd::Completed,
     0,
     "complete"},
    {"HangupAfter", {"--hangup-after", "2"}, "R0 P0 R1 P1 R2 P2", HostEnd::Gone, 1, "hung-up"},
    // Frames 2, 4, ... are broken: every progress report; only the last one is said again.
    {"BrokenCheckEverySecond",
     {"--broken-check", "2"},
     "R0 R1 R2 R3 R4 P4",
     HostEnd::Completed,
     0,
     "complete"},
};

class MisbehaviourTest : public SimTest, public ::testing::WithParamInterface<MisbehaviourCase> {};

TEST_P(MisbehaviourTest, SendsTheFramesDescribed) {
    const MisbehaviourCase& c = GetParam();
    std::vector<std::string> args{"--once"};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    auto sim = Start(args);
    Host host(link_);
    std::vector<DeviceFrame> frames;
    EXPECT_EQ(Serve(host, frames), c.End);
    EXPECT_EQ(Describe(frames), c.Frames);
    host.Close();
    EXPECT_EQ(sim->WaitForExit(), c.Exit) << sim->Out() << sim->Err();
    EXPECT_FALSE(LinkExists(link_));
    EXPECT_EQ(JsonText(Report(), "outcome"), c.Outcome);
}

INSTANTIATE_TEST_SUITE_P(Options, MisbehaviourTest, ::testing::ValuesIn(kMisbehaviour),
                         CaseName<MisbehaviourCase>);

TEST_F(SimTest, NoiseAndBrokenChecksStillLetAGoodHostComplete) {
    auto sim = Start({"--once", "--noise", "7", "--seed", "42", "--broken-check", "3"});
    Host host(link_);
    std::vector<DeviceFrame> frames;
    EXPECT_EQ(Serve(host, frames), HostEnd::Completed);
    host.Close();
    EXPECT_EQ(sim->WaitForExit(), 0) << sim->Out();
    const std::string json = Report();
    EXPECT_EQ(JsonText(json, "outcome"), "complete");
    EXPECT_EQ(JsonNumber(json, "pages_correct"), Pages);
    EXPECT_EQ(JsonNumber(json, "pages_wrong"), 0);
    EXPECT_GT(JsonNumber(json, "retries"), 0) << "broken requests go unanswered and are repeated";
    // Every frame on the line is 7 noise bytes and 12 frame bytes.
    const auto sent = static_cast<long>(JsonNumber(json, "bytes_sent"));
    EXPECT_EQ(sent % (7 + 12), 0);
    // The host saw every good frame, and the requests of the broken ones again.
    std::size_t requests = 0;
    for (const DeviceFrame& f : frames) {
        requests += f.FrameType() == FramePageRequest ? 1u : 0u;
    }
    EXPECT_EQ(requests, std::size_t{Pages});
}

TEST_F(SimTest, SilentAfterKeepsThePortOpenAndQuiet) {
    auto sim = Start({"--once", "--silent-after", "1", "--timeout", "100"});
    Host host(link_);
    std::vector<DeviceFrame> frames;
    for (int i = 0; i < 4; ++i) {
        const auto frame = host.NextFrame();
        ASSERT_TRUE(frame);
        frames.push_back(*frame);
        if (frame->FrameType() == FramePageRequest) {
            host.Send(RightAnswer(*frame));
        }
    }
    EXPECT_EQ(Describe(frames), "R0 P0 R1 P1");
    // Several request time-outs long: nothing more comes, and the port stays.
    EXPECT_FALSE(host.NextFrame(500ms));
    EXPECT_FALSE(host.Gone());
    host.Close();
    EXPECT_EQ(sim->WaitForExit(), 1);
    EXPECT_EQ(JsonText(Report(), "outcome"), "abandoned");
}

TEST_F(SimTest, HostClosingMidRunAbandonsTheRun) {
    auto sim = Start({"--once"});
    Host host(link_);
    std::vector<DeviceFrame> frames;
    int served = 0;
    const auto policy = [&](const DeviceFrame& request, int) -> std::optional<ByteBuffer> {
        if (served++ == 2) {
            host.Close();
            return std::nullopt;
        }
        return RightAnswer(request);
    };
    Serve(host, frames, policy);
    EXPECT_EQ(Describe(frames), "R0 P0 R1 P1 R2");
    EXPECT_EQ(sim->WaitForExit(), 1);
    EXPECT_FALSE(LinkExists(link_));
    const std::string json = Report();
    EXPECT_EQ(JsonText(json, "outcome"), "abandoned");
    EXPECT_EQ(JsonNumber(json, "pages_correct"), 2);
}

TEST_F(SimTest, ServesOneRunPerOpeningUntilTerminated) {
    auto sim = Start({});
    for (int run = 0; run < 2; ++run) {
        Host host(link_);
        ASSERT_TRUE(host.IsOpen());
        std::vector<DeviceFrame> frames;
        EXPECT_EQ(Serve(host, frames), HostEnd::Completed) << "run " << run;
        EXPECT_EQ(Describe(frames), "R0 P0 R1 P1 R2 P2 R3 P3 R4 P4");
        host.Close();
        ASSERT_TRUE(sim->WaitForLine("run complete")) << sim->Out();
    }
    EXPECT_TRUE(LinkExists(link_));
    sim->Signal(SIGTERM);
    EXPECT_EQ(sim->WaitForExit(), 1);
    EXPECT_FALSE(LinkExists(link_));
}

TEST_F(SimTest, HangupWithoutOncePublishesANewPort) {
    auto sim = Start({"--hangup-after", "0"});
    {
        Host host(link_);
        std::vector<DeviceFrame> frames;
        EXPECT_EQ(Serve(host, frames), HostEnd::Gone);
        EXPECT_EQ(Describe(frames), "R0 P0");
    }
    ASSERT_TRUE(sim->WaitForLine("published at")) << sim->Out();
    Host again(link_);
    ASSERT_TRUE(again.IsOpen());
    const auto first = again.NextFrame();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->FrameType(), FramePageRequest);
    EXPECT_EQ(first->PageNumber(), 0);
    again.Close();
    sim->Signal(SIGINT);
    EXPECT_EQ(sim->WaitForExit(), 1);
    EXPECT_FALSE(LinkExists(link_));
}

class StopSignalTest : public SimTest, public ::testing::WithParamInterface<int> {};

TEST_P(StopSignalTest, RemovesTheLinkAndItsLock) {
    auto sim = Start({"--once"});
    EXPECT_TRUE(LinkExists(link_));
    sim->Signal(GetParam());
    EXPECT_EQ(sim->WaitForExit(), 1);
    EXPECT_FALSE(LinkExists(link_));
    EXPECT_FALSE(LinkExists(runtime_ + "/serialcomm/.sim0.lock"));
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignalTest, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& signal) {
                             return std::string(signal.param == SIGINT    ? "Int"
                                                : signal.param == SIGTERM ? "Term"
                                                                          : "Hup");
                         });

TEST_F(SimTest, LeftOverLinkIsReplaced) {
    // A simulator that was killed leaves its link; the number of its pty may belong to another by now.
    ASSERT_EQ(::mkdir((runtime_ + "/serialcomm").c_str(), 0700), 0);
    ASSERT_EQ(::symlink("/dev/null", link_.c_str()), 0);
    auto sim = Start({"--once"});
    Host host(link_);
    ASSERT_TRUE(host.IsOpen());
    std::vector<DeviceFrame> frames;
    EXPECT_EQ(Serve(host, frames), HostEnd::Completed);
    host.Close();
    EXPECT_EQ(sim->WaitForExit(), 0);
    EXPECT_FALSE(LinkExists(link_));
}

TEST_F(SimTest, NameServedByAnotherSimulatorIsRefused) {
    auto first = Start({"--once"});
    SimProcess second({"--file", file_, "--port", "sim0"});
    EXPECT_EQ(second.WaitForExit(), 2);
    EXPECT_NE(second.Err().find("served by another simulator"), std::string::npos) << second.Err();
    // The first one's port is untouched and works.
    Host host(link_);
    ASSERT_TRUE(host.IsOpen());
    std::vector<DeviceFrame> frames;
    EXPECT_EQ(Serve(host, frames), HostEnd::Completed);
    host.Close();
    EXPECT_EQ(first->WaitForExit(), 0);
}

TEST_F(SimTest, NameTakenByAFileIsRefusedAndTheFileKept) {
    ASSERT_EQ(::mkdir((runtime_ + "/serialcomm").c_str(), 0700), 0);
    { std::ofstream(link_) << "mine"; }
    SimProcess sim({"--file", file_, "--port", "sim0"});
    EXPECT_EQ(sim.WaitForExit(), 2);
    EXPECT_NE(sim.Err().find("is not a link"), std::string::npos) << sim.Err();
    EXPECT_EQ(ReadWholeFile(link_), "mine");
}

TEST_F(SimTest, ProgressComesNoEarlierThanTheLineCarriesThePage) {
    // At 9600 baud a page frame of 26 bytes takes 29.8 ms on the line: the instrument cannot report the
    // page done before it has had all of it.
    auto sim = Start({"--once", "--baud", "9600"});
    Host host(link_);
    const auto lineTime = std::chrono::microseconds(26 * 11 * 1000000 / 9600);
    for (std::uint16_t n = 0; n < Pages; ++n) {
        const auto request = host.NextFrame();
        ASSERT_TRUE(request);
        ASSERT_EQ(request->FrameType(), FramePageRequest);
        const auto sentAt = std::chrono::steady_clock::now();
        host.Send(RightAnswer(*request));
        const auto progress = host.NextFrame();
        ASSERT_TRUE(progress);
        ASSERT_EQ(progress->FrameType(), FrameProgress);
        EXPECT_GE(std::chrono::steady_clock::now() - sentAt, lineTime) << "page " << n;
    }
    host.Close();
    EXPECT_EQ(sim->WaitForExit(), 0);
    EXPECT_EQ(JsonNumber(Report(), "baud"), 9600);
}

struct RefusalCase {
    const char* Name;
    std::vector<std::string> Args; // FILE stands for the good update file, BAD for a refused one
    const char* Message;
};

const RefusalCase kRefusals[] = {
    {"RefusedFile", {"--file", "BAD", "--port", "sim0"}, "Bad file format."},
    {"MissingFile", {"--file", "/nonexistent/x.fwu", "--port", "sim0"}, "x.fwu"},
    {"NoPort", {"--file", "FILE"}, "--port is required"},
    {"PortWithSlash", {"--file", "FILE", "--port", "a/b"}, "not a plain name"},
    {"UnknownOption", {"--file", "FILE", "--port", "sim0", "--frobnicate"}, "unknown option '--frobnicate'"},
    {"NotANumber", {"--file", "FILE", "--port", "sim0", "--baud", "fast"}, "--baud: 'fast'"},
    {"FlagsTooWide", {"--file", "FILE", "--port", "sim0", "--page-flags", "16"}, "--page-flags: '16'"},
    {"BadSoftwareVersion", {"--file", "FILE", "--port", "sim0", "--sw-version", "1.2.16.0"}, "--sw-version"},
    {"MissingValue", {"--file", "FILE", "--port", "sim0", "--timeout"}, "--timeout needs a value"},
    {"PageBeyondFile", {"--file", "FILE", "--port", "sim0", "--bad-page-at", "5"}, "--bad-page-at 5"},
    {"NothingAfterLastPage", {"--file", "FILE", "--port", "sim0", "--silent-after", "4"}, "--silent-after 4"},
};

class RefusalTest : public SimTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalTest, ExitsWithStatusTwoAndSaysWhy) {
    const std::string bad = temp_.Path() + "/bad.fwu";
    UpdateFileLayout layout;
    layout.BadMagic = true;
    WriteUpdateFile(bad, layout);
    std::vector<std::string> args = GetParam().Args;
    for (std::string& a : args) {
        a = a == "FILE" ? file_ : a == "BAD" ? bad : a;
    }
    SimProcess sim(args);
    EXPECT_EQ(sim.WaitForExit(), 2);
    EXPECT_NE(sim.Err().find(GetParam().Message), std::string::npos) << sim.Err();
    EXPECT_FALSE(LinkExists(link_));
}

INSTANTIATE_TEST_SUITE_P(Start, RefusalTest, ::testing::ValuesIn(kRefusals), CaseName<RefusalCase>);

TEST_F(SimTest, HelpNamesEveryOption) {
    SimProcess sim({"--help"});
    EXPECT_EQ(sim.WaitForExit(), 0);
    for (const char* option : {"--file",
                               "--port",
                               "--hw-major",
                               "--hw-minor",
                               "--hw-revision",
                               "--sw-version",
                               "--loading",
                               "--page-flags",
                               "--baud",
                               "--power-on-delay",
                               "--timeout",
                               "--max-retries",
                               "--noise",
                               "--seed",
                               "--broken-check",
                               "--bad-page-at",
                               "--defective-after",
                               "--silent-after",
                               "--hangup-after",
                               "--unknown-type-at",
                               "--power-cycle-at",
                               "--power-off-ms",
                               "--once",
                               "--quiet",
                               "--report"}) {
        EXPECT_NE(sim.Out().find(option), std::string::npos) << option;
    }
}

} // namespace
