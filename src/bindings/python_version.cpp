#include "bindings/python_version.hpp"

namespace velk::bindings {

bool interpreterVersionMatches(const std::string& builtFor, const std::string& interpreterVersion) {
    if (interpreterVersion.compare(0, builtFor.size(), builtFor) != 0) {
        return false;
    }
    if (interpreterVersion.size() == builtFor.size()) {
        return true;
    }
    const char next = interpreterVersion[builtFor.size()];
    return next < '0' || next > '9';
}

}  // namespace velk::bindings
