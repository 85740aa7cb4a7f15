#include "tools/watch/state.h"

#include <fmt/format.h>
#include <signal.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace hdgrab::watch {
namespace {

constexpr std::string_view kTag = "hdgrab-watch: ";

// The member's value as text for the plain line: strings without quotes, "?" when missing.
std::string member(const nlohmann::json& state, const char* name) {
    const auto found = state.find(name);
    if (found == state.end()) {
        return "?";
    }
    if (found->is_string()) {
        return found->get<std::string>();
    }
    return found->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string count_text(const nlohmann::json& state, const char* name, const char* unit) {
    return fmt::format("{} {}", member(state, name), unit);
}

}  // namespace

std::optional<std::string> format_state(std::string_view text, OutputFormat format) {
    const auto state = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (state.is_discarded() || !state.is_object()) {
        return std::nullopt;
    }
    if (format == OutputFormat::kJson) {
        return state.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    const auto client = state.find("client");
    const bool connected = client != state.end() && client->is_boolean() && client->get<bool>();
    const std::string bridge = member(state, "bridge");
    return fmt::format(
        "{} {}x{}@{} since {}, {}, bridge {}, {}, {}, {}, pid {}, version {}",
        member(state, "pipeline"), member(state, "width"), member(state, "height"),
        member(state, "fps"), member(state, "since"), connected ? "client connected" : "no client",
        bridge.empty() ? "not read yet" : bridge, count_text(state, "changes", "changes"),
        count_text(state, "failed_changes", "failed"),
        count_text(state, "power_cycles", "power cycles"), member(state, "pid"),
        member(state, "version"));
}

bool process_exists(long pid) {
    // EPERM: the process exists but belongs to somebody else.
    return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

int run_state(const std::string& path, OutputFormat format, std::ostream& out, std::ostream& err) {
    std::ifstream file(path);
    if (!file) {
        err << kTag << "no service running (cannot open " << path << ": " << std::strerror(errno)
            << ")" << std::endl;
        return kExitUnreachable;
    }
    std::stringstream text;
    text << file.rdbuf();
    const auto state = nlohmann::json::parse(text.str(), nullptr, /*allow_exceptions=*/false);
    const std::optional<std::string> line = format_state(text.str(), format);
    if (!line) {
        err << kTag << path << " is not a state file" << std::endl;
        return kExitFailure;
    }
    const auto pid = state.find("pid");
    if (pid == state.end() || !pid->is_number_integer() || !process_exists(pid->get<long>())) {
        // A file left behind by a service that ended without its clean-up.
        err << kTag << "no service running (the process of " << path << " is gone)" << std::endl;
        return kExitUnreachable;
    }
    out << *line << std::endl;
    if (!out) {
        err << kTag << "cannot write to standard output" << std::endl;
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace hdgrab::watch
