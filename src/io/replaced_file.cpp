#include "io/replaced_file.hpp"

#include <cerrno>
#include <random>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace velk::io {
namespace {

fs::path temporaryBeside(const fs::path& path) {
    std::random_device entropy;
    const std::string name = "." + path.filename().string() + "." + std::to_string(entropy()) + ".tmp";
    return path.has_parent_path() ? path.parent_path() / name : fs::path(name);
}

bool writeAll(int descriptor, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(descriptor, data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// Creates the temporary exclusively; O_CREAT's mode goes through the umask as for any new file.
int createTemporary(const fs::path& temporary) {
    return ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}

void keepModeOf(const fs::path& path, int descriptor) {
    struct stat existing {};
    if (::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
        ::fchmod(descriptor, existing.st_mode & 07777);
    }
}

void syncFolderOf(const fs::path& path) {
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    const int descriptor = ::open(folder.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor >= 0) {
        ::fsync(descriptor);
        ::close(descriptor);
    }
}

// A device, a pipe or a socket (/dev/null, /dev/stdout) is written into as it is: renaming a file over
// it would replace the device itself.
Replacement writeInPlace(const fs::path& path, const void* data, std::size_t size) {
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return Replacement::NotOpened;
    }
    const bool written = writeAll(descriptor, static_cast<const char*>(data), size);
    const int reason = errno;
    ::close(descriptor);
    errno = reason;
    return written ? Replacement::Done : Replacement::NotWritten;
}

// The file a link names, so that the link stays a link and its target is replaced.
fs::path followLinks(const fs::path& path) {
    std::error_code ignored;
    return fs::is_symlink(fs::symlink_status(path, ignored)) ? fs::weakly_canonical(path, ignored) : path;
}

bool isSpecialFile(const fs::path& path) {
    std::error_code ignored;
    const fs::file_status status = fs::status(path, ignored);
    return fs::exists(status) && !fs::is_regular_file(status) && !fs::is_directory(status);
}

Replacement failAndRemove(const fs::path& temporary) {
    const int reason = errno;
    ::unlink(temporary.c_str());
    errno = reason;
    return Replacement::NotWritten;
}

}  // namespace

Replacement replaceFile(const fs::path& given, const void* data, std::size_t size) {
    const fs::path path = followLinks(given);
    if (isSpecialFile(path)) {
        return writeInPlace(path, data, size);
    }
    const fs::path temporary = temporaryBeside(path);
    const int descriptor = createTemporary(temporary);
    if (descriptor < 0) {
        return Replacement::NotOpened;
    }
    keepModeOf(path, descriptor);
    const bool written = writeAll(descriptor, static_cast<const char*>(data), size) && ::fsync(descriptor) == 0;
    const int reason = errno;
    const bool closed = ::close(descriptor) == 0;
    if (!written || !closed) {
        if (!written) {
            errno = reason;
        }
        return failAndRemove(temporary);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        return failAndRemove(temporary);
    }
    syncFolderOf(path);
    return Replacement::Done;
}

}  // namespace velk::io
