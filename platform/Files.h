#pragma once
// File operations the standard library lacks.

#include <optional>
#include <string>
#include <vector>

namespace vf {

// The names in the folder open at dirFd, without "." and "..". It reads through
// a description of its own, so the caller's descriptor keeps its place; empty
// when the folder cannot be read.
std::vector<std::string> folderEntries(int dirFd);

// A path by which this process reaches the folder open at dirFd whatever its
// rights on the folders above it (a scan that gave up root, writing into a
// folder in root's home); nothing where the system offers none.
std::optional<std::string> pathThroughDescriptor(int dirFd);

// Empties the folder `name` (relative to parentFd) one level deep and removes
// it. It never follows a link: a link inside is removed itself, a folder inside
// is left (and so is the folder).
void removeFlatFolder(int parentFd, const char* name);

// Renames from (relative to fromDir) to `to` (relative to toDir; AT_FDCWD for
// either) without ever replacing an existing name: 0, or the error number
// (EEXIST when `to` is taken). Where the file system cannot rename so, a hard
// link stands in, which fails on a taken name too.
int renameNoReplace(int fromDir, const char* from, int toDir, const char* to);

}  // namespace vf
