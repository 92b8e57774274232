// The decisions of an update run: version checks, the answer to a page request, the outcome.
#include "app/UpdateRules.h"

#include <gtest/gtest.h>

namespace {

UpdatePackage Package() {
    UpdatePackage package;
    package.HwMajor = 2;
    package.HwMinor = 1000;
    package.HwRevisions = {5, 7, 300};
    package.SwVersions = {0x1A05, 0x0000};
    package.PageRecordSize = 12;
    package.PageMap[0] = TVarLoadPage{{0, 1, 2, 3, 4, 5, 6, 7}, {0x1234, 0xABCD}};
    return package;
}

DeviceFrame Request(std::uint8_t major, std::uint16_t minor, std::uint8_t revision, std::uint16_t software,
                    std::uint16_t word = 0) {
    return MakeDeviceFrame(FramePageRequest, software, minor, revision, major, word);
}

struct VersionCase {
    const char* Name;
    std::uint8_t HwMajor;
    std::uint16_t HwMinor;
    std::uint8_t HwRevision;
    std::uint16_t SwVersion;
    bool Hardware;
    bool Software;
};

class Versions : public testing::TestWithParam<VersionCase> {};

TEST_P(Versions, MatchOnlyWhenEveryComponentMatches) {
    const VersionCase& c = GetParam();
    const DeviceFrame frame = Request(c.HwMajor, c.HwMinor, c.HwRevision, c.SwVersion);
    EXPECT_EQ(UpdateRules::HardwareMatches(Package(), frame), c.Hardware);
    EXPECT_EQ(UpdateRules::SoftwareMatches(Package(), frame), c.Software);
}

const VersionCase kVersionCases[] = {
    {"AllListed", 2, 1000, 5, 0x1A05, true, true},
    {"SecondEntries", 2, 1000, 7, 0x0000, true, true},
    {"RevisionNotListed", 2, 1000, 6, 0x1A05, false, true},
    {"MinorDiffers", 2, 1001, 5, 0x1A05, false, true},
    {"MajorDiffers", 3, 1000, 5, 0x1A05, false, true},
    // 300 is listed but an 8-bit revision can never equal it; 300 mod 256 must not match either.
    {"EntryAboveByteNeverMatches", 2, 1000, 44, 0x1A05, false, true},
    {"SoftwareNotListed", 2, 1000, 5, 0x1A06, true, false},
    {"SoftwareByteSwapped", 2, 1000, 5, 0x051A, true, false},
};

INSTANTIATE_TEST_SUITE_P(Cases, Versions, testing::ValuesIn(kVersionCases),
                         [](const testing::TestParamInfo<VersionCase>& Case) { return Case.param.Name; });

TEST(PageAnswer, CarriesTheRequestsPageWordWithItsFlags) {
    const ByteBuffer frame = UpdateRules::AnswerPageRequest(Package(), Request(2, 1000, 5, 0x1A05, 0xA000));
    const ByteBuffer expected = BuildPageFrame(0xA000, Package().PageMap.at(0));
    EXPECT_EQ(frame, expected);
    EXPECT_EQ(frame[2], 0x00);
    EXPECT_EQ(frame[3], 0xA0);
}

TEST(PageAnswer, MissingPageIsAnErrorNotAWrongFrame) {
    EXPECT_THROW(UpdateRules::AnswerPageRequest(Package(), Request(2, 1000, 5, 0x1A05, 1)),
                 std::out_of_range);
}

TEST(IncorrectPage, NamesTheNumberInDecimal) {
    EXPECT_EQ(UpdateRules::IncorrectPageMessage(4095), "Incorrect page number: 4095");
}

struct OutcomeCase {
    const char* Name;
    int Position;
    int Maximum;
    bool SoftwareCheckOff;
    bool LastPageReported;
    UpdateRules::Outcome Expected;
};

class Outcomes : public testing::TestWithParam<OutcomeCase> {};

TEST_P(Outcomes, FollowTheLastReportedPage) {
    const OutcomeCase& c = GetParam();
    EXPECT_EQ(UpdateRules::ChooseOutcome(c.Position, c.Maximum, c.SoftwareCheckOff, c.LastPageReported),
              c.Expected);
}

const OutcomeCase kOutcomeCases[] = {
    {"LastPageReported", 15, 16, false, true, UpdateRules::Outcome::Complete},
    {"LastPageWithSoftwareCheckOff", 15, 16, true, true, UpdateRules::Outcome::CompleteSoftwareOff},
    {"OnePageShort", 14, 16, false, false, UpdateRules::Outcome::Incomplete},
    {"OnePageShortWithSoftwareCheckOff", 14, 16, true, false, UpdateRules::Outcome::Incomplete},
    {"NothingReported", 0, 16, false, false, UpdateRules::Outcome::Incomplete},
    // Stopped before anything came: neither a one-page file nor a bar left full by an earlier run whose
    // file was refused at this Start may be called a success.
    {"SinglePageFileNothingReported", 0, 1, false, false, UpdateRules::Outcome::Incomplete},
    {"BarLeftFullByAnEarlierRun", 15, 16, false, false, UpdateRules::Outcome::Incomplete},
    {"EmptyFile", 0, 0, false, false, UpdateRules::Outcome::Incomplete},
};

INSTANTIATE_TEST_SUITE_P(Cases, Outcomes, testing::ValuesIn(kOutcomeCases),
                         [](const testing::TestParamInfo<OutcomeCase>& Case) { return Case.param.Name; });

} // namespace
