// Published group: the class GdqQuant, the pass over the model. Its methods
// orchestrate host objects (driver/gdq_quant.h) at the caller's thread count.
#include "driver/gdq_quant.h"
#include "module/groups.h"

namespace gdq {
namespace module {

void def_gdq_quant(Builder& b) {
  auto method = [&](const std::string& name, std::vector<Param> params, Impl impl) {
    return b.host_method("GdqQuant", name, std::move(params), std::move(impl));
  };
  b.def_class(
      "GdqQuant", py::reinterpret_borrow<py::object>((PyObject*)&PyBaseObject_Type),
      {method("__init__", {req("ir"), req("param"), req("quant_tab")},
              [](const BoundArgs& a) {
                driver::init(a[0], a[1], a[2], a[3]);
                return None();
              }),
       method("_get_w_b", {req("model")},
              [](const BoundArgs& a) { return py::object(driver::get_w_b(a[0], a[1])); }),
       method("_sess_input", {req("sess"), req("inputs_data_f")},
              [](const BoundArgs& a) {
                driver::sess_input(a[0], a[1], a[2]);
                return None();
              }),
       method("_sess_run", {req("sess"), req("inputs_data_f")},
              [](const BoundArgs& a) {
                driver::sess_run(a[0], a[1], a[2]);
                return None();
              }),
       method("quantize",
              {req("layer"), req("inp"), req("w_name"), req("quantizers"), req("dev"),
               req("print_log")},
              [](const BoundArgs& a) {
                driver::quantize(a[0], a[1], a[2], a[3], a[4], a[5], a[6]);
                return None();
              }),
       method("run", {}, [](const BoundArgs& a) { return driver::run(a[0]); })});
}

}  // namespace module
}  // namespace gdq
