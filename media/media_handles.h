// Owners of the dynamically opened sensor library and of memory mappings.
#pragma once

#include <cstddef>
#include <string>

namespace hdgrab::media {

// Move-only owner of one dlopen handle; closes it with dlclose.
class SharedLibrary {
  public:
    SharedLibrary() = default;
    ~SharedLibrary() { reset(); }
    SharedLibrary(SharedLibrary&& other) noexcept : handle_(other.release()) {}
    SharedLibrary& operator=(SharedLibrary&& other) noexcept;
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    // Opens `path` with lazy binding; the result is empty when the loader refuses it.
    static SharedLibrary open_lazy(const std::string& path);

    void* get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != nullptr; }
    // Address of the symbol `name`, or null.
    void* symbol(const char* name) const noexcept;
    void* release() noexcept;
    // Closes the library (if open).
    void reset() noexcept;

  private:
    void* handle_ = nullptr;
};

// Owner of one mmap(2) region; unmaps it in the destructor.
class MemoryMapping {
  public:
    MemoryMapping() = default;
    MemoryMapping(void* address, size_t length) noexcept : address_(address), length_(length) {}
    ~MemoryMapping() { reset(); }
    MemoryMapping(MemoryMapping&& other) noexcept;
    MemoryMapping& operator=(MemoryMapping&& other) noexcept;
    MemoryMapping(const MemoryMapping&) = delete;
    MemoryMapping& operator=(const MemoryMapping&) = delete;

    void* get() const noexcept { return address_; }
    explicit operator bool() const noexcept { return address_ != nullptr; }
    void reset() noexcept;

  private:
    void* address_ = nullptr;
    size_t length_ = 0;
};

}  // namespace hdgrab::media
