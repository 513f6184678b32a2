#pragma once
// Confinement of a decoder process that works only on descriptors it is given.

namespace vf {

// From here on the process may write no file, read none but the system's own
// (libraries, settings) and make no network connection (Landlock, where the
// kernel has it); descriptors already open stay usable.
// Returns the kernel's Landlock version, or 0 when the kernel offers none.
int denyNewFilesAndConnections();

// From here on the system calls no decoder makes fail with EPERM: starting
// programs, new sockets, reaching into other processes, and the kernel's
// rarely used and often attacked interfaces (BPF, keyrings, user faults,
// io_uring, namespaces, modules). False when the filter could not be set.
bool denyUnusedSystemCalls();

}  // namespace vf
