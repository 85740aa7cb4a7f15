// The configuration reload of the running service (SIGHUP, `systemctl reload hdgrab`).
#pragma once

#include <string>

#include "app/cli.h"
#include "app/config.h"
#include "bridge/status_reaction.h"

namespace hdgrab {

// What the service manager hears around a reload.
inline constexpr const char* kReloadingAssignment = "RELOADING=1";
inline constexpr const char* kMonotonicUsecAssignment = "MONOTONIC_USEC=";
inline constexpr const char* kReloadedAssignment = "READY=1";

// The recovery policy the Bridge monitor follows. Made from ConfigStore at the first call; a
// reload replaces its value.
SharedRecoveryPolicy running_recovery_policy();

// Makes a SIGHUP reload the configuration file at `path`, with the command-line `switches` still
// winning over it. Call once before the workers start.
void arm_reload(const CommandLine& switches, const std::string& path = kConfigPath);

// Re-reads the file and applies log.level, log.type, log.file and the recovery keys to the
// running service: the pipeline, the client and the bridge stay as they are. A file that cannot
// be read or is not valid TOML changes nothing (one error names the file and the reason); a key
// of the wrong type keeps its running value (one warning names it); a missing key takes its
// default. Logs what changed at info level. Under a service manager "RELOADING=1" (with
// "MONOTONIC_USEC=") goes out before and "READY=1" after. False when the file was not taken.
bool reload_configuration();

// The exit path: waits for a reload under way (unless the calling thread is in it) and keeps every
// later one from starting, so that no reload uses the process-wide objects while they are
// destroyed. Never undone.
void seal_reload_for_exit() noexcept;

}  // namespace hdgrab
