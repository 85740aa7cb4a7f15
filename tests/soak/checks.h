// What a soak run checks: notifications against the announced geometries, and flat resources.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/harness/appliance.h"
#include "sim/harness/proc_sample.h"

namespace hdgrab::soak {

// The exact bytes of the service's "res_change" message for a geometry.
std::string res_change_text(const test::Geometry& geometry);

// Checks every notification the clients receive against the announcements of the simulated
// bridge. The service may skip an announcement (a newer one came before the handshake ended, or
// it repeated the running geometry) and a client misses what is sent while it is not in the
// slot, but what arrives must be the exact text of an announced geometry, and the messages of
// all connections, taken in the order the connections were opened, must follow the order of
// the announcements: no message twice, none older than one already seen, none invented.
class NotificationChecker {
  public:
    // Records an announcement; call it before the bridge publishes it.
    void announced(const test::Geometry& geometry);
    // Checks one message; on a fault returns false and says why.
    bool received(const std::string& text, std::string& why);

    size_t announcements() const { return expected_.size(); }
    size_t checked() const { return checked_; }
    // Announcements passed over without a message (skipped or missed by a client).
    size_t skipped() const { return skipped_; }

  private:
    std::vector<std::string> expected_;
    size_t next_ = 0;  // the oldest announcement a message may still belong to
    size_t checked_ = 0;
    size_t skipped_ = 0;
};

// First, last and largest reading of the service's descriptors and resident memory.
class ResourceTrack {
  public:
    void add(const harness::ProcessSample& sample);

    bool empty() const { return samples_ == 0; }
    size_t samples() const { return samples_; }
    const harness::ProcessSample& first() const { return first_; }
    const harness::ProcessSample& last() const { return last_; }
    size_t max_descriptors() const { return max_descriptors_; }
    uint64_t max_rss_kib() const { return max_rss_kib_; }
    uint64_t max_rss_anon_kib() const { return max_rss_anon_kib_; }

    // Flat: the last reading has the descriptors of the first, no reading more than
    // `descriptor_slack` above it, and resident memory grew by at most `rss_slack_kib`.
    bool flat(size_t descriptor_slack, uint64_t rss_slack_kib, std::string& why) const;
    // "fd 12/12/13 RSS 5800/5810/5900 KiB (anon 450/460/470)": first/last/max.
    std::string summary() const;

  private:
    size_t samples_ = 0;
    harness::ProcessSample first_;
    harness::ProcessSample last_;
    size_t max_descriptors_ = 0;
    uint64_t max_rss_kib_ = 0;
    uint64_t max_rss_anon_kib_ = 0;
};

}  // namespace hdgrab::soak
