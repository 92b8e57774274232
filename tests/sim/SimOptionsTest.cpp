// The simulator's command line: values, refusals and the checks against the update file.
#include "tools/sim/SimOptions.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::string> With(std::vector<std::string> extra) {
    std::vector<std::string> args{"--file", "f.fwu", "--port", "sim0"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

struct SoftwareCase {
    const char* Name;
    const char* Text;
    std::optional<std::uint16_t> Value;
};

const SoftwareCase kSoftware[] = {
    {"Dotted", "1.10.0.5", 0x1A05}, {"DottedMax", "15.15.15.15", 0xFFFF}, {"Hex", "0x1A05", 0x1A05},
    {"Decimal", "6661", 0x1A05},    {"DigitTooBig", "1.16.0.0", {}},      {"ThreeDigits", "1.2.3", {}},
    {"EmptyDigit", "1..2.3", {}},   {"HexTooBig", "0x10000", {}},         {"Signed", "-1", {}},
    {"Trailing", "0x1A05z", {}},
};

class SoftwareVersionTest : public ::testing::TestWithParam<SoftwareCase> {};

TEST_P(SoftwareVersionTest, ParsesDottedOrNumber) {
    const SimOptionsResult r = ParseSimOptions(With({"--sw-version", GetParam().Text}));
    ASSERT_EQ(r.Ok, GetParam().Value.has_value()) << r.Error;
    if (r.Ok) {
        EXPECT_EQ(r.Options.SwVersion, GetParam().Value);
    } else {
        EXPECT_NE(r.Error.find("--sw-version"), std::string::npos) << r.Error;
    }
}

template <class Case> std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    return info.param.Name;
}

INSTANTIATE_TEST_SUITE_P(Values, SoftwareVersionTest, ::testing::ValuesIn(kSoftware), CaseName<SoftwareCase>);

TEST(SimOptionsTest, DefaultsAndBothValueForms) {
    const SimOptionsResult r = ParseSimOptions(
        With({"--timeout=250", "--max-retries", "0", "--hangup-after", "3", "--once", "--baud", "0x1C200"}));
    ASSERT_TRUE(r.Ok) << r.Error;
    EXPECT_EQ(r.Options.Timeout, std::chrono::milliseconds(250));
    EXPECT_EQ(r.Options.MaxRetries, 0u);
    EXPECT_EQ(r.Options.HangupAfter, 3);
    EXPECT_TRUE(r.Options.Once);
    EXPECT_EQ(r.Options.Baud, 115200u);
    EXPECT_EQ(r.Options.PowerOnDelay, std::chrono::milliseconds(300));
    EXPECT_EQ(r.Options.PowerOff, std::chrono::milliseconds(5000));
    EXPECT_FALSE(r.Options.HwMajor);
    EXPECT_FALSE(r.Options.BrokenCheck);
}

struct RefusalCase {
    const char* Name;
    std::vector<std::string> Args;
    const char* Message;
};

const RefusalCase kRefusals[] = {
    {"ZeroBaud", With({"--baud", "0"}), "--baud: '0' is not a number from 1"},
    {"ZeroTimeout", With({"--timeout", "0"}), "--timeout: '0'"},
    {"BrokenEveryZeroth", With({"--broken-check", "0"}), "--broken-check: '0'"},
    {"PageNumberBeyondTwelveBits", With({"--silent-after", "4096"}), "--silent-after: '4096'"},
    {"HwMajorTooBig", With({"--hw-major", "256"}), "--hw-major: '256'"},
    {"FlagWithValue", With({"--once=yes"}), "--once takes no value"},
    {"EmptyNumber", With({"--seed="}), "--seed: ''"},
    {"DotPort", {"--file", "f", "--port", ".."}, "not a plain name"},
    {"NoFile", {"--port", "x"}, "--file is required"},
};

class OptionRefusalTest : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(OptionRefusalTest, NamesTheOptionAndValue) {
    const SimOptionsResult r = ParseSimOptions(GetParam().Args);
    EXPECT_FALSE(r.Ok);
    EXPECT_NE(r.Error.find(GetParam().Message), std::string::npos) << r.Error;
}

INSTANTIATE_TEST_SUITE_P(Options, OptionRefusalTest, ::testing::ValuesIn(kRefusals), CaseName<RefusalCase>);

TEST(CheckAgainstFileTest, PagesNamedByOptionsMustExist) {
    SimOptions o;
    EXPECT_EQ(CheckAgainstFile(o, 5), "");
    EXPECT_NE(CheckAgainstFile(o, 0), "");
    EXPECT_NE(CheckAgainstFile(o, 4097), "");
    EXPECT_EQ(CheckAgainstFile(o, 4096), "");
    o.UnknownTypeAt = 4; // the last page may be asked for oddly
    EXPECT_EQ(CheckAgainstFile(o, 5), "");
    o.PowerCycleAt = 4; // but nothing comes after the last page
    EXPECT_NE(CheckAgainstFile(o, 5).find("--power-cycle-at 4"), std::string::npos);
    o.PowerCycleAt = 3;
    EXPECT_EQ(CheckAgainstFile(o, 5), "");
    o.BadPageAt = 0; // page number 4096 does not fit in 12 bits
    EXPECT_NE(CheckAgainstFile(o, 4096).find("12 bits"), std::string::npos);
    EXPECT_EQ(CheckAgainstFile(o, 4095), "");
}

} // namespace
