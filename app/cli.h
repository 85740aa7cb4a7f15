// The command line: option table, help and version output, and the two mode switches.
#pragma once

#include <iostream>
#include <optional>
#include <ostream>

namespace hdgrab {

inline constexpr const char* kProgramDescription = "VIN App for Corvanta";
inline constexpr const char* kUsageText = "[OPTION...]";
inline constexpr std::size_t kHelpWidth = 76;  // columns
// Used when the argument vector carries no program name at all.
inline constexpr const char* kFallbackProgramName = "hdgrab";

// The switches that select how the service runs.
struct CommandLine {
    bool debug = false;     // -d / --debug
    bool dump_raw = false;  // --dump-raw
};

struct CommandLineResult {
    CommandLine options;
    // Set when the program ends here: kExitOk after help or version, kExitFailure after a
    // command-line error.
    std::optional<int> exit_status;
};

// Parses the arguments. Help (which wins over version) and the version line go to `out`; a
// parse error goes to `err` with a hint to use --help. A switch counts as given whenever it
// occurs, whatever value it carries.
CommandLineResult parse_command_line(int argc, const char* const* argv,
                                     std::ostream& out = std::cout, std::ostream& err = std::cerr);

}  // namespace hdgrab
