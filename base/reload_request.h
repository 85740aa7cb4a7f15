// A configuration reload asked for by SIGHUP and applied by a worker that already waits.
#pragma once

namespace hdgrab {

// What applies a reload; set once by the service frame before the workers start.
using ReloadHandler = void (*)();

// An eventfd that is readable while a reload request is pending. A worker adds it to the epoll
// set it waits on anyway. Created on first use; call it once from normal context before the
// signal handler that requests reloads is installed.
int reload_event_fd() noexcept;

// Records a reload request. Async-signal-safe: one atomic load and one write(2). Nothing once a
// stop began.
void request_reload() noexcept;

// Makes `handler` the one apply_reload_request() runs.
void set_reload_handler(ReloadHandler handler) noexcept;

// Takes the pending request (several requests in a row count as one) and, while the service runs
// and a handler is set, runs the handler. Called by the worker whose wait saw reload_event_fd().
void apply_reload_request();

}  // namespace hdgrab
