#pragma once
// File operations the standard library lacks.

namespace vf {

// Renames from (relative to fromDir) to `to` (relative to toDir; AT_FDCWD for
// either) without ever replacing an existing name: 0, or the error number
// (EEXIST when `to` is taken). Where the file system cannot rename so, a hard
// link stands in, which fails on a taken name too.
int renameNoReplace(int fromDir, const char* from, int toDir, const char* to);

}  // namespace vf
