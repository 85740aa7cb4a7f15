// The measurements: each runs the service in the sandbox and returns its figures.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench/report.h"
#include "sim/harness/proc_sample.h"

namespace hdgrab::bench {

using harness::ProcessSample;

// Resolution changes before the endurance run's "warm" memory sample.
inline constexpr int kWarmupChanges = 10;

struct BenchConfig {
    std::filesystem::path service;     // the hdgrab binary
    std::filesystem::path exec_stamp;  // the bench-exec-stamp launcher
    int runs = 5;                      // repetitions of every stop state and of the start-up
    int changes = 30;                  // resolution changes timed at zero SDK delay
    int delay_changes = 15;            // ... and with the SDK delay below
    int sdk_delay_us = 2000;           // per SDK call
    int endurance = 1000;              // resolution changes in a row
    int idle_seconds = 60;             // idle measurement
    uint32_t seed = 1;                 // random stop moments
    bool verbose = false;
};

// Resolution change: driver's "new res" to the last byte of "res_change" at the client.
struct ResChangeResult {
    Series latency_ms;
    Series to_ack_ms;     // announcement -> the service's "ok" (notification, reads, write)
    Series after_ack_ms;  // "ok" -> message at the client (200 ms wait, re-configuration, send)
    Series cpu_ms;        // the service's CPU time per change
    Series run_delay_ms;  // the service's time waiting for a CPU per change
    std::vector<std::string> notes;
};
ResChangeResult measure_resolution_change(const BenchConfig& config, int changes, int sdk_delay_us);

// Stop: SIGTERM to the exit of the service process, in one state.
enum class StopState {
    idle_no_client,
    idle_client,
    status_wait,
    client_poll,
    after_res_change,
    during_res_change,
};
const char* stop_state_name(StopState state);
struct StopResult {
    Series exit_ms;
    std::vector<std::string> notes;
};
StopResult measure_stop(const BenchConfig& config, StopState state, std::mt19937& random);

// Start-up: from the service's exec to the control socket listening and to the client accepted.
struct StartupResult {
    Series listen_ms;            // exec -> connect() succeeds
    Series accept_ms;            // exec -> the service holds the accepted connection
    Series sandbox_ms;           // sandbox script start -> exec (not the service's share)
    Series cpu_ms;               // the service's CPU time until the client is accepted
    Series run_delay_ms;         // ... and its time waiting for a CPU (a busy machine)
    double first_accept_ms = 0;  // the first start, which creates the configuration file
    std::vector<std::string> notes;
};
StartupResult measure_startup(const BenchConfig& config);

// Idle cost, with a client connected or without one.
struct IdleResult {
    bool ok = false;
    double seconds = 0;
    double cpu_s_per_hour = 0;        // schedstat, ns resolution
    double cpu_ticks_s_per_hour = 0;  // utime+stime, clock-tick resolution
    double wakeups_per_s = 0;
    ProcessSample end;
    std::vector<std::string> notes;
};
IdleResult measure_idle(const BenchConfig& config, bool with_client);

// Endurance: many resolution changes in a row.
struct EnduranceResult {
    int requested = 0;
    int delivered = 0;  // notifications that arrived, in order, with the expected text
    ProcessSample before;
    ProcessSample warm;  // after the first warm-up changes
    ProcessSample after;
    Series latency_ms;
    std::vector<std::string> notes;
};
EnduranceResult measure_endurance(const BenchConfig& config);

}  // namespace hdgrab::bench
