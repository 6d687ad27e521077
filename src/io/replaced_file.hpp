#pragma once

#include <cstddef>
#include <filesystem>

namespace velk::io {

// Replaces the file at path by the bytes in one step: they are written to a hidden temporary file
// beside it (".<name>.<random>.tmp"), flushed to the disk and renamed over it; the folder entry is then
// flushed too. A write that fails part way (a full disk, a file size limit) or a process killed part way
// leaves the previous file as it was, never part of the new one. A new file gets the permissions an
// ordinary open would give it; a replaced one keeps its own. A link is followed and the file it names is
// replaced; a device, pipe or socket (/dev/null, /dev/stdout) is written into directly. On failure the temporary is
// removed, the target is untouched and errno says why.
enum class Replacement {
    Done,
    NotOpened,   // the temporary could not be made (a missing or read-only folder, a name too long)
    NotWritten,  // writing, flushing or renaming it failed (a full disk, a file size limit)
};
Replacement replaceFile(const std::filesystem::path& path, const void* data, std::size_t size);

}  // namespace velk::io
