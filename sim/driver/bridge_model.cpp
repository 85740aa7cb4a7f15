#include "sim/driver/bridge_model.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <fmt/format.h>

namespace hdgrab::sim {

const char* file_name(BridgeFile file) {
    switch (file) {
        case BridgeFile::status:
            return "status";
        case BridgeFile::width:
            return "width";
        case BridgeFile::height:
            return "height";
        case BridgeFile::fps:
            return "fps";
        case BridgeFile::power:
            return "power";
    }
    return "?";
}

std::optional<BridgeFile> file_from_name(const std::string& name) {
    for (BridgeFile file : kAllBridgeFiles) {
        if (name == file_name(file)) {
            return file;
        }
    }
    return std::nullopt;
}

bool is_writable(BridgeFile file) {
    return file == BridgeFile::status || file == BridgeFile::power;
}

std::string escape_bytes(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        switch (c) {
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                if (c < 0x20 || c >= 0x7f) {
                    out += fmt::format("\\x{:02x}", c);
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

std::string unescape_bytes(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char next = text[++i];
        switch (next) {
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case '0':
                out += '\0';
                break;
            case 'x':
                if (i + 2 < text.size() && isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                    isxdigit(static_cast<unsigned char>(text[i + 2]))) {
                    out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
                    i += 2;
                } else {
                    out += "\\x";
                }
                break;
            default:
                out += next;
        }
    }
    return out;
}

// ---- WriteLog ---------------------------------------------------------------------------------

WriteLog::WriteLog(const std::string& path)
    : fd_(path.empty() ? -1
                       : ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)),
      path_(path) {}

void WriteLog::record(BridgeFile file, const std::string& bytes) {
    if (!fd_) {
        return;
    }
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const double ms = static_cast<double>(now.tv_sec) * 1000.0 + now.tv_nsec / 1e6;
    const std::string line =
        fmt::format("{:.3f} {} {}\n", ms, file_name(file), escape_bytes(bytes));
    std::lock_guard lock(mutex_);
    // One write(2) per line so a reader never sees half a line.
    (void)!::write(fd_.get(), line.data(), line.size());
}

std::string WriteLog::text() const {
    std::lock_guard lock(mutex_);
    std::ifstream in(path_);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// ---- Scheduler --------------------------------------------------------------------------------

Scheduler::Scheduler() : worker_([this] { run(); }) {}

Scheduler::~Scheduler() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    worker_.join();
}

uint64_t Scheduler::schedule(std::chrono::milliseconds delay, std::function<void()> action) {
    std::lock_guard lock(mutex_);
    const uint64_t token = next_token_++;
    queue_.emplace(std::chrono::steady_clock::now() + delay,
                   std::make_pair(token, std::move(action)));
    wake_.notify_all();
    return token;
}

void Scheduler::cancel(uint64_t token) {
    std::lock_guard lock(mutex_);
    for (auto it = queue_.begin(); it != queue_.end(); ++it) {
        if (it->second.first == token) {
            queue_.erase(it);
            return;
        }
    }
}

void Scheduler::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (queue_.empty()) {
            wake_.wait(lock);
            continue;
        }
        const auto due = queue_.begin()->first;
        if (std::chrono::steady_clock::now() < due) {
            wake_.wait_until(lock, due);
            continue;
        }
        auto action = std::move(queue_.begin()->second.second);
        queue_.erase(queue_.begin());
        lock.unlock();
        action();
        lock.lock();
    }
}

// ---- BridgeModel ------------------------------------------------------------------------------

BridgeModel::BridgeModel(Geometry source, std::string status, WriteLog* log)
    : geometry_(source), status_(std::move(status)), log_(log) {}

BridgeModel::~BridgeModel() = default;

void BridgeModel::set_change_listener(ChangeListener listener) {
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
}

