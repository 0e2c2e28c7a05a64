// Private entries for tests and benchmarks (not part of the published
// surface): GPTQ rounding with an explicit block size, the CPUs the core's
// thread cap allows, per-stage solver timing and the fault seams.
#include "common/host.h"
#include "common/threads.h"
#include "common/timing.h"
#include "kernels/gptq.h"
#include "module/convert.h"
#include "module/groups.h"

namespace gdq {
namespace module {

void def_private(Builder& b) {
  b.m.attr("_round_gptq") = b.fn(
      "_round_gptq",
      {req("W"), req("scale_out"), req("zero_out"), req("min_bound"), req("max_bound"),
       req("H00"), req("blocksize")},
      [](const BoundArgs& a) {
        at::Tensor W = tensor_arg(a[0], "W");
        GptqResult r = round_gptq(W, tensor_arg(a[1], "scale_out"), tensor_arg(a[2], "zero_out"),
                                  scalar_arg(a[3], "min_bound"), scalar_arg(a[4], "max_bound"),
                                  tensor_arg(a[5], "H00"), int_arg(a[6]));
        return py::object(py::make_tuple(wrap(r.Q), wrap(r.newW)));
      });
  b.m.attr("_available_cpus") = b.fn("_available_cpus", {}, [](const BoundArgs&) {
    return py::object(py::int_(threads::available_cpus()));
  });
  b.m.attr("_stage_timing") = b.fn("_stage_timing", {req("on")}, [](const BoundArgs& a) {
    timing::enable(truthy(a[0]));
    return None();
  });
  b.m.attr("_stage_times") = b.fn("_stage_times", {}, [](const BoundArgs&) {
    py::dict d;
    for (auto& kv : timing::take()) d[py::str(kv.first)] = kv.second;
    return py::object(d);
  });
  // Test seam: arms a named fault site of the core for the next `count` polls.
  b.m.attr("_arm_fault") = b.fn("_arm_fault", {req("site"), req("count")}, [](const BoundArgs& a) {
    host::arm(py::str(a[0]).cast<std::string>(), int_arg(a[1]));
    return None();
  });
}

}  // namespace module
}  // namespace gdq
