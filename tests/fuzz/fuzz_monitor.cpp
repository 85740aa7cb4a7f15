// libFuzzer target: the Bridge monitor's reaction to an arbitrary sequence of status texts and
// geometries, with the capture pipeline on the substitute SDK in this process.
//
// Each input starts from a fresh pipeline brought up at 1920x1080@60 (as the Capture thread
// does), a connected client (a socket pair) and a status file holding the input's first string,
// which the reaction records without acting on it. Then, for each step until the input ends (at
// most kMaxSteps):
//   - the bridge files are written: the status line (one of the texts the monitor knows, any
//     text, or missing), width, height and fps (a common value, any 32-bit number, any text, or
//     missing), the power file (a file or a directory);
//   - the step may inject one SDK failure, take the client away (peer closed, slot emptied) or
//     connect a new one;
//   - the reaction runs; its waits do not sleep: the handshake's wait plays the driver, which
//     answers "ok" with the step's answer (often "stable", any text, or a vanished file).
// Checked after every step:
//   - "ok" and a line feed is in the status file whenever the handshake waits, exactly when the
//     status is "new res" with a readable, positive geometry; the bridge is switched off during
//     the power cycle and on again after it, exactly for "unknown res" and "error res";
//   - the last status seen is the one the files say;
//   - every byte the client receives is one compact "res_change" JSON object with the geometry
//     from the files, which is also the pipeline's recorded geometry, and it comes exactly when
//     the reaction logged that it notified the client;
//   - without injected failures: a message comes exactly when the change needed a new geometry
//     and the SDK accepted it; while no tear-down or bring-up has failed, the pipeline holds the
//     same objects as after the first bring-up, and a frame has the recorded geometry;
//   - no descriptor is left open.

#include <dlfcn.h>
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "bridge/lt6911_util.h"
#include "bridge/monitor.h"
#include "bridge/status_reaction.h"
#include "ipc/notify.h"
#include "log/logger.h"
#include "media/axera_util.h"
#include "media/media_constants.h"
#include "sdk/ax_sdk.h"
#include "sim/sdk/axsim.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

namespace fs = std::filesystem;
using hdgrab::fuzz::read_file;
using hdgrab::fuzz::write_file;

constexpr std::size_t kMaxSteps = 12;
constexpr std::size_t kMaxTextBytes = 64;
constexpr int32_t kStartWidth = 1920;
constexpr int32_t kStartHeight = 1080;
constexpr int32_t kStartFps = 60;
// Size of the stand-in for /dev/mem: covers the pin-multiplexing page.
constexpr std::uintmax_t kDevMemSize = 0x02301000;

constexpr std::array<const char*, 8> kStatusTexts{
    "stable", "disappear", "unknown res", "error res", "new res", "ok", "", "new res\r"};
constexpr std::array<int32_t, 12> kCommonValues{1920, 1080, 60, 1280, 720, 50,
                                                3840, 2160, 30, 640,  480, 0};

// Keeps the messages of the current input.
class LineSink : public spdlog::sinks::base_sink<std::mutex> {
  public:
    std::vector<std::string> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(lines_, {});
    }

  protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        lines_.emplace_back(msg.payload.data(), msg.payload.size());
    }
    void flush_() override {}

  private:
    std::vector<std::string> lines_;
};

// Whole messages are compared: a status text may quote any message inside its own.
bool has_line(const std::vector<std::string>& lines, const std::string& text) {
    return std::find(lines.begin(), lines.end(), text) != lines.end();
}

bool has_prefix(const std::vector<std::string>& lines, const std::string& prefix) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
}

void attach(const std::shared_ptr<spdlog::logger>& logger, const std::shared_ptr<LineSink>& sink) {
    logger->sinks().clear();
    logger->sinks().push_back(sink);
    logger->set_level(spdlog::level::trace);
}

// What one bridge file holds for a step; nullopt: the file is missing.
using FileContent = std::optional<std::string>;

void place(const fs::path& path, const FileContent& content) {
    std::error_code ec;
    fs::remove_all(path, ec);
    if (content) {
        write_file(path, *content);
    }
}

FileContent consume_status(FuzzedDataProvider& input) {
    const uint8_t choice = input.ConsumeIntegral<uint8_t>();
    if (choice < 160) {
        return std::string(kStatusTexts[choice % kStatusTexts.size()]) + "\n";
    }
    if (choice < 240) {
        return input.ConsumeRandomLengthString(kMaxTextBytes);
    }
    return std::nullopt;
}

