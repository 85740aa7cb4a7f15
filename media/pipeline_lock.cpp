#include "media/pipeline_lock.h"

namespace hdgrab {

std::mutex& pipeline_mutex() noexcept {
    static std::mutex mutex;
    return mutex;
}

}  // namespace hdgrab
