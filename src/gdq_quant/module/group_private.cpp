// Private entries (not part of the published surface): for tests and
// benchmarks GPTQ rounding with an explicit block size, the CPUs the core's
// thread cap allows, per-stage solver timing and the fault seams; for the
// command line's outputs the JSON text of number arrays.
#include "common/host.h"
#include "common/json_numbers.h"
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
  // values: a 1-D float64 (finite: the caller's to check) or int64 tensor -> str,
  // json.dumps of its list.
  b.m.attr("_json_numbers") = b.fn("_json_numbers", {req("values")}, [](const BoundArgs& a) {
    const at::Tensor v = tensor_arg(a[0], "values").contiguous();
    TORCH_CHECK(v.dim() == 1 && v.is_cpu(), "_json_numbers: a 1-D CPU tensor, got ", v.sizes());
    if (v.scalar_type() == at::kLong)
      return py::object(py::str(json::integers(v.data_ptr<int64_t>(), v.numel())));
    TORCH_CHECK(v.scalar_type() == at::kDouble, "_json_numbers: float64 or int64, got ",
                v.scalar_type());
    return py::object(py::str(json::floats(v.data_ptr<double>(), v.numel())));
  });
  // Test seam: arms a named fault site of the core for the next `count` polls.
  b.m.attr("_arm_fault") = b.fn("_arm_fault", {req("site"), req("count")}, [](const BoundArgs& a) {
    host::arm(py::str(a[0]).cast<std::string>(), int_arg(a[1]));
    return None();
  });
}

}  // namespace module
}  // namespace gdq
