// Every SDK call fails once, in every place it is made; the service survives as documented.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/faults/fault_matrix.h"
#include "tests/support/sandbox.h"

namespace hdgrab::test {
namespace {

// One test a place (kPlaces), named after it: FaultMatrix.Place/StartupBringUp, ...
class FaultMatrix : public ::testing::TestWithParam<PlaceNames> {
  protected:
    void SetUp() override { HDGRAB_SKIP_WITHOUT_SANDBOX(); }

    // Injects every fault of `place`, one run each, and records the table rows.
    void run_place(Place place) {
        const Road road = place == Place::DumpRoad ? Road::Dump : Road::Service;
        const Matrix matrix = derive_matrix(road);
        ASSERT_TRUE(matrix.error.empty()) << matrix.error;
        std::vector<std::string> rows;
        for (const FaultCase& fault : matrix.cases) {
            if (fault.place != place) {
                continue;
            }
            SCOPED_TRACE(fault.rule() + " at " + place_name(place));
            const RoadRun run = road == Road::Dump ? run_dump_road(fault.rule())
                                : in_reconfiguration(place)
                                    ? run_service_road(fault.rule(), FollowUp::SameGeometry)
                                    : run_service_road(fault.rule());
            ASSERT_TRUE(run.error.empty()) << run.error;
            const Verdict verdict = judge(fault, matrix, run);
            EXPECT_TRUE(verdict.survived) << run.output;
            EXPECT_TRUE(verdict.problems.empty())
                << ::testing::PrintToString(verdict.problems) << "\n--- output\n"
                << run.output << "--- leftovers\n"
                << run.leaks;
            std::optional<std::vector<std::string>> recovery;
            if (in_reconfiguration(place)) {
                // The faulty run itself went on with the same geometry; a second one announces
                // another after the failed change.
                recovery = judge_recovery(matrix, run, FollowUp::SameGeometry);
                const RoadRun other = run_service_road(fault.rule(), FollowUp::OtherGeometry);
                for (std::string& problem :
                     judge_recovery(matrix, other, FollowUp::OtherGeometry)) {
                    recovery->push_back(std::move(problem));
                }
                EXPECT_TRUE(recovery->empty())
                    << ::testing::PrintToString(*recovery) << "\n--- output\n"
                    << run.output << "--- other geometry\n"
                    << other.output;
            }
            rows.push_back(table_row(fault, verdict, recovery));
        }
        write_rows(place, rows);
        EXPECT_FALSE(rows.empty()) << "no call is made at " << place_name(place);
    }
};

// The judge's own reading of the substitute's trace and leftover report.
TEST(FaultMatrixJudge, ReadsStatusesAndMappingsFromTheTrace) {
    const auto calls = parse_trace(
        "AX_SYS_Init -> 0x00000000\n"
        "AX_VIN_CreateDev dev=0 eDevMode=0 -> 0x800A00FF\n"
        "AX_SYS_Mmap phys=0x100000000 size=16 addr=0x0 -> 0x800A00FF\n"
        "AX_SYS_Mmap phys=0x100000000 size=16 addr=0x7f0000001000 -> 0x00000000\n"
        "AX_VIN_EnableDev dev=0");  // still being written
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_TRUE(calls[0].ok);
    EXPECT_EQ(calls[1].name, "AX_VIN_CreateDev");
    EXPECT_EQ(calls[1].status, 0x800A00FFu);
    EXPECT_FALSE(calls[1].ok);
    EXPECT_FALSE(calls[2].ok);
    EXPECT_TRUE(calls[3].ok);
}

TEST(FaultMatrixJudge, LedgerOfTheTraceMatchesTheLeftoverReport) {
    const auto calls = parse_trace(
        "AX_SYS_Init -> 0x00000000\n"
        "AX_POOL_Init -> 0x00000000\n"
        "AX_MIPI_RX_Init -> 0x00000000\n"
        "AX_MIPI_RX_Start dev=0 -> 0x00000000\n"
        "AX_VIN_CreateDev dev=0 -> 0x00000000\n"
        "AX_VIN_DestroyDev dev=0 -> 0x00000000\n"
        "AX_VIN_CreatePipe pipe=0 -> 0x800A00FF\n"
        "AX_POOL_Exit -> 0x80020004\n");
    const Ledger expected{{"sys", 1}, {"pool", 2}, {"mipi rx", 1}, {"mipi dev", 1}};
    EXPECT_EQ(ledger_of(calls), expected);
    EXPECT_EQ(ledger_of_report("mipi dev=0 started\nmipi rx\npool 0 BlkSize=18432000 BlkCnt=6\n"
                               "pool 1 BlkSize=112640 BlkCnt=4\nsys\n"),
              expected);
    EXPECT_TRUE(ledger_of_report("none\n").empty());
    EXPECT_EQ(ledger_text(expected), "mipi dev, mipi rx, pool x2, sys");
}

TEST_P(FaultMatrix, Place) {
    run_place(GetParam().place);
}

INSTANTIATE_TEST_SUITE_P(, FaultMatrix, ::testing::ValuesIn(kPlaces),
                         [](const ::testing::TestParamInfo<PlaceNames>& info) {
                             return std::string(info.param.test_name);
                         });

}  // namespace
}  // namespace hdgrab::test
