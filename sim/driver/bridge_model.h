// Behaviour of the simulated HDMI-to-MIPI bridge: its status, geometry, handshake and power.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_fd.h"

namespace hdgrab::sim {

// The files of the bridge directory.
enum class BridgeFile { status, width, height, fps, power };
inline constexpr BridgeFile kAllBridgeFiles[] = {
    BridgeFile::status, BridgeFile::width, BridgeFile::height, BridgeFile::fps, BridgeFile::power};
const char* file_name(BridgeFile file);
std::optional<BridgeFile> file_from_name(const std::string& name);
bool is_writable(BridgeFile file);

// Status texts the bridge publishes.
inline constexpr const char* kStatusStable = "stable";
inline constexpr const char* kStatusNewRes = "new res";
inline constexpr const char* kStatusDisappear = "disappear";
inline constexpr const char* kStatusUnknownRes = "unknown res";
inline constexpr const char* kStatusErrorRes = "error res";
inline constexpr const char* kHandshakeAck = "ok";

inline constexpr std::chrono::milliseconds kDefaultHandshakeDelay{50};
inline constexpr std::chrono::milliseconds kDefaultPowerDelay{1000};
inline constexpr const char* kDefaultGarbage = "garbage\n";

struct Geometry {
    int width = 1920;
    int height = 1080;
    int fps = 60;
};

// Appends one line per write of the bridge files: "<monotonic ms> <file> <escaped bytes>".
class WriteLog {
  public:
    // An empty path records nothing.
    explicit WriteLog(const std::string& path);
    bool is_open() const { return fd_.is_valid(); }
    void record(BridgeFile file, const std::string& bytes);
    // The whole log (read back from the file).
    std::string text() const;

  private:
    UniqueFd fd_;
    std::string path_;
    mutable std::mutex mutex_;
};

// Runs actions after a delay on one worker thread; a pending action can be cancelled by token.
class Scheduler {
  public:
    Scheduler();
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    uint64_t schedule(std::chrono::milliseconds delay, std::function<void()> action);
    void cancel(uint64_t token);

  private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::multimap<std::chrono::steady_clock::time_point, std::pair<uint64_t, std::function<void()>>>
        queue_;
    uint64_t next_token_ = 1;
    bool stopping_ = false;
    std::thread worker_;
};

// Thread-safe model of the bridge. Every change of the status (also a change to the same text)
// advances the status generation and calls the change listener, outside the model's lock.
class BridgeModel {
  public:
    using ChangeListener = std::function<void(uint64_t generation)>;

    BridgeModel(Geometry source, std::string status, WriteLog* log);
    ~BridgeModel();
    BridgeModel(const BridgeModel&) = delete;
    BridgeModel& operator=(const BridgeModel&) = delete;

    void set_change_listener(ChangeListener listener);
    // Prints every published status change with a monotonic time stamp (for diagnosis).
    void set_event_trace(FILE* out);

    // What a reader of the file sees now (garbage included); nothing when the file is hidden,
    // unless the reader opened it before it was hidden.
    std::optional<std::string> read(BridgeFile file, bool opened_before = false) const;
    // The status file's content together with the generation it belongs to.
    std::pair<std::string, uint64_t> read_status() const;
    uint64_t generation() const;
    bool visible(BridgeFile file) const;

    // A write of the service to a bridge file (logged; "ok" and power values act).
    void write(BridgeFile file, const std::string& bytes);

    // The HDMI source, as scripted by the control interface.
    void announce(Geometry geometry);          // new resolution: "new res"
    void unplug();                             // "disappear"
    void replug();                             // the same geometry again: "new res"
    void bad_timing(const char* status);       // "unknown res" or "error res" until the next reset
    void set_status(const std::string& text);  // any text
    void notify();                             // a notification without a change
    void set_garbage(BridgeFile file, std::string content);
    void restore(std::optional<BridgeFile> file);  // nothing: all files
    void set_hidden(BridgeFile file, bool hidden);
    void set_handshake(bool enabled);
    void set_handshake_delay(std::chrono::milliseconds delay);
    void set_power_delay(std::chrono::milliseconds delay);

    // "key=value" lines describing the whole state.
    std::string describe() const;

  private:
    // Sets the status under the lock and returns the new generation for the listener.
    uint64_t set_status_locked(const std::string& text);
    void publish(uint64_t generation);
    // Applies `change` to the input under the lock and, while the bridge is powered, shows
    // `status` to the listener.
    template <typename Change>
    void change_input(const char* status, Change&& change);
    void handle_status_write(const std::string& value);
    void handle_power_write(const std::string& value);
    void handshake_done(uint64_t generation);
    void power_restored();

    mutable std::mutex mutex_;
    Geometry geometry_;
    std::string status_;
    uint64_t generation_ = 1;
    bool plugged_ = true;
    bool powered_ = true;
    std::optional<std::string> bad_timing_;
    bool handshake_enabled_ = true;
    std::chrono::milliseconds handshake_delay_ = kDefaultHandshakeDelay;
    std::chrono::milliseconds power_delay_ = kDefaultPowerDelay;
    std::map<BridgeFile, std::string> garbage_;
    std::set<BridgeFile> hidden_;
    uint64_t handshake_token_ = 0;
    uint64_t power_token_ = 0;
    unsigned handshakes_ = 0;
    unsigned power_cycles_ = 0;
    ChangeListener listener_;
    FILE* event_trace_ = nullptr;
    WriteLog* log_;
    Scheduler scheduler_;  // last: its thread stops before the state above goes away
};

// Escapes bytes for one log line ("\n", "\r", "\t", "\\", "\xHH") and back.
std::string escape_bytes(const std::string& bytes);
std::string unescape_bytes(const std::string& text);

}  // namespace hdgrab::sim
