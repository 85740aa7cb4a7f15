#include "app/version.h"

#include <fmt/format.h>

#include "app/build_version.h"

namespace hdgrab {

std::string version_line() {
    return fmt::format("{} - {} - {}", build::kGitHash, build::kTreeState, build::kBuildTime);
}

}  // namespace hdgrab
