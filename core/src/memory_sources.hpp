// The readers behind morvel/memory.hpp, each of which its unit tests call
// on recorded text or on a fake file tree.
#pragma once

#include "morvel/memory.hpp"

#include <cstdint>
#include <string>

namespace morvel::memory::detail {

// A cgroup limit file: "max" or a value at or above 2^60 is no limit.
Bytes parse_limit(const std::string &text) noexcept;

// The value of `key` (in kB, as /proc/meminfo and /proc/self/status give
// it) in bytes.
Bytes parse_kilobytes(const std::string &text, const std::string &key) noexcept;

// The value of `key` in a memory.stat file.
Bytes parse_stat(const std::string &text, const std::string &key) noexcept;

// The clean file cache a cgroup's memory.stat reports (v2 if `unified`, else
// v1), which the kernel reclaims before the cgroup runs out.
std::uint64_t clean_file_cache(const std::string &stat, bool unified);

// cgroup_headroom() with every path read below `root` ("" for this
// system's own): the cgroups are found afresh at each call. Never throws.
Bytes cgroup_headroom_below(const std::string &root) noexcept;

} // namespace morvel::memory::detail
