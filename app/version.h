// The build's identity as printed by --version.
#pragma once

#include <string>

namespace hdgrab {

// "<git hash> - <tree state> - <build time>", fixed when the program is built.
std::string version_line();

}  // namespace hdgrab
