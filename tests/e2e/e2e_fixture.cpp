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

namespace {

std::vector<std::string> joined(const std::vector<std::string>& first,
                                const std::vector<std::string>& second) {
    std::vector<std::string> all = first;
    all.insert(all.end(), second.begin(), second.end());
    return all;
}

}  // namespace

const std::vector<std::string>& teardown_calls() {
    static const std::vector<std::string> calls = joined(kIvpsTearDownCalls, kVinTearDownCalls);
    return calls;
}

const std::vector<std::string>& bringup_calls() {
    static const std::vector<std::string> calls = joined(kVinBringUpCalls, kIvpsBringUpCalls);
    return calls;
}

const std::vector<std::string>& rebuild_calls() {
    static const std::vector<std::string> calls = joined(teardown_calls(), bringup_calls());
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

ApplianceOptions ServiceTest::service_options(const std::map<std::string, std::string>& env) const {
    ApplianceOptions options = service_options();
    options.env.insert(env.begin(), env.end());
    return options;
}

ApplianceOptions ServiceTest::dump_options() const {
    ApplianceOptions options = service_options();
    options.args = {"--dump-raw"};
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

int ServiceTest::run_to_end(const ApplianceOptions& options) {
    start(options);
    const auto status = app.wait_exit(30s);
    EXPECT_TRUE(status) << app.output();
    return status.value_or(-1);
}

void ServiceTest::start_connected(Client& client, const ApplianceOptions& options) {
    ASSERT_NO_FATAL_FAILURE(start(options));
    connect(client);
}

void ServiceTest::announce(int width, int height, int fps) const {
    hdmi({"res", std::to_string(width), std::to_string(height), std::to_string(fps)});
}

::testing::AssertionResult ServiceTest::told_change(Client& client, int width, int height,
                                                    int fps) const {
    const auto message = client.read_message(kEventWait);
    if (!message) {
        return ::testing::AssertionFailure() << "no message\n" << app.output();
    }
    if (*message != res_change_text(width, height, fps)) {
        return ::testing::AssertionFailure()
               << "the message is " << *message << ", not " << res_change_text(width, height, fps);
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult ServiceTest::change_and_expect(Client& client, int width, int height,
                                                          int fps) {
    announce(width, height, fps);
    return told_change(client, width, height, fps);
}

::testing::AssertionResult ServiceTest::rebuilt_and_told(Client& client, int width, int height,
                                                         int fps) {
    announce(width, height, fps);
    const auto rebuilt =
        logged(fmt::format("Pipeline incomplete at {}x{}@{}, rebuilding", width, height, fps));
    return rebuilt ? told_change(client, width, height, fps) : rebuilt;
}

::testing::AssertionResult ServiceTest::logged(const std::string& text, size_t times,
                                               std::chrono::milliseconds timeout) const {
    if (wait_count(text, times, timeout)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "\"" << text << "\" not logged " << times << " times\n"
                                         << app.output();
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
