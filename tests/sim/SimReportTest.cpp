// Figures of the simulator's run report: turnaround summary and line-limited time.
#include "tools/sim/SimReport.h"

#include <gtest/gtest.h>

#include <numeric>

namespace {

struct SummaryCase {
    const char* Name;
    std::vector<double> Samples;
    TurnaroundFigures Expected;
};

std::vector<double> OneToHundred() {
    std::vector<double> samples(100);
    std::iota(samples.rbegin(), samples.rend(), 1.0); // 100 .. 1: the order must not matter
    return samples;
}

const SummaryCase kSummaries[] = {
    {"None", {}, {0, 0, 0, 0}},
    {"One", {7.5}, {1, 7.5, 7.5, 7.5}},
    {"OddCount", {30, 10, 20}, {3, 20, 30, 30}},
    {"EvenCountAveragesTheMiddle", {40, 10, 30, 20}, {4, 25, 40, 40}},
    {"HundredSamples", OneToHundred(), {100, 50.5, 99, 100}},
    {"OneOutlierInTwoHundred",
     [] {
         std::vector<double> s(200, 20.0);
         s[17] = 900;
         return s;
     }(),
     {200, 20, 20, 900}},
};

class SummaryTest : public ::testing::TestWithParam<SummaryCase> {};

TEST_P(SummaryTest, MedianNearestRankP99AndMax) {
    const TurnaroundFigures got = SummariseTurnarounds(GetParam().Samples);
    const TurnaroundFigures& want = GetParam().Expected;
    EXPECT_EQ(got.Count, want.Count);
    EXPECT_DOUBLE_EQ(got.MedianMs, want.MedianMs);
    EXPECT_DOUBLE_EQ(got.P99Ms, want.P99Ms);
    EXPECT_DOUBLE_EQ(got.MaxMs, want.MaxMs);
}

template <class Case> std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    return info.param.Name;
}

INSTANTIATE_TEST_SUITE_P(Turnarounds, SummaryTest, ::testing::ValuesIn(kSummaries), CaseName<SummaryCase>);

TEST(RunReportTest, LineLimitedTimeCountsElevenBitsAByteAndOneReadIntervalPerRequest) {
    RunReport report;
    report.Baud = 115200;
    report.BytesSent = 1200;
    report.BytesReceived = 4000;
    report.Requests = 100;
    report.RunTimeMs = 4993.0;
    const double expected = 5200.0 * 11 * 1000 / 115200 + 100 * 20.0; // 496.5 ms + 2000 ms
    EXPECT_NEAR(report.LineLimitedMs(), expected, 1e-9);
    EXPECT_NEAR(report.Ratio(), 4993.0 / expected, 1e-9);
}

TEST(RunReportTest, NothingExchangedGivesNoRatio) {
    RunReport report;
    report.Baud = 115200;
    report.RunTimeMs = 12;
    EXPECT_EQ(report.Ratio(), 0);
}

TEST(RunReportTest, OnlyACompleteRunWithoutWrongAnswersSucceeds) {
    RunReport report;
    report.Outcome = RunOutcome::Complete;
    EXPECT_TRUE(report.Succeeded());
    report.PagesWrong = 1;
    EXPECT_FALSE(report.Succeeded());
    report.PagesWrong = 0;
    report.Outcome = RunOutcome::Abandoned;
    EXPECT_FALSE(report.Succeeded());
}

TEST(RunReportTest, JsonEscapesTheNote) {
    RunReport report;
    report.Note = "a \"quoted\" \\ note\n";
    const std::string json = ReportJson(report);
    EXPECT_NE(json.find(R"("note": "a \"quoted\" \\ note ")"), std::string::npos) << json;
}

} // namespace
