#include "media/media_handles.h"

#include <dlfcn.h>
#include <sys/mman.h>

#include <utility>

namespace hdgrab::media {

SharedLibrary& SharedLibrary::operator=(SharedLibrary&& other) noexcept {
    if (this != &other) {
        reset();
        handle_ = other.release();
    }
    return *this;
}

SharedLibrary SharedLibrary::open_lazy(const std::string& path) {
    SharedLibrary library;
    library.handle_ = ::dlopen(path.c_str(), RTLD_LAZY);
    return library;
}

void* SharedLibrary::symbol(const char* name) const noexcept {
    return handle_ != nullptr ? ::dlsym(handle_, name) : nullptr;
}

void* SharedLibrary::release() noexcept {
    return std::exchange(handle_, nullptr);
}

void SharedLibrary::reset() noexcept {
    if (handle_ != nullptr) {
        (void)::dlclose(std::exchange(handle_, nullptr));
    }
}

MemoryMapping::MemoryMapping(MemoryMapping&& other) noexcept
    : address_(std::exchange(other.address_, nullptr)), length_(std::exchange(other.length_, 0)) {}

MemoryMapping& MemoryMapping::operator=(MemoryMapping&& other) noexcept {
    if (this != &other) {
        reset();
        address_ = std::exchange(other.address_, nullptr);
        length_ = std::exchange(other.length_, 0);
    }
    return *this;
}

void MemoryMapping::reset() noexcept {
    if (address_ != nullptr) {
        (void)::munmap(std::exchange(address_, nullptr), length_);
        length_ = 0;
    }
}

}  // namespace hdgrab::media
