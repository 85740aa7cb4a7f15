// Fault matrix: runs the sandboxed service with one SDK call failing and judges the outcome.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace hdgrab::test {

// Where in the service's life a call is made.
enum class Place {
    StartupBringUp,  // the Capture thread's first bring-up
    ChangeTearDown,  // a resolution change: tear-down of the old pipeline
    ChangeBringUp,   // a resolution change: bring-up at the new geometry
    FinalTearDown,   // the Capture thread's tear-down after SIGTERM
    ProcessExit,     // the AxeraUtil object's destruction at exit (service road)
    DumpRoad,        // the one-shot --dump-raw road, its exit included
};

// Every place, in the table's order, with the name it has in the table and the one its test has.
struct PlaceNames {
    Place place;
    const char* text;       // e.g. "start-up bring-up"
    const char* test_name;  // e.g. "StartupBringUp"
};
inline constexpr std::array<PlaceNames, 6> kPlaces{{
    {Place::StartupBringUp, "start-up bring-up", "StartupBringUp"},
    {Place::ChangeTearDown, "resolution change, tear-down", "ResolutionChangeTearDown"},
    {Place::ChangeBringUp, "resolution change, bring-up", "ResolutionChangeBringUp"},
    {Place::FinalTearDown, "final tear-down (SIGTERM)", "FinalTearDown"},
    {Place::ProcessExit, "process exit", "ProcessExit"},
    {Place::DumpRoad, "dump road", "DumpRoad"},
}};

// A place's name in gtest's messages.
inline void PrintTo(const PlaceNames& names, std::ostream* out) {
    *out << names.text;
}

std::string place_name(Place place);

// One line of the substitute SDK's trace.
struct TraceCall {
    std::string name;
    uint32_t status = 0;
    bool ok = true;  // status 0 (for AX_SYS_Mmap: a mapping was returned)
};

std::vector<TraceCall> parse_trace(const std::string& text);

// What one sandboxed run produced.
struct RoadRun {
    std::optional<int> exit_status;  // nothing: no exit within the bound (a hang)
    std::string output;              // the service's standard output and error
    std::vector<TraceCall> trace;
    std::string leaks;   // the substitute's leftover report
    size_t reboots = 0;  // `reboot` commands the service ran
    bool reboot_marker = false;
    bool notified = false;              // the client got a "res_change" message for the change
    std::vector<std::string> messages;  // every message the client got, in order
    std::vector<uintmax_t> dump_sizes;  // sizes of the files the dump road left in /root
    // Trace lengths at the milestones of the service road (npos: not reached).
    size_t at_accepted = std::string::npos;
    size_t at_changed = std::string::npos;
    size_t at_followed = std::string::npos;  // after the follow-up announcement (if any)
    size_t at_stop = std::string::npos;
    std::string error;  // the harness could not run the case
};

// What follows the resolution change before the stop: nothing, or one more announcement of the
// same geometry or of another one (the start's).
enum class FollowUp { None, SameGeometry, OtherGeometry };

// The service road: start, connect a client, change the resolution, the follow-up, SIGTERM;
// `fault` is an AXSIM_FAIL rule (empty for a clean run).
RoadRun run_service_road(const std::string& fault, FollowUp follow_up = FollowUp::None);
// The dump road: hdgrab --dump-raw.
RoadRun run_dump_road(const std::string& fault);

// One fault to inject: the Nth call of a name, made at a place.
struct FaultCase {
    Place place;
    std::string call;
    int nth = 0;               // occurrence of `call` in the whole clean trace, from 1
    size_t index = 0;          // its position in the clean trace
    std::string rule() const;  // "CALL#N"
};

enum class Road { Service, Dump };

// Cases derived from a clean run of one road: one per call, each in the place it is made.
struct Matrix {
    std::vector<FaultCase> cases;
    std::vector<TraceCall> trace;             // the clean run's trace
    std::vector<std::string> final_teardown;  // call names of the service's final tear-down
    size_t at_changed = 0;                    // the clean trace's length after the change
    std::string error;                        // a clean run did not go as expected
};

Matrix derive_matrix(Road road);

// Objects left behind by a trace, keyed as the first words of the leftover report's lines
// ("vin dev", "pool", ...), with their counts.
using Ledger = std::map<std::string, int>;
Ledger ledger_of(const std::vector<TraceCall>& trace);
Ledger ledger_of_report(const std::string& report);
std::string ledger_text(const Ledger& ledger);

// The verdict on one faulty run.
struct Verdict {
    bool survived = false;              // no crash, no hang, the documented exit status
    std::vector<std::string> problems;  // every expectation that did not hold
    std::string summary;                // for the table: messages seen, exit status, leftovers
};

Verdict judge(const FaultCase& fault, const Matrix& matrix, const RoadRun& run);

// Whether a fault is injected into a re-configuration (its tear-down or bring-up).
bool in_reconfiguration(Place place);
// The problems of a run whose faulty change was followed by `follow_up`: the follow-up must
// leave the whole pipeline in place with no call refused, the client must get exactly the one
// correct "res_change" the follow-up calls for, and nothing may be left at stop.
std::vector<std::string> judge_recovery(const Matrix& matrix, const RoadRun& run,
                                        FollowUp follow_up);

// One row of the printed table; rows are gathered per place in files under the build tree.
// `recovery`: the follow-ups' problems (nullopt: the fault is not in a re-configuration).
std::string table_row(const FaultCase& fault, const Verdict& verdict,
                      const std::optional<std::vector<std::string>>& recovery);
void write_rows(Place place, const std::vector<std::string>& rows);

}  // namespace hdgrab::test
