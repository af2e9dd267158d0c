#include "morvel/memory.hpp"

#include "memory_sources.hpp"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#elif defined(__APPLE__)
#include <mach/mach.h>
#include <sys/sysctl.h>
#include <unistd.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace morvel::memory {

namespace {

// Limits this large mean "none": cgroup v1 reports no limit as a page-
// rounded 2^63 - 1, and no machine has an exbibyte.
constexpr std::uint64_t no_limit = std::uint64_t{1} << 60;

Bytes least(Bytes a, Bytes b) {
  if (!a)
    return b;
  if (!b)
    return a;
  return std::min(*a, *b);
}

std::uint64_t headroom(std::uint64_t limit, std::uint64_t used) {
  return limit > used ? limit - used : 0;
}

[[maybe_unused]] std::optional<std::string> read_file(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  if (!file)
    return std::nullopt;
  std::ostringstream text;
  text << file.rdbuf();
  if (file.bad())
    return std::nullopt;
  return text.str();
}

[[maybe_unused]] Bytes parse_number(const std::string &text) {
  std::size_t position = 0;
  while (position < text.size() &&
         (text[position] == ' ' || text[position] == '\t'))
    ++position;
  if (position == text.size() || text[position] < '0' || text[position] > '9')
    return std::nullopt;
  std::uint64_t value = 0;
  for (;
       position < text.size() && text[position] >= '0' && text[position] <= '9';
       ++position) {
    const auto digit = static_cast<std::uint64_t>(text[position] - '0');
    if (value > (UINT64_MAX - digit) / 10)
      return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

} // namespace

namespace detail {

Bytes parse_limit(const std::string &text) noexcept {
  const Bytes value = parse_number(text);
  if (!value || *value >= no_limit)
    return std::nullopt;
  return value;
}

// "Key:   123 kB" lines.
Bytes parse_kilobytes(const std::string &text,
                      const std::string &key) noexcept {
  const std::string prefix = key + ":";
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.compare(0, prefix.size(), prefix) != 0)
      continue;
    const Bytes kilobytes = parse_number(line.substr(prefix.size()));
    if (!kilobytes || *kilobytes > UINT64_MAX / 1024)
      return std::nullopt;
    return *kilobytes * 1024;
  }
  return std::nullopt;
}

// "key 123" lines.
Bytes parse_stat(const std::string &text, const std::string &key) noexcept {
  const std::string prefix = key + " ";
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line))
    if (line.compare(0, prefix.size(), prefix) == 0)
      return parse_number(line.substr(prefix.size()));
  return std::nullopt;
}

// Clean page cache is reclaimed before the cgroup would run out, whether the
// kernel keeps it on its active or its inactive list: both file lists count,
// less what is dirty or under writeback, which must be written before it
// can go. Shared memory and tmpfs are not among them: the kernel keeps those
// on the anonymous lists, as it keeps the process's own memory. v1 gives the
// cgroup and its descendants as the total_ fields, v2 by its plain ones.
std::uint64_t clean_file_cache(const std::string &stat, bool unified) {
  const char *prefix = unified ? "" : "total_";
  const std::string prefixed(prefix);
  auto field = [&](const char *name) {
    return parse_stat(stat, prefixed + name).value_or(0);
  };
  const std::uint64_t files = field("active_file") + field("inactive_file");
  const std::uint64_t unwritten =
      unified ? field("file_dirty") + field("file_writeback")
              : field("dirty") + field("writeback");
  return files > unwritten ? files - unwritten : 0;
}

} // namespace detail

// ---- Physical memory ----------------------------------------------------

namespace {

Bytes read_physical_memory() {
#if defined(_WIN32)
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (GlobalMemoryStatusEx(&status) == 0)
    return std::nullopt;
  return static_cast<std::uint64_t>(status.ullTotalPhys);
#elif defined(__APPLE__)
  std::uint64_t size = 0;
  std::size_t length = sizeof size;
  if (sysctlbyname("hw.memsize", &size, &length, nullptr, 0) != 0 || size == 0)
    return std::nullopt;
  return size;
#else
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0)
    return std::nullopt;
  return static_cast<std::uint64_t>(pages) *
         static_cast<std::uint64_t>(page_size);
#endif
}

} // namespace

