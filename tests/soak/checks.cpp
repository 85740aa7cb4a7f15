#include "tests/soak/checks.h"

#include <fmt/format.h>

#include <algorithm>

namespace hdgrab::soak {

std::string res_change_text(const test::Geometry& geometry) {
    return fmt::format(R"({{"fps":{},"height":{},"type":"res_change","width":{}}})", geometry.fps,
                       geometry.height, geometry.width);
}

void NotificationChecker::announced(const test::Geometry& geometry) {
    expected_.push_back(res_change_text(geometry));
}

bool NotificationChecker::received(const std::string& text, std::string& why) {
    // The oldest announcement the message can belong to: matching the earliest keeps every
    // later announcement available to the messages still to come.
    const auto begin = expected_.begin() + static_cast<std::ptrdiff_t>(next_);
    const auto match = std::find(begin, expected_.end(), text);
    if (match == expected_.end()) {
        const bool seen_before = std::find(expected_.begin(), begin, text) != begin;
        why = seen_before ? fmt::format(
                                "message {} repeats or comes after a newer one "
                                "(announcement {} of {} expected next)",
                                text, next_ + 1, expected_.size())
                          : fmt::format("message {} was never announced", text);
        return false;
    }
    const auto index = static_cast<size_t>(match - expected_.begin());
    skipped_ += index - next_;
    next_ = index + 1;
    ++checked_;
    return true;
}

void ResourceTrack::add(const harness::ProcessSample& sample) {
    if (samples_ == 0) {
        first_ = sample;
    }
    last_ = sample;
    ++samples_;
    max_descriptors_ = std::max(max_descriptors_, sample.descriptors);
    max_rss_kib_ = std::max(max_rss_kib_, sample.rss_kib);
    max_rss_anon_kib_ = std::max(max_rss_anon_kib_, sample.rss_anon_kib);
}

bool ResourceTrack::flat(size_t descriptor_slack, uint64_t rss_slack_kib, std::string& why) const {
    if (samples_ < 2) {
        why = "fewer than two readings of the service";
        return false;
    }
    if (last_.descriptors != first_.descriptors ||
        max_descriptors_ > first_.descriptors + descriptor_slack) {
        why = fmt::format("descriptors not flat: first {}, last {}, max {}", first_.descriptors,
                          last_.descriptors, max_descriptors_);
        return false;
    }
    if (last_.rss_kib > first_.rss_kib + rss_slack_kib) {
        why = fmt::format("resident memory grew by {} KiB (first {}, last {}, allowed {})",
                          last_.rss_kib - first_.rss_kib, first_.rss_kib, last_.rss_kib,
                          rss_slack_kib);
        return false;
    }
    return true;
}

std::string ResourceTrack::summary() const {
    if (samples_ == 0) {
        return "no readings";
    }
    return fmt::format("fd {}/{}/{}, VmRSS {}/{}/{} KiB (anon {}/{}/{}), {} readings",
                       first_.descriptors, last_.descriptors, max_descriptors_, first_.rss_kib,
                       last_.rss_kib, max_rss_kib_, first_.rss_anon_kib, last_.rss_anon_kib,
                       max_rss_anon_kib_, samples_);
}

}  // namespace hdgrab::soak