FileContent consume_value(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange<int>(0, 7)) {
        case 0:
        case 1:
        case 2:
        case 3:
            return std::to_string(kCommonValues[input.ConsumeIntegralInRange<std::size_t>(
                       0, kCommonValues.size() - 1)]) +
                   "\n";
        case 4:
            return std::to_string(input.ConsumeIntegralInRange<int32_t>(-16, 9000)) + "\n";
        case 5:
            return std::to_string(input.ConsumeIntegral<int64_t>());
        case 6:
            return input.ConsumeRandomLengthString(kMaxTextBytes);
        default:
            return std::nullopt;
    }
}

// The driver's answer to "ok" as seen at the end of the handshake's wait.
FileContent consume_answer(FuzzedDataProvider& input) {
    const uint8_t choice = input.ConsumeIntegral<uint8_t>();
    if (choice < 200) {
        return std::string("stable\n");
    }
    if (choice < 250) {
        return input.ConsumeRandomLengthString(kMaxTextBytes);
    }
    return std::nullopt;
}

// The first line of a status file as the bridge object reads it; nullopt when unreadable.
std::optional<std::string> status_line(const FileContent& content) {
    if (!content || content->empty()) {
        return std::nullopt;
    }
    return content->substr(0, content->find('\n'));
}

// Lowest free descriptor number: a descriptor leaked by the code under test takes it.
int lowest_free_fd() {
    const int fd = ::fcntl(0, F_DUPFD_CLOEXEC, 0);
    if (fd >= 0) {
        ::close(fd);
    }
    return fd;
}

// The connected client: the service's end goes into the slot, the test reads the other one.
struct ClientPair {
    int service = -1;
    int peer = -1;

    void connect() {
        close();
        int pair[2];
        FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) == 0,
                   "socketpair");
        service = pair[0];
        peer = pair[1];
        // The service's connections are blocking.
        FUZZ_CHECK(::fcntl(service, F_SETFL, 0) == 0, "blocking service end");
    }
    void close_peer() {
        if (peer >= 0) {
            ::close(peer);
            peer = -1;
        }
    }
    void close() {
        close_peer();
        if (service >= 0) {
            ::close(service);
            service = -1;
        }
    }
    // Everything that arrived so far.
    std::string drain() const {
        std::string bytes;
        if (peer < 0) {
            return bytes;
        }
        std::array<char, 4096> buffer{};
        for (;;) {
            const ssize_t got = ::read(peer, buffer.data(), buffer.size());
            if (got <= 0) {
                break;
            }
            bytes.append(buffer.data(), static_cast<std::size_t>(got));
        }
        return bytes;
    }
};

// The process-wide objects on a scratch directory; built once.
struct World {
    fs::path bridge_dir;
    hdgrab::media::MediaPlatform platform;
    std::shared_ptr<LineSink> sink = std::make_shared<LineSink>();

    World() {
        const fs::path& dir = hdgrab::fuzz::scratch_dir();
        bridge_dir = dir / "lt6911_info";
        fs::create_directories(bridge_dir);
        const fs::path mem = dir / "mem";
        write_file(mem, "");
        fs::resize_file(mem, kDevMemSize);
        platform.dev_mem = mem.string();
        platform.sensor_lib = HDGRAB_FUZZ_SENSOR_LIB;
        // Every resolution change closes and reopens the sensor library. Kept mapped for good:
        // libFuzzer clears the coverage counters of every instrumented library before each run
        // and would write into an unmapped one.
        FUZZ_CHECK(::dlopen(HDGRAB_FUZZ_SENSOR_LIB, RTLD_NOW | RTLD_NODELETE) != nullptr,
                   "the sensor library loads");
        platform.reboot_marker = (dir / "have_reboot").string();
        platform.run_command = [](const std::string&) { return 0; };
        platform.sync = [] {};
        platform.sleep = [](std::chrono::milliseconds) {};

        spdlog::set_level(spdlog::level::trace);
        global_logger = std::make_unique<DefaultLogger2>("main");
        global_logger->configure("trace", "console", "");
        attach(global_logger->get_logger(), sink);
        global_lt6911_util = std::make_unique<Lt6911Util>(bridge_dir.string());
        global_lt6911_util->configure("trace", "console", "");
        attach(global_lt6911_util->get_logger(), sink);
    }

    // A fresh substitute SDK and a pipeline brought up at the start geometry.
    void bring_up() {
        axsim::reset();
        global_axera_util.reset();
        global_axera_util =
            std::make_unique<AxeraUtil>(kStartWidth, kStartHeight, kStartFps, platform);
        global_axera_util->configure("trace", "console", "");
        attach(global_axera_util->get_logger(), sink);
        AxeraUtil& axera = *global_axera_util;
        FUZZ_CHECK(
            axera.axera_sys_init() &&
                axera.axera_pool_init(hdgrab::media::kPoolWidth, hdgrab::media::kPoolHeight) &&
                axera.axera_vin_init() && axera.axera_ivps_init() && axera.axera_link_init(),
            "the start pipeline comes up");
    }
};