Bytes physical_memory() noexcept {
  static const Bytes installed = read_physical_memory();
  return installed;
}

// ---- Available now ------------------------------------------------------

Bytes available_memory() noexcept {
#if defined(_WIN32)
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (GlobalMemoryStatusEx(&status) == 0)
    return std::nullopt;
  return static_cast<std::uint64_t>(status.ullAvailPhys);
#elif defined(__APPLE__)
  vm_statistics64_data_t statistics{};
  mach_msg_type_number_t count = HOST_VM_INFO64_COUNT;
  if (host_statistics64(mach_host_self(), HOST_VM_INFO64,
                        reinterpret_cast<host_info64_t>(&statistics),
                        &count) != KERN_SUCCESS)
    return std::nullopt;
  const auto page_size = static_cast<std::uint64_t>(sysconf(_SC_PAGE_SIZE));
  return (static_cast<std::uint64_t>(statistics.free_count) +
          statistics.inactive_count + statistics.purgeable_count) *
         page_size;
#else
  // MemAvailable is the kernel's own estimate of what it can hand out
  // without swapping, reclaimable page cache included.
  const auto meminfo = read_file("/proc/meminfo");
  if (!meminfo)
    return std::nullopt;
  const Bytes available = detail::parse_kilobytes(*meminfo, "MemAvailable");
  if (!available)
    return std::nullopt;
  return *available + detail::parse_kilobytes(*meminfo, "SwapFree").value_or(0);
#endif
}

// ---- Containers (Linux cgroups) -----------------------------------------

namespace {

struct CgroupDirectory {
  std::string path;
  bool unified; // cgroup v2
};

[[maybe_unused]] std::vector<std::string> split(const std::string &text,
                                                char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream stream(text);
  while (std::getline(stream, part, separator))
    parts.push_back(part);
  return parts;
}

// The memory cgroup directories of this process, innermost first, up to the
// root of each hierarchy: from /proc/self/cgroup (which cgroup) and
// /proc/self/mountinfo (where its hierarchy is mounted).
[[maybe_unused]] std::vector<CgroupDirectory>
find_cgroups(const std::string &root) {
  std::vector<CgroupDirectory> directories;
  const auto membership = read_file(root + "/proc/self/cgroup");
  const auto mounts = read_file(root + "/proc/self/mountinfo");
  if (!membership || !mounts)
    return directories;

  std::string unified_path;
  std::string memory_path;
  bool in_unified = false;
  bool in_memory = false;
  for (const std::string &line : split(*membership, '\n')) {
    const auto first = line.find(':');
    const auto second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos)
      continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    if (line.compare(0, first, "0") == 0 && controllers.empty()) {
      unified_path = path;
      in_unified = true;
    }
    for (const std::string &controller : split(controllers, ','))
      if (controller == "memory") {
        memory_path = path;
        in_memory = true;
      }
  }

  for (const std::string &line : split(*mounts, '\n')) {
    // id parent major:minor root mount-point options [optional...] - type
    // source super-options
    const auto fields = split(line, ' ');
    const auto dash = static_cast<std::size_t>(
        std::find(fields.begin(), fields.end(), "-") - fields.begin());
    if (fields.size() < 5 || dash + 1 >= fields.size())
      continue;
    const std::string &type = fields[dash + 1];
    const std::string super_options =
        dash + 3 < fields.size() ? fields[dash + 3] : "";
    const std::string &mount_root = fields[3];
    const std::string &mount_point = fields[4];
    bool unified = false;
    std::string path;
    if (type == "cgroup2" && in_unified) {
      unified = true;
      path = unified_path;
    } else if (type == "cgroup" && in_memory) {
      const auto options = split(super_options, ',');
      if (std::find(options.begin(), options.end(), "memory") == options.end())
        continue;
      path = memory_path;
    } else {
      continue;
    }
    // The path is relative to the hierarchy's root; the mount may show only a
    // subtree of it (a container's own cgroup).
    if (mount_root != "/" &&
        path.compare(0, mount_root.size(), mount_root) == 0)
      path = path.substr(mount_root.size());
    std::string directory = root + mount_point + (path == "/" ? "" : path);
    const std::string top = root + mount_point;
    while (true) {
      directories.push_back({directory, unified});
      const auto parent = directory.rfind('/');
      if (directory.size() <= top.size() || parent == std::string::npos ||
          parent < top.size())
        break;
      directory.resize(parent);
    }
  }
  return directories;
}

