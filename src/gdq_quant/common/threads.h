#pragma once
// How many CPUs this process may use, and a scope that keeps ATen's intra-op
// thread count (which also drives OpenMP and MKL) within them.
//
// The host may ask for more threads than there are CPUs (GdqQuant.run asks
// for 8 on every machine). BLAS/LAPACK and OpenMP loops with more threads
// than CPUs spend their time in barriers and spinning: a float64 X X^T of a
// 480 x 30720 patch matrix takes about 0.1 s with 2 threads on 2 CPUs and
// over 20 s with 8. The heavy entries of the core therefore run under an
// IntraOpThreadCap.
namespace gdq {
namespace threads {

// min(CPUs in the affinity mask, ceil(cgroup CPU quota / period)), the quota
// only where one is set (cgroup v2 cpu.max, else v1 cpu.cfs_quota_us and
// cpu.cfs_period_us); at least 1. Computed once per process.
int available_cpus();

// Lowers at::get_num_threads() to at most available_cpus() for the lifetime
// of the object and restores the caller's count when it ends, also while an
// exception unwinds. at::set_num_threads is called only when the count must
// change (with OpenMP a change resizes the thread team, which is not free),
// so nested caps and callers already within the limit cost one query.
// With `at_most` > 0 the count is lowered to that too: batched LAPACK calls
// parallelise over their batch and inside each matrix at once, and with more
// than one thread MKL's batched LU spins for minutes (and complains about its
// pivots) where one thread takes a fraction of a second.
class IntraOpThreadCap {
 public:
  explicit IntraOpThreadCap(int at_most = 0);
  ~IntraOpThreadCap();
  IntraOpThreadCap(const IntraOpThreadCap&) = delete;
  IntraOpThreadCap& operator=(const IntraOpThreadCap&) = delete;

 private:
  int restore_ = 0;  // the caller's count, 0 when nothing was changed
};

}  // namespace threads
}  // namespace gdq
