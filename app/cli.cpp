#include "app/cli.h"

#include <cxxopts.hpp>

#include <string>

#include "app/exit_status.h"
#include "app/version.h"

namespace hdgrab {

namespace {

cxxopts::Options make_options(const std::string& program) {
    cxxopts::Options options(program, kProgramDescription);
    options.custom_help(kUsageText);
    options.set_width(kHelpWidth);
    // clang-format off
    options.add_options()
        ("h,help", "Print help message")
        ("v,version", "Print VERSION")
        ("d,debug", "Enable debug mode")
        ("dump-raw", "Dump one YUYV422 frame");
    // clang-format on
    return options;
}

}  // namespace

CommandLineResult parse_command_line(int argc, const char* const* argv, std::ostream& out,
                                     std::ostream& err) {
    const std::string program =
        (argc > 0 && argv != nullptr && argv[0] != nullptr) ? argv[0] : kFallbackProgramName;
    cxxopts::Options options = make_options(program);

    CommandLineResult outcome;
    try {
        // A process may be started without even a program name; the parser expects one.
        const char* const program_only[] = {program.c_str(), nullptr};
        const bool has_program = argc > 0 && argv != nullptr;
        const cxxopts::ParseResult parsed =
            has_program ? options.parse(argc, argv) : options.parse(1, program_only);
        if (parsed.count("help") > 0) {
            out << options.help() << '\n' << std::flush;
            outcome.exit_status = kExitOk;
        } else if (parsed.count("version") > 0) {
            out << version_line() << '\n' << std::flush;
            outcome.exit_status = kExitOk;
        } else {
            outcome.options.debug = parsed.count("debug") > 0;
            outcome.options.dump_raw = parsed.count("dump-raw") > 0;
        }
    } catch (const cxxopts::exceptions::exception& e) {
        err << program << ": " << e.what() << '\n'
            << "Try '" << program << " --help' for more information.\n"
            << std::flush;
        outcome.exit_status = kExitFailure;
    }
    return outcome;
}

}  // namespace hdgrab