// The headroom one cgroup directory allows, if it sets a limit.
[[maybe_unused]] Bytes directory_headroom(const CgroupDirectory &cgroup) {
  const char *limit_file =
      cgroup.unified ? "/memory.max" : "/memory.limit_in_bytes";
  const char *usage_file =
      cgroup.unified ? "/memory.current" : "/memory.usage_in_bytes";
  const auto limit_text = read_file(cgroup.path + limit_file);
  if (!limit_text)
    return std::nullopt;
  const Bytes limit = detail::parse_limit(*limit_text);
  if (!limit)
    return std::nullopt;
  const auto usage_text = read_file(cgroup.path + usage_file);
  Bytes used = usage_text ? parse_number(*usage_text) : std::nullopt;
  if (!used)
    return limit;
  if (const auto stat = read_file(cgroup.path + "/memory.stat")) {
    const std::uint64_t cache = detail::clean_file_cache(*stat, cgroup.unified);
    used = *used > cache ? *used - cache : 0;
  }
  return headroom(*limit, *used);
}

} // namespace

namespace {

// The least headroom of the cgroups `find` returns. Never throws: a source
// that cannot be read is left out.
template <typename Find>
Bytes least_headroom_of([[maybe_unused]] const Find &find) noexcept {
#if defined(__linux__)
  try {
    Bytes least_headroom;
    for (const CgroupDirectory &directory : find())
      least_headroom = least(least_headroom, directory_headroom(directory));
    return least_headroom;
  } catch (...) {
    return std::nullopt;
  }
#else
  return std::nullopt;
#endif
}

} // namespace

Bytes detail::cgroup_headroom_below(const std::string &root) noexcept {
  return least_headroom_of([&root] { return find_cgroups(root); });
}

Bytes cgroup_headroom() noexcept {
  return least_headroom_of([]() -> const std::vector<CgroupDirectory> & {
    // Which cgroups this process is in does not change under it in
    // practice; finding them reads two files, so it is done once.
    static const std::vector<CgroupDirectory> own = find_cgroups("");
    return own;
  });
}

// ---- Resource limits ----------------------------------------------------

Bytes resource_limit_headroom() noexcept {
#if defined(__linux__)
  try {
    Bytes least_headroom;
    const auto status = read_file("/proc/self/status");
    const struct {
      int resource;
      const char *usage;
    } limits[] = {{RLIMIT_AS, "VmSize"}, {RLIMIT_DATA, "VmData"}};
    for (const auto &limit : limits) {
      rlimit value{};
      if (getrlimit(limit.resource, &value) != 0 ||
          value.rlim_cur == RLIM_INFINITY)
        continue;
      const Bytes used =
          status ? detail::parse_kilobytes(*status, limit.usage) : std::nullopt;
      least_headroom = least(
          least_headroom, headroom(static_cast<std::uint64_t>(value.rlim_cur),
                                   used.value_or(0)));
    }
    return least_headroom;
  } catch (...) {
    return std::nullopt;
  }
#else
  return std::nullopt;
#endif
}

Bytes allocatable_memory() noexcept {
  Bytes allocatable = physical_memory();
#if defined(__linux__)
  if (allocatable) {
    const auto meminfo = read_file("/proc/meminfo");
    if (meminfo)
      *allocatable +=
          detail::parse_kilobytes(*meminfo, "SwapTotal").value_or(0);
  }
#endif
  return least(allocatable, resource_limit_headroom());
}

Bytes obtainable_memory() noexcept {
  Bytes obtainable = physical_memory();
  obtainable = least(obtainable, available_memory());
  obtainable = least(obtainable, cgroup_headroom());
  obtainable = least(obtainable, resource_limit_headroom());
  return obtainable;
}

} // namespace morvel::memory
