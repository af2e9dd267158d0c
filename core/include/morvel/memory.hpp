// How much memory this process can still get: the least of what the machine
// has, what its container (cgroup) and resource limits allow, and what the
// system reports as available now. One function per source; a source that
// cannot be read on this system gives nothing and is left out, so a missing
// source never refuses anything.
#pragma once

#include <cstdint>
#include <optional>

namespace morvel::memory {

using Bytes = std::optional<std::uint64_t>;

// Installed physical memory. Cached after the first call. Never throws.
Bytes physical_memory() noexcept;

// What the system could hand out now without swapping out others:
// Linux MemAvailable plus free swap; macOS free, inactive and purgeable
// pages; Windows available physical memory. Reads the OS each call.
Bytes available_memory() noexcept;

// The headroom of the cgroup this process runs in and of each of its
// ancestors (Linux, cgroup v2 memory.max or v1 memory.limit_in_bytes, less
// what each already uses, not counting clean file cache it can reclaim): the
// least of them, or nothing where no cgroup sets a limit. The cgroup paths
// are found once; the limits are read each call. Never throws.
Bytes cgroup_headroom() noexcept;

// The headroom under RLIMIT_AS and RLIMIT_DATA, less what this process
// already maps (Linux, /proc/self/status); nothing where neither is set.
Bytes resource_limit_headroom() noexcept;

// The largest single allocation the system would grant at all: physical
// memory plus swap (Linux's default overcommit refuses more at once) and no
// more than the resource limits leave. Never throws.
Bytes allocatable_memory() noexcept;

// The least of all the sources above that can be read here, or nothing if
// none can. Costs a few small file reads on Linux: call it only when the
// memory at stake is large.
Bytes obtainable_memory() noexcept;

} // namespace morvel::memory