std::optional<std::string> BridgeModel::read(BridgeFile file, bool opened_before) const {
    std::lock_guard lock(mutex_);
    if (hidden_.contains(file) && !opened_before) {
        return std::nullopt;
    }
    if (auto it = garbage_.find(file); it != garbage_.end()) {
        return it->second;
    }
    switch (file) {
        case BridgeFile::status:
            return status_ + "\n";
        case BridgeFile::width:
            return fmt::format("{}\n", geometry_.width);
        case BridgeFile::height:
            return fmt::format("{}\n", geometry_.height);
        case BridgeFile::fps:
            return fmt::format("{}\n", geometry_.fps);
        case BridgeFile::power:
            return powered_ ? "1\n" : "0\n";
    }
    return std::nullopt;
}

std::pair<std::string, uint64_t> BridgeModel::read_status() const {
    std::lock_guard lock(mutex_);
    if (auto it = garbage_.find(BridgeFile::status); it != garbage_.end()) {
        return {it->second, generation_};
    }
    return {status_ + "\n", generation_};
}

uint64_t BridgeModel::generation() const {
    std::lock_guard lock(mutex_);
    return generation_;
}

bool BridgeModel::visible(BridgeFile file) const {
    std::lock_guard lock(mutex_);
    return !hidden_.contains(file);
}

uint64_t BridgeModel::set_status_locked(const std::string& text) {
    status_ = text;
    return ++generation_;
}

void BridgeModel::set_event_trace(FILE* out) {
    std::lock_guard lock(mutex_);
    event_trace_ = out;
}

void BridgeModel::publish(uint64_t generation) {
    ChangeListener listener;
    {
        std::lock_guard lock(mutex_);
        listener = listener_;
        if (event_trace_) {
            timespec now{};
            ::clock_gettime(CLOCK_MONOTONIC, &now);
            std::fprintf(event_trace_, "%.3f status %s (generation %llu)\n",
                         static_cast<double>(now.tv_sec) * 1000.0 + now.tv_nsec / 1e6,
                         escape_bytes(status_).c_str(),
                         static_cast<unsigned long long>(generation));
            std::fflush(event_trace_);
        }
    }
    if (listener) {
        listener(generation);
    }
}

void BridgeModel::write(BridgeFile file, const std::string& bytes) {
    if (log_) {
        log_->record(file, bytes);
    }
    // A value is one line; the line feed the service appends is not part of it.
    std::string value = bytes;
    if (!value.empty() && value.back() == '\n') {
        value.pop_back();
    }
    if (file == BridgeFile::status) {
        handle_status_write(value);
    } else if (file == BridgeFile::power) {
        handle_power_write(value);
    }
}

void BridgeModel::handle_status_write(const std::string& value) {
    std::lock_guard lock(mutex_);
    if (value != kHandshakeAck || status_ != kStatusNewRes || !handshake_enabled_ || !powered_) {
        return;
    }
    // The acknowledgement belongs to the announcement current now; a newer announcement made
    // before the delay ends needs its own.
    const uint64_t acknowledged = generation_;
    scheduler_.cancel(handshake_token_);
    handshake_token_ = scheduler_.schedule(handshake_delay_,
                                           [this, acknowledged] { handshake_done(acknowledged); });
}

void BridgeModel::handshake_done(uint64_t generation) {
    uint64_t published = 0;
    {
        std::lock_guard lock(mutex_);
        if (generation_ != generation || status_ != kStatusNewRes || !powered_) {
            return;
        }
        ++handshakes_;
        published = set_status_locked(kStatusStable);
    }
    publish(published);
}

void BridgeModel::handle_power_write(const std::string& value) {
    uint64_t published = 0;
    {
        std::lock_guard lock(mutex_);
        if (value == "0" && powered_) {
            // The bridge is off: no input, no pending handshake, no pending return.
            powered_ = false;
            scheduler_.cancel(handshake_token_);
            scheduler_.cancel(power_token_);
            published = set_status_locked(kStatusDisappear);
        } else if (value == "1" && !powered_) {
            powered_ = true;
            ++power_cycles_;
            power_token_ = scheduler_.schedule(power_delay_, [this] { power_restored(); });
        }
    }
    if (published != 0) {
        publish(published);
    }
}

