// Published group: the class Quantizer (a torch.nn.Module whose fields are
// plain attributes; every method reads them into a QuantizerConfig).
#include "module/convert.h"
#include "module/groups.h"
#include "quantizer/quantizer.h"

namespace gdq {
namespace module {

void def_quantizer(Builder& b) {
  auto method = [&](const std::string& name, std::vector<Param> params, Impl impl,
                    bool varargs = false, bool varkw = false) {
    return b.method("Quantizer", name, std::move(params), std::move(impl), varargs, varkw);
  };
  auto t = [](const BoundArgs& a, size_t i, const char* what) { return tensor_arg(a[i], what); };
  auto ot = [](const BoundArgs& a, size_t i, const char* what) {
    return opt_tensor_arg(a[i], what);
  };
  auto out3 = [](const OutParams& r) {
    return py::object(py::make_tuple(wrap(r.scale_out), wrap(r.zero_out), wrap(r.err)));
  };
  std::vector<Method> methods;
  methods.push_back(method(
      "__init__", {},
      [](const BoundArgs& a) {
        torch_nn().attr("Module").attr("__init__")(a[0], *a.extra_args, **a.extra_kwargs);
        return None();
      },
      /*varargs=*/true, /*varkw=*/true));
  methods.push_back(method(
      "configure",
      {opt("bits", Int(4)), opt("perchannel", Bool(true)), opt("sym", Bool(false)),
       opt("grid", Int(200)), opt("maxshrink", Float(0.8)), opt("thr", Float(0.01)),
       opt("iters_for_scale", Int(4)), opt("zero_no_shift", Bool(true))},
      [](const BoundArgs& a) {
        const py::object& self = a[0];
        QuantizerConfig c = QuantizerConfig::configure(int_arg(a[1]));
        self.attr("max_bound") = c.max_bound;
        self.attr("min_bound") = c.min_bound;
        const char* names[] = {"perchannel", "sym", "grid", "maxshrink",
                               "thr", "iters_for_scale", "zero_no_shift"};
        for (size_t i = 0; i < 7; ++i) self.attr(names[i]) = a[i + 2];
        return None();
      }));
  methods.push_back(method(
      "find_params",
      {req("x"), opt("groupsize", Int(-1)), opt("H", None()), opt("best", None()),
       opt("x0", None())},
      [=](const BoundArgs& a) {
        Params p = find_params(read_config(a[0]), t(a, 1, "x"), int_arg(a[2]), ot(a, 3, "H"),
                               ot(a, 5, "x0"));
        return py::object(py::make_tuple(wrap(p.scale), wrap(p.zero), wrap(p.scale_out),
                                         wrap(p.zero_out), wrap(p.best)));
      }));
  methods.push_back(method(
      "get_scale_and_zero_out_group",
      {opt("x", None()), opt("scale", None()), opt("zero", None()), opt("H", None()),
       opt("groupsize", Int(-1)), opt("x0", None()), opt("x_int", None()),
       opt("double_precision", Bool(true))},
      [=](const BoundArgs& a) {
        return out3(get_scale_and_zero_out_group(
            read_config(a[0]), ot(a, 1, "x"), ot(a, 2, "scale"), ot(a, 3, "zero"), ot(a, 4, "H"),
            int_arg(a[5]), ot(a, 6, "x0"), ot(a, 7, "x_int"), truthy(a[8])));
      }));
  methods.push_back(method(
      "get_scale_and_zero",
      {req("xmin"), req("xmax"), req("x"), req("h"), opt("scale_out", None()),
       opt("zero_out", None()), opt("best", None()), opt("scale", None()), opt("zero", None()),
       opt("groupsize", Int(-1)), opt("x0", None())},
      [=](const BoundArgs& a) {
        ShrinkResult r = get_scale_and_zero(
            read_config(a[0]), t(a, 1, "xmin"), t(a, 2, "xmax"), t(a, 3, "x"), t(a, 4, "h"),
            ot(a, 5, "scale_out"), ot(a, 6, "zero_out"), ot(a, 7, "best"), ot(a, 8, "scale"),
            ot(a, 9, "zero"), int_arg(a[10]), ot(a, 11, "x0"));
        return py::object(
            py::make_tuple(wrap(r.scale), wrap(r.zero), wrap(r.best), wrap(r.bestp)));
      }));
  methods.push_back(method("get_minmax", {req("x"), req("groupsize")}, [=](const BoundArgs& a) {
    auto [xmin, xmax] = get_minmax(read_config(a[0]), t(a, 1, "x"), int_arg(a[2]));
    return py::object(py::make_tuple(wrap(xmin), wrap(xmax)));
  }));
  methods.push_back(method(
      "quant_via_minmax", {req("x"), req("groupsize"), req("h"), opt("bestp", None())},
      [=](const BoundArgs& a) {
        auto [q, bestp] = quant_via_minmax(read_config(a[0]), t(a, 1, "x"), int_arg(a[2]),
                                           t(a, 3, "h"), ot(a, 4, "bestp"));
        return py::object(py::make_tuple(wrap(q), wrap(bestp)));
      }));
  methods.push_back(method(
      "get_fake_int_in",
      {req("x"), req("scale"), req("zero"), opt("groupsize", Int(-1)),
       opt("zero_no_shift", None())},
      [=](const BoundArgs& a) {
        std::optional<bool> zns;
        if (!a[5].is_none()) zns = truthy(a[5]);
        return wrap(get_fake_int_in(read_config(a[0]), t(a, 1, "x"), t(a, 2, "scale"),
                                    t(a, 3, "zero"), int_arg(a[4]), zns));
      }));
  methods.push_back(method(
      "get_scale_and_zero_out",
      {req("x"), req("scale"), req("zero"), req("h"), opt("x0", None()), opt("x_int", None())},
      [=](const BoundArgs& a) {
        return out3(get_scale_and_zero_out(read_config(a[0]), ot(a, 1, "x"), ot(a, 2, "scale"),
                                           ot(a, 3, "zero"), t(a, 4, "h"), ot(a, 5, "x0"),
                                           ot(a, 6, "x_int")));
      }));
  methods.push_back(method(
      "get_scale_out_sym", {req("h"), req("x0"), req("x_int"), opt("groupsize", Int(-1))},
      [=](const BoundArgs& a) {
        auto [s, err] = get_scale_out_sym(read_config(a[0]), t(a, 1, "h"), t(a, 2, "x0"),
                                          t(a, 3, "x_int"), int_arg(a[4]));
        return py::object(py::make_tuple(wrap(s), wrap(err)));
      }));
  methods.push_back(method("get_scale_zero_by_minmax", {req("xmax"), req("xmin")},
                           [=](const BoundArgs& a) {
                             auto [s, z] = get_scale_zero_by_minmax(
                                 read_config(a[0]), t(a, 1, "xmax"), t(a, 2, "xmin"));
                             return py::object(py::make_tuple(wrap(s), wrap(z)));
                           }));
  methods.push_back(method("free", {}, [](const BoundArgs&) { return None(); }));
  b.def_class("Quantizer", torch_nn().attr("Module"), methods);
}

}  // namespace module
}  // namespace gdq
