#include "core/base/usable_cpus.h"

#include <sched.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <thread>

#include "core/base/environment.h"
#include "core/base/file_read.h"
#include "core/base/text.h"

namespace certwright {
namespace {

// Both files are a few hundred bytes; anything longer is not what the kernel writes.
constexpr std::size_t kMaxCgroupFile = 64 * 1024;

unsigned affinity_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  // More CPUs than a cpu_set_t holds: the machine's count is as good a bound.
  if (::sched_getaffinity(0, sizeof set, &set) != 0)
    return std::max(1u, std::thread::hardware_concurrency());
  return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
}

std::optional<std::uint64_t> parse_count(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// The cgroup v2 path in /proc/self/cgroup ("0::/a/b"), or none on a v1-only system.
std::optional<std::string_view> unified_path(std::string_view proc_self_cgroup) {
  while (!proc_self_cgroup.empty()) {
    const std::size_t end = std::min(proc_self_cgroup.find('\n'), proc_self_cgroup.size());
    const std::string_view line = proc_self_cgroup.substr(0, end);
    if (line.starts_with("0::/")) return line.substr(3);
    proc_self_cgroup.remove_prefix(std::min(end + 1, proc_self_cgroup.size()));
  }
  return std::nullopt;
}

}  // namespace

std::optional<unsigned> cpu_max_quota(std::string_view text) {
  text = trim_white_space(text);
  const std::size_t blank = text.find(' ');
  if (blank == std::string_view::npos) return std::nullopt;
  const auto quota = parse_count(text.substr(0, blank));
  const auto period = parse_count(text.substr(blank + 1));
  if (!quota || !period || *quota == 0 || *period == 0) return std::nullopt;
  const std::uint64_t cpus = (*quota + *period - 1) / *period;
  return static_cast<unsigned>(std::min<std::uint64_t>(cpus, UINT32_MAX));
}

unsigned usable_cpus(unsigned affinity_cpus, std::string_view proc_self_cgroup,
                     const std::string& cgroup_root) {
  unsigned cpus = std::max(1u, affinity_cpus);
  const auto path = unified_path(proc_self_cgroup);
  if (!path) return cpus;
  // Every cgroup from the process's own up to the root limits it.
  std::string_view cgroup = *path;
  for (;;) {
    const auto text =
        read_whole_file(cgroup_root + std::string(cgroup) + "/cpu.max", kMaxCgroupFile);
    if (text) {
      if (const auto quota = cpu_max_quota(*text)) cpus = std::clamp(*quota, 1u, cpus);
    }
    if (cgroup.empty() || cgroup == "/") return cpus;
    cgroup = cgroup.substr(0, cgroup.rfind('/'));
  }
}

unsigned usable_cpus() {
  const auto cgroup = read_whole_file("/proc/self/cgroup", kMaxCgroupFile);
  return usable_cpus(affinity_cpus(), cgroup ? *cgroup : std::string(), "/sys/fs/cgroup");
}

std::optional<unsigned> thread_cap(std::string_view text) {
  const auto count = parse_count(text);
  if (!count || *count == 0) return std::nullopt;
  return static_cast<unsigned>(std::min<std::uint64_t>(*count, UINT32_MAX));
}

unsigned thread_count() {
  const unsigned cpus = usable_cpus();
  const auto text = unicode_variable("CERTWRIGHT_THREADS");
  const auto cap = text ? thread_cap(*text) : std::nullopt;
  return cap ? std::min(cpus, *cap) : cpus;
}

}  // namespace certwright
