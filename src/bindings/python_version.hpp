#pragma once

#include <string>

namespace velk::bindings {

// True when the interpreter's version string belongs to the "major.minor" release
// the module was built for: it must start with that text and not continue with a
// digit (so "3.110" is not "3.11").
bool interpreterVersionMatches(const std::string& builtFor, const std::string& interpreterVersion);

}  // namespace velk::bindings
