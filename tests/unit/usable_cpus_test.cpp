#include "core/base/usable_cpus.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <optional>
#include <string>

#include "tests/unit/temp_dir_test_fixture.h"

namespace certwright {
namespace {

TEST(CpuMaxQuota, ReadsQuotaOverPeriodRoundedUp) {
  struct Case {
    const char* text;
    std::optional<unsigned> cpus;
  };
  const Case cases[] = {
      {"max 100000\n", std::nullopt}, {"100000 100000\n", 1u},
      {"150000 100000\n", 2u},        {"50000 100000", 1u},
      {"200000 100000\n", 2u},        {"1 100000\n", 1u},
      {"0 100000\n", std::nullopt},   {"100000 0\n", std::nullopt},
      {"100000\n", std::nullopt},     {"", std::nullopt},
      {"-1 100000\n", std::nullopt},  {"1e5 100000\n", std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(cpu_max_quota(c.text), c.cpus) << c.text;
}

TEST(ThreadCap, OnlyAPositiveDecimalCountCaps) {
  struct Case {
    const char* text;
    std::optional<unsigned> cap;
  };
  const Case cases[] = {
      {"1", 1u},
      {"8", 8u},
      {"0", std::nullopt},
      {"", std::nullopt},
      {"-2", std::nullopt},
      {"2 ", std::nullopt},
      {"two", std::nullopt},
      {"99999999999", 4294967295u},
  };
  for (const auto& c : cases)
    EXPECT_EQ(thread_cap(c.text), c.cap) << c.text;
}

TEST(ThreadCount, CertwrightThreadsCapsTheUsableCpus) {
  ::setenv("CERTWRIGHT_THREADS", "1", 1);
  EXPECT_EQ(thread_count(), 1u);
  ::setenv("CERTWRIGHT_THREADS", "4096", 1);
  EXPECT_EQ(thread_count(), usable_cpus());
  ::unsetenv("CERTWRIGHT_THREADS");
  EXPECT_EQ(thread_count(), usable_cpus());
}

// A fake cgroup hierarchy: the tightest quota on the way from the process's cgroup to the root
// limits the affinity mask; "max", a missing or unreadable file and a v1-only system do not.
class UsableCpus : public TempDirTest {
 protected:
  void quota(const std::string& cgroup, const std::string& text) const {
    write(cgroup + "/cpu.max", text);
  }
  unsigned cpus(unsigned affinity, const std::string& proc_self_cgroup) const {
    return usable_cpus(affinity, proc_self_cgroup, dir_);
  }
};

TEST_F(UsableCpus, TheTightestQuotaOnTheWayToTheRootLimitsTheAffinityMask) {
  quota("ci/job", "max 100000\n");
  quota("ci", "150000 100000\n");
  quota("pinned", "100000 100000\n");
  quota("wide", "800000 100000\n");
  struct Case {
    unsigned affinity;
    const char* proc_self_cgroup;
    unsigned expected;
  };
  const Case cases[] = {
      {4, "0::/ci/job\n", 2},          {1, "0::/ci/job\n", 1},
      {4, "0::/pinned\n", 1},          {4, "0::/wide\n", 4},
      {8, "0::/missing/x\n", 8},       {4, "0::/\n", 4},
      {4, "3:cpu:/pinned\n", 4},       {4, "", 4},
      {4, "1:cpu:/\n0::/pinned\n", 1}, {0, "", 1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(cpus(c.affinity, c.proc_self_cgroup), c.expected) << c.proc_self_cgroup;
}

}  // namespace
}  // namespace certwright
