// Every SDK call fails once, in every place it is made; the service survives as documented.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/faults/fault_matrix.h"
#include "tests/support/appliance.h"

namespace hdgrab::test {
namespace {

class FaultMatrix : public ::testing::Test {
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
                                               : run_service_road(fault.rule());
            ASSERT_TRUE(run.error.empty()) << run.error;
            const Verdict verdict = judge(fault, matrix, run);
            EXPECT_TRUE(verdict.survived) << run.output;
            EXPECT_TRUE(verdict.problems.empty())
                << ::testing::PrintToString(verdict.problems) << "\n--- output\n"
                << run.output << "--- leftovers\n"
                << run.leaks;
            rows.push_back(table_row(fault, verdict));
        }
        write_rows(place, rows);
        EXPECT_FALSE(rows.empty()) << "no call is made at " << place_name(place);
    }
};

TEST_F(FaultMatrix, StartupBringUp) {
    run_place(Place::StartupBringUp);
}

TEST_F(FaultMatrix, ResolutionChangeTearDown) {
    run_place(Place::ChangeTearDown);
}

TEST_F(FaultMatrix, ResolutionChangeBringUp) {
    run_place(Place::ChangeBringUp);
}

TEST_F(FaultMatrix, FinalTearDown) {
    run_place(Place::FinalTearDown);
}

TEST_F(FaultMatrix, ProcessExit) {
    run_place(Place::ProcessExit);
}

TEST_F(FaultMatrix, DumpRoad) {
    run_place(Place::DumpRoad);
}

}  // namespace
}  // namespace hdgrab::test
