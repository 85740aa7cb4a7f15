// The control socket: its set-up with the epoll instance, the single client slot and the close.
#pragma once

#include <spdlog/logger.h>
#include <sys/epoll.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>

#include "base/service_state.h"
#include "base/unique_fd.h"

namespace hdgrab {

// The one local endpoint of the service.
inline constexpr const char* kSocketPath = "/run/kvm/vin_sock";
// Connections the kernel queues before the Capture thread accepts them.
inline constexpr int kListenBacklog = 5;
// Events returned by one wait of the Capture thread.
inline constexpr int kMaxEvents = 10;
// How long a send to the client may wait for buffer space before it fails.
inline constexpr std::chrono::milliseconds kClientSendTimeout{1000};

// Output buffer of the Capture thread's waits on the control epoll instance.
using ControlEvents = std::array<epoll_event, kMaxEvents>;

// What `main` keeps in its own frame from the set-up until the Capture thread has been joined:
// the epoll instance (only the listening socket is registered) and the event array. Neither
// copyable nor movable, so the references lent to the Capture thread stay valid.
struct ControlChannel {
    UniqueFd epoll;
    ControlEvents events{};

    ControlChannel() = default;
    ControlChannel(const ControlChannel&) = delete;
    ControlChannel& operator=(const ControlChannel&) = delete;
};

// Creates the listening socket at `path` (stored in `state.server_fd`, even when creation fails),
// creating the parent directory when it is missing and removing a stale file at `path`, makes it
// non-blocking and registers it for EPOLLIN (data.fd = the listening descriptor) with a new epoll
// instance. Returns that epoll instance, or an invalid descriptor after a failure, which is logged
// to `log`. Nothing done before a failure is undone: the caller ends the process.
UniqueFd control_socket_setup(_ax_vin_data_t& state, const std::shared_ptr<spdlog::logger>& log,
                              const std::string& path = kSocketPath);

// The accept step: takes the next pending connection into the client slot. The new connection
// is blocking, close-on-exec and gets a send time-out of kClientSendTimeout. A failed accept
// empties the slot. The connection that held the slot before is closed, since nothing is ever
// sent to it again.
//
// Another thread may have loaded the displaced descriptor just before and be sending on it; its
// send then either still reaches the displaced peer, fails with EBADF, or (when the number was
// reused meanwhile) goes to whatever holds that number now. send() fails on anything but a
// socket, and the only other sockets of the service are the listener and newer clients, so the
// worst case is a message reaching the newest client. A caller that needs more must serialise
// its load-and-send with this step.
//
// Returns 0 when a connection took the slot, otherwise the error of accept (the failure itself
// is not logged here: see accept_lacks_resources).
int control_socket_accept(_ax_vin_data_t& state, const std::shared_ptr<spdlog::logger>& log);

// An eventfd that becomes readable whenever a connection takes the client slot, so a thread
// that waits for a client sleeps until one comes instead of looking at the slot again and again;
// -1 when it cannot be created. Created on first use (control_socket_setup makes that use);
// clear_client_arrival() resets it.
int client_arrival_fd() noexcept;
void clear_client_arrival() noexcept;

// True for the accept errors that leave the connection pending until descriptors or memory are
// freed (EMFILE, ENFILE, ENOBUFS, ENOMEM): the listener stays ready, so the caller must pause
// before it tries again. Other errors (a client that gave up meanwhile) need no pause.
bool accept_lacks_resources(int error) noexcept;

// Closes the connection in the client slot, if any, and empties the slot. Safe to call when the
// slot is already empty.
void control_socket_close_client(_ax_vin_data_t& state);

// The final close: closes the listening socket, marks `state.server_fd` empty and removes the
// socket file at `path` (a missing file is fine).
void control_socket_close(_ax_vin_data_t& state, const std::string& path = kSocketPath);

}  // namespace hdgrab
