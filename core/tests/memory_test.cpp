// The memory sources, on fake /proc and /sys trees for the cgroup layouts
// containers use, and on this machine for what must always hold.
#include <morvel/memory.hpp>

#include "memory_sources.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using morvel::memory::detail::parse_kilobytes;
using morvel::memory::detail::parse_limit;
using morvel::memory::detail::parse_stat;

constexpr std::uint64_t MiB = 1 << 20;

TEST(MemoryParsing, LimitFiles) {
  EXPECT_EQ(parse_limit("1073741824\n"), 1073741824u);
  EXPECT_FALSE(parse_limit("max\n"));                 // cgroup v2: no limit
  EXPECT_FALSE(parse_limit("9223372036854771712\n")); // cgroup v1: no limit
  EXPECT_FALSE(parse_limit(""));
  EXPECT_FALSE(parse_limit("99999999999999999999999\n")); // beyond 64 bits
}

TEST(MemoryParsing, KilobyteAndStatLines) {
  const std::string meminfo = "MemTotal:       24000000 kB\n"
                              "MemFree:        10 kB\n"
                              "MemAvailable:   2000 kB\n"
                              "SwapFree:       3 kB\n";
  EXPECT_EQ(parse_kilobytes(meminfo, "MemAvailable"), 2000u * 1024);
  EXPECT_EQ(parse_kilobytes(meminfo, "SwapFree"), 3u * 1024);
  EXPECT_FALSE(parse_kilobytes(meminfo, "Mem")); // whole keys only
  const std::string stat =
      "cache 5\ninactive_file 4096\ntotal_inactive_file 8192\n";
  EXPECT_EQ(parse_stat(stat, "inactive_file"), 4096u);
  EXPECT_EQ(parse_stat(stat, "total_inactive_file"), 8192u);
  EXPECT_FALSE(parse_stat(stat, "active_file"));
}

// A fake root: /proc/self/{cgroup,mountinfo} and cgroup files.
class FakeRoot : public ::testing::Test {
protected:
  void SetUp() override {
    root =
        fs::temp_directory_path() /
        ("morvel-memory-" +
         std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
  }
  void TearDown() override { fs::remove_all(root); }

  void write(const std::string &path, const std::string &text) {
    const fs::path file = root / path.substr(1);
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
  }

  std::uint64_t headroom() {
    const auto bytes =
        morvel::memory::detail::cgroup_headroom_below(root.string());
    EXPECT_TRUE(bytes.has_value());
    return bytes.value_or(0);
  }

  fs::path root;
};

TEST_F(FakeRoot, CgroupV1TakesTheLeastHeadroomOfTheCgroupAndItsAncestors) {
  write("/proc/self/cgroup", "5:cpu:/\n4:memory:/jobs/job7\n0::/\n");
  write("/proc/self/mountinfo",
        "30 23 0:27 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n"
        "35 30 0:32 / /sys/fs/cgroup/memory rw,relatime shared:9 - cgroup "
        "cgroup rw,memory\n");
  const std::string job = "/sys/fs/cgroup/memory/jobs/job7/";
  write(job + "memory.limit_in_bytes", std::to_string(1024 * MiB) + "\n");
  write(job + "memory.usage_in_bytes", std::to_string(300 * MiB) + "\n");
  // Clean cache, active or inactive, does not count as used; dirty and
  // writeback do.
  write(job + "memory.stat",
        "cache 1\ntotal_inactive_file " + std::to_string(100 * MiB) +
            "\ntotal_active_file " + std::to_string(60 * MiB) +
            "\ntotal_dirty " + std::to_string(10 * MiB) + "\ntotal_writeback " +
            std::to_string(10 * MiB) + "\n");
  EXPECT_EQ(headroom(), 864 * MiB);
  write("/sys/fs/cgroup/memory/jobs/memory.limit_in_bytes",
        std::to_string(512 * MiB) + "\n");
  write("/sys/fs/cgroup/memory/jobs/memory.usage_in_bytes",
        std::to_string(500 * MiB) + "\n");
  EXPECT_EQ(headroom(), 12 * MiB);
  write("/sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n");
  EXPECT_EQ(headroom(), 12 * MiB);
}

TEST_F(FakeRoot, CgroupV2ReadsMemoryMaxAndIgnoresMax) {
  write("/proc/self/cgroup", "0::/system.slice/service\n");
  write("/proc/self/mountinfo",
        "29 23 0:26 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw,nsdelegate\n");
  const std::string service = "/sys/fs/cgroup/system.slice/service/";
  write(service + "memory.max", "max\n");
  write(service + "memory.current", "123\n");
  write("/sys/fs/cgroup/system.slice/memory.max",
        std::to_string(2048 * MiB) + "\n");
  write("/sys/fs/cgroup/system.slice/memory.current",
        std::to_string(48 * MiB) + "\n");
  write("/sys/fs/cgroup/system.slice/memory.stat", "anon 1\ninactive_file 0\n");
  EXPECT_EQ(headroom(), 2000 * MiB);
}

TEST(MemoryParsing, CleanFileCacheOfARecordedV2Stat) {
  // A container that has read its data files: 600 MiB of file cache, most
  // of it on the active list, 100 MiB of tmpfs (counted in "file", kept on
  // the anonymous lists) and 21 MiB not yet written.
  const std::string stat = "anon 52428800\n"
                           "file 734003200\n"
                           "kernel 8388608\n"
                           "pagetables 1048576\n"
                           "shmem 104857600\n"
                           "file_mapped 10485760\n"
                           "file_dirty 20971520\n"
                           "file_writeback 1048576\n"
                           "inactive_anon 157286400\n"
                           "active_anon 0\n"
                           "inactive_file 209715200\n"
                           "active_file 419430400\n"
                           "unevictable 0\n";
  EXPECT_EQ(morvel::memory::detail::clean_file_cache(stat, true), 579 * MiB);
  // Read as v1, none of its fields are there.
  EXPECT_EQ(morvel::memory::detail::clean_file_cache(stat, false), 0u);
}

TEST_F(FakeRoot, ContainerSeesOnlyItsOwnSubtree) {
  // The hierarchy is mounted from the container's own cgroup down.
  write("/proc/self/cgroup", "0::/docker/abc\n");
  write("/proc/self/mountinfo",
        "29 23 0:26 /docker/abc /sys/fs/cgroup ro - cgroup2 cgroup2 rw\n");
  write("/sys/fs/cgroup/memory.max", std::to_string(256 * MiB) + "\n");
  write("/sys/fs/cgroup/memory.current", std::to_string(56 * MiB) + "\n");
  EXPECT_EQ(headroom(), 200 * MiB);
}

TEST_F(FakeRoot, UsageAboveTheLimitLeavesNoHeadroom) {
  write("/proc/self/cgroup", "0::/\n");
  write("/proc/self/mountinfo",
        "29 23 0:26 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n");
  write("/sys/fs/cgroup/memory.max", "1000\n");
  write("/sys/fs/cgroup/memory.current", "5000\n");
  EXPECT_EQ(headroom(), 0u);
}

TEST_F(FakeRoot, NoCgroupOrNoLimitGivesNothing) {
  EXPECT_FALSE(morvel::memory::detail::cgroup_headroom_below(root.string()));
  write("/proc/self/cgroup", "0::/\n");
  write("/proc/self/mountinfo",
        "29 23 0:26 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n");
  EXPECT_FALSE(
      morvel::memory::detail::cgroup_headroom_below(root.string())); // no files
  write("/sys/fs/cgroup/memory.max", "max\n");
  EXPECT_FALSE(morvel::memory::detail::cgroup_headroom_below(root.string()));
}

} // namespace
