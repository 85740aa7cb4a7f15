#include "tests/e2e/e2e_fixture.h"

#include <fmt/format.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/pipeline_calls.h"
#include "tests/support/temp_dir.h"

namespace hdgrab::test {

std::string res_change_text(int width, int height, int fps) {
    return fmt::format(R"({{"fps":{},"height":{},"type":"res_change","width":{}}})", fps, height,
                       width);
}

const std::vector<std::string>& teardown_calls() {
    static const std::vector<std::string> calls = [] {
        std::vector<std::string> all = kIvpsTearDownCalls;
        all.insert(all.end(), kVinTearDownCalls.begin(), kVinTearDownCalls.end());
        return all;
    }();
    return calls;
}

const std::vector<std::string>& bringup_calls() {
    static const std::vector<std::string> calls = [] {
        std::vector<std::string> all = kVinBringUpCalls;
        all.insert(all.end(), kIvpsBringUpCalls.begin(), kIvpsBringUpCalls.end());
        return all;
    }();
    return calls;
}

void ServiceTest::SetUp() {
    HDGRAB_SKIP_WITHOUT_SANDBOX();
}

ApplianceOptions ServiceTest::service_options() const {
    ApplianceOptions options;
    options.args = {"-d"};
    options.sdk_trace = true;
    options.env["AXSIM_LEAKS"] = kLeaksFile;
    return options;
}

void ServiceTest::start(const ApplianceOptions& options) {
    ASSERT_TRUE(app.start(options)) << app.error();
}

void ServiceTest::connect(Client& client) {
    const size_t accepted = count_output("Accepted new connection");
    ASSERT_TRUE(client.connect(app.socket_path(), kStartWait)) << app.output();
    ASSERT_TRUE(wait_count("Accepted new connection", accepted + 1)) << app.output();
}

std::vector<std::string> ServiceTest::trace_calls() const {
    std::vector<std::string> calls;
    std::ifstream trace(app.sdk_trace_path());
    std::string line;
    while (std::getline(trace, line)) {
        std::istringstream words(line);
        std::string name;
        if (words >> name) {
            calls.push_back(name);
        }
    }
    return calls;
}

std::vector<std::string> ServiceTest::trace_lines(const std::string& call) const {
    std::vector<std::string> lines;
    std::ifstream trace(app.sdk_trace_path());
    std::string line;
    while (std::getline(trace, line)) {
        if (line.rfind(call + " ", 0) == 0) {
            lines.push_back(line);
        }
    }
    return lines;
}

size_t ServiceTest::count_output(const std::string& text) const {
    const std::string output = app.output();
    size_t count = 0;
    for (size_t at = output.find(text); at != std::string::npos;
         at = output.find(text, at + text.size())) {
        ++count;
    }
    return count;
}

bool ServiceTest::wait_count(const std::string& text, size_t times,
                             std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (count_output(text) < times) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

nlohmann::json ServiceTest::state() const {
    return nlohmann::json::parse(read_text(state_file()), nullptr, false);
}

bool ServiceTest::wait_state(const std::string& name, const nlohmann::json& value) const {
    const auto deadline = std::chrono::steady_clock::now() + kEventWait;
    for (;;) {
        const nlohmann::json now = state();
        if (now.is_object() && now.contains(name) && now[name] == value) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
}

std::vector<DriverWrite> ServiceTest::writes_to(const std::string& file) const {
    std::vector<DriverWrite> writes;
    for (const DriverWrite& write : app.driver_log()) {
        if (write.file == file) {
            writes.push_back(write);
        }
    }
    return writes;
}

std::string ServiceTest::leak_report() const {
    return read_text(app.out_dir() / "axsim-leaks.txt");
}

void ServiceTest::hdmi(const std::vector<std::string>& args) const {
    const HdmiResult result = app.hdmi(args);
    ASSERT_TRUE(result.ok()) << "hdmi " << ::testing::PrintToString(args) << ": " << result.output;
}

}  // namespace hdgrab::test
