// How many CPUs this process may keep busy at once, and so how many threads it runs.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace certwright {

// The CPUs this process may run on at once: those of its affinity mask, fewer where the cgroup
// v2 `cpu.max` quota of its cgroup, or of one above it, allows less (quota over period, rounded
// up). At least 1. A cgroup file that cannot be read or parsed sets no limit.
unsigned usable_cpus();

// The same from given sources: the CPUs of the affinity mask, the text of /proc/self/cgroup and
// the directory the cgroup v2 hierarchy is mounted on.
unsigned usable_cpus(unsigned affinity_cpus, std::string_view proc_self_cgroup,
                     const std::string& cgroup_root);

// The threads a parallel step runs at most: usable_cpus(), capped by the environment variable
// CERTWRIGHT_THREADS when it holds a positive count (for diagnostics; other values count as
// unset). At least 1.
unsigned thread_count();

// The cap that a CERTWRIGHT_THREADS text sets: a decimal count of at least 1, else none.
std::optional<unsigned> thread_cap(std::string_view text);

// The CPUs that a `cpu.max` text ("QUOTA PERIOD") allows, rounded up; none for "max" (no quota)
// and for a text that is not a quota.
std::optional<unsigned> cpu_max_quota(std::string_view text);

}  // namespace certwright
