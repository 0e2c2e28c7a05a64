#include "common/threads.h"

#include <ATen/Parallel.h>
#include <sched.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

namespace gdq {
namespace threads {
namespace {

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream f(path);
  if (!f) return std::nullopt;
  std::ostringstream os;
  os << f.rdbuf();
  return os.str();
}

// A positive whole number of at most 18 digits, surrounding blanks allowed.
std::optional<long long> positive_integer(const std::string& text) {
  std::istringstream is(text);
  long long v = 0;
  std::string rest;
  if (!(is >> v) || (is >> rest) || v <= 0) return std::nullopt;
  return v;
}

int ceil_ratio(long long quota, long long period) {
  const long long n = (quota + period - 1) / period;
  return static_cast<int>(std::min<long long>(n, 1 << 20));
}

// cgroup v2 cpu.max: "<quota> <period>", or "max <period>" for no limit.
std::optional<int> cpus_of_cpu_max(const std::string& text) {
  std::istringstream is(text);
  std::string quota, period;
  if (!(is >> quota >> period) || quota == "max") return std::nullopt;
  auto q = positive_integer(quota), p = positive_integer(period);
  if (!q || !p) return std::nullopt;
  return ceil_ratio(*q, *p);
}

// cgroup v1 cpu.cfs_quota_us and cpu.cfs_period_us; a quota of -1 is no limit.
std::optional<int> cpus_of_cfs(const std::string& quota, const std::string& period) {
  auto q = positive_integer(quota), p = positive_integer(period);
  if (!q || !p) return std::nullopt;
  return ceil_ratio(*q, *p);
}

// CPUs in the affinity mask; the online count where the mask cannot be read
// (more CPUs than a cpu_set_t holds).
int affinity_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) return CPU_COUNT(&set);
  return static_cast<int>(std::thread::hardware_concurrency());
}

// This process's cgroup paths, from /proc/self/cgroup lines
// "<id>:<controllers>:<path>": the v2 path (empty controller list) and the
// v1 path of the "cpu" controller.
struct CgroupPaths {
  std::string v2, v1_cpu;
};

CgroupPaths own_cgroup() {
  CgroupPaths p;
  std::ifstream f("/proc/self/cgroup");
  std::string line;
  while (std::getline(f, line)) {
    const size_t a = line.find(':'), b = line.find(':', a + 1);
    if (a == std::string::npos || b == std::string::npos) continue;
    const std::string controllers = line.substr(a + 1, b - a - 1), path = line.substr(b + 1);
    if (controllers.empty()) p.v2 = path;
    std::istringstream cs(controllers);
    std::string c;
    while (std::getline(cs, c, ','))
      if (c == "cpu") p.v1_cpu = path;
  }
  return p;
}

// The CPU quota of the process's cgroup: its own directory first (cgroup
// namespaces usually make that the mount's root), then the mount's root.
std::optional<int> cgroup_cpus() {
  const CgroupPaths own = own_cgroup();
  for (const std::string& dir : {"/sys/fs/cgroup" + own.v2, std::string("/sys/fs/cgroup")}) {
    if (auto text = read_file(dir + "/cpu.max")) return cpus_of_cpu_max(*text);
  }
  for (const char* mount : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
    for (const std::string& dir : {std::string(mount) + own.v1_cpu, std::string(mount)}) {
      auto quota = read_file(dir + "/cpu.cfs_quota_us");
      auto period = read_file(dir + "/cpu.cfs_period_us");
      if (quota && period) return cpus_of_cfs(*quota, *period);
    }
  }
  return std::nullopt;
}

int compute_available() {
  int n = affinity_cpus();
  if (auto quota = cgroup_cpus()) n = n > 0 ? std::min(n, *quota) : *quota;
  return std::max(n, 1);
}

}  // namespace

int available_cpus() {
  static const int n = compute_available();
  return n;
}

IntraOpThreadCap::IntraOpThreadCap(int at_most) {
  const int current = at::get_num_threads();
  const int cap = at_most > 0 ? std::min(at_most, available_cpus()) : available_cpus();
  if (current <= cap) return;
  at::set_num_threads(cap);
  restore_ = current;
}

IntraOpThreadCap::~IntraOpThreadCap() {
  if (restore_ > 0) at::set_num_threads(restore_);
}

}  // namespace threads
}  // namespace gdq
