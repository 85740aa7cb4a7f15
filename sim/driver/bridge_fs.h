// FUSE file system presenting the simulated bridge as the bridge directory of a /proc stand-in.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "sim/driver/bridge_model.h"

struct fuse;
struct fuse_pollhandle;

namespace hdgrab::sim {

inline constexpr const char* kBridgeDirName = "lt6911_info";
inline constexpr const char* kDefaultProcTarget = "/.hostproc";

// The root holds the bridge directory; every other name is a symlink to the same name under
// `proc_target`, where the sandbox mounts a real procfs, so /proc/self and friends keep working
// when this file system is bound as /proc.
//
// A descriptor opened on `status` reports POLLPRI from the moment the status changes until that
// descriptor reads at offset 0 again; each open file keeps its own record of what it has seen.
class BridgeFs {
  public:
    BridgeFs(BridgeModel& model, std::string proc_target);
    ~BridgeFs();
    BridgeFs(const BridgeFs&) = delete;
    BridgeFs& operator=(const BridgeFs&) = delete;

    // Mounts at `mountpoint`; false after printing why.
    bool mount(const std::string& mountpoint);
    // Serves requests until exit() or a termination signal; then unmounts.
    int run();
    // Ends run() from any thread.
    void exit();

    // Used by the FUSE callbacks.
    struct StatusHandle {
        uint64_t seen_generation = 0;
        fuse_pollhandle* poll_handle = nullptr;
    };
    BridgeModel& model() { return model_; }
    const std::string& proc_target() const { return proc_target_; }
    uint64_t open_status();
    void release_status(uint64_t id);
    // Reads the status at `offset`; a read at offset 0 acknowledges the notification.
    std::string read_status(uint64_t id, int64_t offset);
    // Remembers the poll handle (taking it over) and answers whether a change is pending.
    bool poll_status(uint64_t id, fuse_pollhandle* poll_handle);
    // Wakes every waiter whose descriptor has not seen `generation`.
    void status_changed(uint64_t generation);

  private:
    BridgeModel& model_;
    std::string proc_target_;
    fuse* fuse_ = nullptr;
    bool mounted_ = false;
    std::mutex handles_mutex_;
    std::map<uint64_t, StatusHandle> handles_;
    uint64_t next_handle_ = 1;
};

}  // namespace hdgrab::sim