void BridgeModel::power_restored() {
    uint64_t published = 0;
    {
        std::lock_guard lock(mutex_);
        if (!powered_) {
            return;
        }
        // A reset makes the bridge lock on the source again: bad timing is gone.
        bad_timing_.reset();
        if (plugged_) {
            published = set_status_locked(kStatusNewRes);
        }
    }
    if (published != 0) {
        publish(published);
    }
}

template <typename Change>
void BridgeModel::change_input(const char* status, Change&& change) {
    uint64_t published = 0;
    {
        std::lock_guard lock(mutex_);
        change();
        if (powered_) {
            published = set_status_locked(status);
        }
    }
    if (published != 0) {
        publish(published);
    }
}

void BridgeModel::announce(Geometry geometry) {
    change_input(kStatusNewRes, [&] {
        geometry_ = geometry;
        plugged_ = true;
        bad_timing_.reset();
    });
}

void BridgeModel::unplug() {
    change_input(kStatusDisappear, [&] { plugged_ = false; });
}

void BridgeModel::replug() {
    change_input(kStatusNewRes, [&] {
        plugged_ = true;
        bad_timing_.reset();
    });
}

void BridgeModel::bad_timing(const char* status) {
    change_input(status, [&] { bad_timing_ = status; });
}

void BridgeModel::set_status(const std::string& text) {
    uint64_t published = 0;
    {
        std::lock_guard lock(mutex_);
        published = set_status_locked(text);
    }
    publish(published);
}

void BridgeModel::notify() {
    uint64_t published = 0;
    {
        std::lock_guard lock(mutex_);
        published = ++generation_;
    }
    publish(published);
}

void BridgeModel::set_garbage(BridgeFile file, std::string content) {
    std::lock_guard lock(mutex_);
    garbage_[file] = std::move(content);
}

void BridgeModel::restore(std::optional<BridgeFile> file) {
    std::lock_guard lock(mutex_);
    if (file) {
        garbage_.erase(*file);
        hidden_.erase(*file);
    } else {
        garbage_.clear();
        hidden_.clear();
    }
}

void BridgeModel::set_hidden(BridgeFile file, bool hidden) {
    std::lock_guard lock(mutex_);
    if (hidden) {
        hidden_.insert(file);
    } else {
        hidden_.erase(file);
    }
}

void BridgeModel::set_handshake(bool enabled) {
    std::lock_guard lock(mutex_);
    handshake_enabled_ = enabled;
}

void BridgeModel::set_handshake_delay(std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    handshake_delay_ = delay;
}

void BridgeModel::set_power_delay(std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    power_delay_ = delay;
}

std::string BridgeModel::describe() const {
    std::lock_guard lock(mutex_);
    std::string hidden;
    for (BridgeFile file : hidden_) {
        hidden += hidden.empty() ? "" : ",";
        hidden += file_name(file);
    }
    std::string garbage;
    for (const auto& [file, content] : garbage_) {
        garbage += garbage.empty() ? "" : ",";
        garbage += file_name(file);
    }
    return fmt::format(
        "status={}\nwidth={}\nheight={}\nfps={}\nplugged={}\npowered={}\nhandshake={}\n"
        "handshake_delay_ms={}\npower_delay_ms={}\ngeneration={}\nhandshakes={}\npower_cycles={}\n"
        "hidden={}\ngarbage={}\n",
        escape_bytes(status_), geometry_.width, geometry_.height, geometry_.fps, plugged_ ? 1 : 0,
        powered_ ? 1 : 0, handshake_enabled_ ? "on" : "off", handshake_delay_.count(),
        power_delay_.count(), generation_, handshakes_, power_cycles_, hidden, garbage);
}

}  // namespace hdgrab::sim