World& world() {
    static World* const instance = new World();
    return *instance;
}

std::vector<std::string> sorted(std::vector<std::string> lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
}

// A frame of the running pipeline has the recorded geometry (when a pool block holds it).
void check_frame_geometry(const AxeraUtil& axera) {
    AX_VIDEO_FRAME_INFO_T frame;
    std::memset(&frame, 0, sizeof frame);
    FUZZ_CHECK(axera.capture_device().has_value(), "a running pipeline has a capture device");
    const auto pipe = static_cast<uint8_t>(*axera.capture_device());
    const int32_t status = AX_VIN_GetYuvFrame(pipe, hdgrab::media::kVinChannel, &frame, 0);
    if (status == axsim::status_of(axsim::Module::kVin, axsim::Kind::kNoBuf)) {
        return;  // larger than the pools planned for 3840x2400
    }
    FUZZ_CHECK(status == 0, "a running pipeline delivers frames");
    FUZZ_CHECK(frame.u32Width == static_cast<uint32_t>(axera.geometry().width) &&
                   frame.u32Height == static_cast<uint32_t>(axera.geometry().height),
               "frames have the recorded geometry");
    FUZZ_CHECK(AX_VIN_ReleaseYuvFrame(pipe, hdgrab::media::kVinChannel, &frame) == 0,
               "the frame goes back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    World& w = world();
    const int free_before = lowest_free_fd();

    w.bring_up();
    AxeraUtil& axera = *global_axera_util;
    const std::vector<std::string> complete_pipeline = sorted(axsim::leftovers());
    (void)w.sink->take();

    auto state = std::make_shared<_ax_vin_data_t>();
    state->server_fd.store(-1);
    ClientPair client;
    client.connect();
    state->client_fd.store(client.service);

    // What the handshake's wait does in the current step.
    FileContent answer;
    bool answer_in_time = true;
    int handshake_waits = 0;
    int power_waits = 0;
    const fs::path status_path = w.bridge_dir / "status";
    const fs::path power_path = w.bridge_dir / "power";
    hdgrab::BridgeStatusReaction reaction(state, [&](std::chrono::milliseconds duration) {
        if (duration == hdgrab::kHandshakeWait) {
            ++handshake_waits;
            FUZZ_CHECK(read_file(status_path) == "ok\n", "the handshake wait follows \"ok\"");
            place(status_path, answer);
            return answer_in_time;
        }
        FUZZ_CHECK(duration == hdgrab::kPowerCyclePause, "only the two known waits");
        ++power_waits;
        if (fs::is_regular_file(power_path)) {
            FUZZ_CHECK(read_file(power_path) == "0\n", "the bridge is off during the pause");
        }
        return true;
    });

    const FileContent initial = input.ConsumeRandomLengthString(kMaxTextBytes);
    place(status_path, initial);
    reaction.record_initial_status();
    std::string expected_last = status_line(initial).value_or("");
    FUZZ_CHECK(reaction.last_status() == expected_last, "the initial status is recorded");

    bool faults = false;
    bool broken = false;
    for (std::size_t step = 0; step < kMaxSteps && input.remaining_bytes() > 0; ++step) {
        // The bridge files of this step.
        const FileContent status = consume_status(input);
        const std::array<FileContent, 3> geometry{consume_value(input), consume_value(input),
                                                  consume_value(input)};
        answer = consume_answer(input);
        answer_in_time = input.ConsumeIntegral<uint8_t>() != 0;
        const bool power_is_directory = input.ConsumeIntegral<uint8_t>() == 0;
        place(status_path, status);
        place(w.bridge_dir / "width", geometry[0]);
        place(w.bridge_dir / "height", geometry[1]);
        place(w.bridge_dir / "fps", geometry[2]);
        std::error_code ec;
        fs::remove_all(power_path, ec);
        if (power_is_directory) {
            fs::create_directory(power_path);
        }

        // An SDK failure and the client.
        const uint8_t fault = input.ConsumeIntegral<uint8_t>();
        if (fault >= 0xF0) {
            static const std::vector<std::string> calls = axsim::known_calls();
            const std::string& call =
                calls[input.ConsumeIntegralInRange<std::size_t>(0, calls.size() - 1)];
            axsim::fail(call, 0, input.ConsumeIntegralInRange<unsigned>(1, 4));
            faults = true;
        }
        switch (input.ConsumeIntegralInRange<int>(0, 15)) {
            case 0:
                client.close_peer();
                break;
            case 1:
                client.close();
                state->client_fd.store(-1);
                break;
            case 2:
                client.connect();
                state->client_fd.store(client.service);
                break;
            default:
                break;
        }

        // What the files say should happen.
        int32_t width = 0;
        int32_t height = 0;
        int32_t fps = 0;
        const bool geometry_ok = global_lt6911_util->lt6911_read_resolution(width, height, fps);
        const hdgrab::media::CaptureGeometry files_geometry{width, height, fps};
        const std::optional<std::string> line = status_line(status);
        const bool new_res = line == "new res";
        const bool handshake = new_res && geometry_ok;
        const bool power_cycle = line == "unknown res" || line == "error res";
        const std::optional<std::string> verified =
            handshake && answer_in_time ? status_line(answer) : std::nullopt;
        // A geometry beyond what the pools and the image processor's records hold is refused
        // after the handshake, before anything is torn down.
        const bool refused = verified == "stable" && !axera.takes_geometry(width, height, fps);
        const bool accepted = verified == "stable" && !refused;
        const bool same_geometry = axera.geometry() == files_geometry;
        const bool connected = state->client_fd.load() >= 0 && client.peer >= 0;
        // The same geometry over a pipeline that an earlier failure left incomplete is rebuilt.
        const bool rebuild = same_geometry && !axera.pipeline_whole();

        handshake_waits = 0;
        power_waits = 0;
        reaction.on_notification();
        const std::vector<std::string> log = w.sink->take();

        // The handshake and the power cycle.
        FUZZ_CHECK(handshake_waits == (handshake ? 1 : 0), "the handshake is made exactly once");
        FUZZ_CHECK(power_waits == (power_cycle ? 1 : 0), "the power cycle is made exactly once");
        if (power_cycle) {
            FUZZ_CHECK(power_is_directory || read_file(power_path) == "1\n",
                       "the bridge is switched on again");
        } else {
            FUZZ_CHECK(power_is_directory ? fs::is_directory(power_path) : !fs::exists(power_path),
                       "the power file is left alone");
        }

        // The status seen last.
        if (line) {
            expected_last = *line;
        }
        if (handshake && answer_in_time && verified) {
            expected_last = *verified;
        }
        FUZZ_CHECK(reaction.last_status() == expected_last, "the last status follows the files");
        FUZZ_CHECK(has_line(log, "Failed to read LT6911 status") == !line,
                   "an unreadable status is reported");

        FUZZ_CHECK(has_prefix(log, "LT6911 reports ") == refused,
                   "a geometry the pipeline cannot take is refused with a warning");

        // The client's message.
        const std::string received = client.drain();
        const bool notified = has_line(log, "LT6911 resolution reset and client notified");
        const bool reconfigured =
            notified || has_line(log, "Failed to send resolution change message");
        FUZZ_CHECK(!notified || has_prefix(log, "Message: "),
                   "a notified client was sent the text");
        if (!received.empty()) {
            FUZZ_CHECK(notified, "nothing reaches the client unless the reaction says so");
            FUZZ_CHECK(nlohmann::json::accept(received), "the message is valid JSON");
            FUZZ_CHECK(received == hdgrab::make_res_change(width, height, fps).dump(),
                       "one compact res_change with the geometry from the files");
            FUZZ_CHECK(axera.geometry() == files_geometry,
                       "the message tells the recorded geometry");
        } else {
            FUZZ_CHECK(!notified || !connected, "a notified client received the message");
        }
        if (reconfigured) {
            FUZZ_CHECK(accepted && (!same_geometry || rebuild),
                       "only a new geometry, or an incomplete pipeline, is rebuilt");
            FUZZ_CHECK(axera.geometry() == files_geometry, "the applied geometry is recorded");
        }

        // The pipeline.
        const bool failed =
            has_line(log, "axera deinit failed") || has_line(log, "axera init failed");
        broken = broken || failed;
        if (!faults) {
            if (accepted && !same_geometry && !broken) {
                FUZZ_CHECK(reconfigured, "a new geometry the SDK accepts is applied");
                FUZZ_CHECK(notified == connected, "a connected client is told");
            }
            if (!broken) {
                FUZZ_CHECK(sorted(axsim::leftovers()) == complete_pipeline,
                           "the pipeline is complete after every step");
                check_frame_geometry(axera);
            }
        }
        if (failed || !accepted || (same_geometry && !rebuild)) {
            FUZZ_CHECK(!reconfigured, "a failed or needless change tells nobody");
        }
    }

    client.close();
    state->client_fd.store(-1);
    axsim::clear_faults();
    // Released here rather than by the next input, so the descriptor check sees a clean slate.
    global_axera_util.reset();
    axsim::reset();
    FUZZ_CHECK(lowest_free_fd() == free_before, "no descriptor is left open");
    return 0;
}
