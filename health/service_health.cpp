#include "health/service_health.h"

#include <fmt/format.h>

#include <algorithm>
#include <utility>

#include "base/bridge_status.h"

namespace hdgrab {
namespace {

constexpr const char* kReadyAssignment = "READY=1\n";
constexpr const char* kStoppingAssignment = "STOPPING=1\n";
constexpr const char* kStatusAssignment = "STATUS=";

std::string geometry_text(int32_t width, int32_t height, int32_t fps) {
    return fmt::format("{}x{}@{}", width, height, fps);
}

}  // namespace

std::string status_line(const HealthView& view) {
    const ServiceState& state = view.state;
    const std::string recorded = geometry_text(state.width, state.height, state.fps);
    if (view.stopping) {
        return "Stopping";
    }
    switch (view.activity) {
        case PipelineActivity::kStarting:
            return "Bringing the pipeline up at " + recorded;
        case PipelineActivity::kStartFailed:
            return "Pipeline bring-up failed at " + recorded;
        case PipelineActivity::kReconfiguring:
            return "Re-configuring to " +
                   geometry_text(view.target_width, view.target_height, view.target_fps);
        case PipelineActivity::kSettled:
            break;
    }
    if (state.pipeline == PipelineHealth::kIncomplete) {
        if (view.retry_in) {
            return fmt::format("Pipeline incomplete at {}, retrying in {} s", recorded,
                               view.retry_in->count());
        }
        return "Pipeline incomplete at " + recorded;
    }
    if (state.bridge == kStatusDisappear) {
        return "No input from the bridge (disappear)";
    }
    if (state.bridge == kStatusUnknownRes || state.bridge == kStatusErrorRes) {
        return fmt::format("No usable timing from the bridge ({})", state.bridge);
    }
    if (state.pipeline == PipelineHealth::kDown) {
        return "Pipeline down";
    }
    return fmt::format("Serving {}, {}", recorded, state.client ? "client connected" : "no client");
}

ServiceHealth& service_health() {
    static ServiceHealth* const health = new ServiceHealth;
    return *health;
}

void ServiceHealth::attach(HealthOutput output, int32_t width, int32_t height, int32_t fps) {
    std::scoped_lock lock(mutex_, file_mutex_);
    view_ = HealthView{};
    view_.state.width = width;
    view_.state.height = height;
    view_.state.fps = fps;
    view_.state.since = std::chrono::system_clock::now();
    output_ = std::move(output);
    pending_prefix_.clear();
    ready_queued_ = false;
    notify_unsent_ = false;
    publish_failures_ = 0;
    retrying_.store(false);
    written_.clear();
    recorded_.fetch_add(1);
    last_line_ = status_line(view_);
    if (output_.notifier != nullptr) {
        notify_locked();
    }
}

void ServiceHealth::detach() {
    std::scoped_lock lock(mutex_, file_mutex_);
    output_ = HealthOutput{};
    retrying_.store(false);
}

void ServiceHealth::publish() {
    if (recorded_.load() == published_.load() && !retrying_.load()) {
        return;
    }
    std::lock_guard file_lock(file_mutex_);
    std::string text;
    StateFile* file = nullptr;
    uint64_t recorded = 0;
    {
        std::lock_guard lock(mutex_);
        if (notify_unsent_ && output_.notifier != nullptr) {
            notify_locked();
        }
        file = output_.file;
        if (file == nullptr) {
            return;
        }
        recorded = recorded_.load();
        text = state_json(view_.state, output_.pid, output_.version);
    }
    const bool written = text == written_ || file->write(text);
    std::lock_guard lock(mutex_);
    if (written) {
        written_ = std::move(text);
        published_.store(recorded);
        if (!notify_unsent_) {
            publish_failures_ = 0;
            retrying_.store(false);
        }
    } else {
        publish_failed_locked();
    }
}

std::optional<std::chrono::steady_clock::time_point> ServiceHealth::publish_due() {
    if (!retrying_.load()) {
        return std::nullopt;
    }
    std::lock_guard lock(mutex_);
    return publish_due_;
}

void ServiceHealth::publish_failed_locked() {
    ++publish_failures_;
    auto delay = kPublishRetryFirstDelay;
    for (int i = 1; i < publish_failures_ && delay < kPublishRetryMaxDelay; ++i) {
        delay *= 2;
    }
    publish_due_ = std::chrono::steady_clock::now() + std::min(delay, kPublishRetryMaxDelay);
    retrying_.store(true);
}

ServiceState ServiceHealth::state() {
    std::lock_guard lock(mutex_);
    return view_.state;
}

template <typename Change>
void ServiceHealth::record(Change&& change) {
    std::lock_guard lock(mutex_);
    const HealthView before = view_;
    change();
    if (!(view_ == before)) {
        recorded_.fetch_add(1);
    }
    if (output_.notifier == nullptr) {
        pending_prefix_.clear();
        return;
    }
    std::string line = status_line(view_);
    if (line == last_line_ && pending_prefix_.empty() && !notify_unsent_) {
        return;
    }
    last_line_ = std::move(line);
    notify_locked();
}

void ServiceHealth::notify_locked() {
    // Sent under the lock, so the lines of the two workers go out in the order of their changes;
    // the send never waits. A failed one goes out again, with whatever is current then.
    if (output_.notifier->send(pending_prefix_ + kStatusAssignment + last_line_)) {
        pending_prefix_.clear();
        notify_unsent_ = false;
        return;
    }
    notify_unsent_ = true;
    publish_failed_locked();
}

void ServiceHealth::set_pipeline(PipelineHealth pipeline) {
    if (view_.state.pipeline != pipeline) {
        view_.state.pipeline = pipeline;
        view_.state.since = std::chrono::system_clock::now();
    }
}

void ServiceHealth::starting() {
    record([this] {
        view_.activity = PipelineActivity::kStarting;
        set_pipeline(PipelineHealth::kDown);
    });
}

void ServiceHealth::start_failed(const std::string& error) {
    record([this, &error] {
        view_.activity = PipelineActivity::kStartFailed;
        view_.state.last_error = error;
        set_pipeline(PipelineHealth::kIncomplete);
    });
}

void ServiceHealth::serving() {
    record([this] {
        view_.activity = PipelineActivity::kSettled;
        view_.state.last_error.clear();
        set_pipeline(PipelineHealth::kUp);
        // Queued once; it stays queued until a send succeeds.
        if (output_.notifier != nullptr && !ready_queued_) {
            pending_prefix_ += kReadyAssignment;
            ready_queued_ = true;
        }
    });
}

void ServiceHealth::client_changed(bool connected) {
    record([this, connected] { view_.state.client = connected; });
}

void ServiceHealth::torn_down() {
    record([this] {
        view_.state.client = false;
        set_pipeline(PipelineHealth::kDown);
    });
}

void ServiceHealth::driver_missing() {
    record([this] { view_.state.input = InputState::kNoDriver; });
}

void ServiceHealth::driver_found() {
    record([this] {
        if (view_.state.input == InputState::kNoDriver) {
            view_.state.input = InputState::kSignal;
        }
    });
}

void ServiceHealth::bridge_status(const std::string& text) {
    record([this, &text] {
        view_.state.bridge = text;
        if (text == kStatusDisappear) {
            view_.state.input = InputState::kNoSignal;
        } else if (text == kStatusUnknownRes || text == kStatusErrorRes) {
            view_.state.input = InputState::kUnusableTiming;
        } else if (text == kStatusNewRes) {
            view_.state.input = InputState::kSignal;
        } else if (text == kStatusStable && view_.state.input != InputState::kUnsupported) {
            // "stable" after a refused announcement is the same unsupported input, locked.
            view_.state.input = InputState::kSignal;
        }
    });
}

void ServiceHealth::input_unsupported() {
    record([this] { view_.state.input = InputState::kUnsupported; });
}

void ServiceHealth::power_cycle() {
    record([this] { ++view_.state.power_cycles; });
}

void ServiceHealth::reconfiguring(int32_t width, int32_t height, int32_t fps) {
    record([this, width, height, fps] {
        view_.activity = PipelineActivity::kReconfiguring;
        view_.target_width = width;
        view_.target_height = height;
        view_.target_fps = fps;
        view_.retry_in.reset();
        set_pipeline(PipelineHealth::kDown);
    });
}

void ServiceHealth::geometry_recorded(int32_t width, int32_t height, int32_t fps) {
    record([this, width, height, fps] {
        view_.state.width = width;
        view_.state.height = height;
        view_.state.fps = fps;
    });
}

void ServiceHealth::change_succeeded() {
    record([this] {
        view_.activity = PipelineActivity::kSettled;
        view_.retry_in.reset();
        ++view_.state.changes;
        view_.state.last_error.clear();
        set_pipeline(PipelineHealth::kUp);
    });
}

void ServiceHealth::change_failed(const std::string& error) {
    record([this, &error] {
        view_.activity = PipelineActivity::kSettled;
        view_.retry_in.reset();
        ++view_.state.failed_changes;
        view_.state.last_error = error;
        set_pipeline(PipelineHealth::kIncomplete);
    });
}

void ServiceHealth::change_took(std::chrono::milliseconds took) {
    record([this, took] {
        view_.state.last_change_ms = static_cast<uint64_t>(std::max<int64_t>(took.count(), 0));
    });
}

void ServiceHealth::retry_pending(std::optional<std::chrono::seconds> delay) {
    record([this, delay] { view_.retry_in = delay; });
}

void ServiceHealth::stopping() {
    record([this] {
        if (!view_.stopping) {
            view_.stopping = true;
            pending_prefix_ += kStoppingAssignment;
        }
    });
}

void ServiceHealth::notify_manager(const std::string& assignments) {
    std::lock_guard lock(mutex_);
    if (output_.notifier != nullptr) {
        (void)output_.notifier->send(assignments);
    }
}

}  // namespace hdgrab
