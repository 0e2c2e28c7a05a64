// Published group: the class decoupleQ (one layer's statistics and its
// solver; fields layer, rows, columns, H, nsamples, print_log and the
// attached quantizer are plain attributes).
#include "common/errors.h"
#include "common/host.h"
#include "module/convert.h"
#include "module/groups.h"
#include "solver/decoupleq.h"

namespace gdq {
namespace module {

void def_decoupleq(Builder& b) {
  auto method = [&](const std::string& name, std::vector<Param> params, Impl impl) {
    return b.method("decoupleQ", name, std::move(params), std::move(impl));
  };
  std::vector<Method> methods;
  methods.push_back(method(
      "__init__", {req("layer"), opt("name", Str("")), opt("print_log", Bool(false))},
      [](const BoundArgs& a) {
        const py::object& self = a[0];
        LayerView v = layer_view(a[1]);
        at::Tensor W = weight_matrix(v, v.weight);  // NotSupported for other kinds
        self.attr("layer") = a[1];
        self.attr("rows") = W.size(0);
        self.attr("columns") = W.size(1);
        self.attr("H") = 0;
        self.attr("nsamples") = 0;
        self.attr("print_log") = a[3];
        return None();
      }));
  methods.push_back(method(
      "add_batch", {req("inp"), req("out"), req("mask")}, [](const BoundArgs& a) {
        const py::object& self = a[0];
        LayerView v = layer_view(self.attr("layer"));
        if (v.kind == LayerKind::Other) throw NotSupported("not support yet");
        HessianState st;
        if (OptTensor H = tensor_if_any(self.attr("H"))) st.H = *H;
        py::object n = self.attr("nsamples");
        st.nsamples = double_arg(n);
        OptTensor mask = opt_tensor_arg(a[3], "mask");
        add_batch(st, v, tensor_arg(a[1], "inp"), mask);
        if (st.H.defined()) self.attr("H") = wrap(st.H);
        const bool integral = !mask && PyLong_Check(n.ptr()) &&
                              st.nsamples == static_cast<double>(int64_t(st.nsamples));
        if (integral)
          self.attr("nsamples") = int64_t(st.nsamples);
        else
          self.attr("nsamples") = st.nsamples;
        return None();
      }));
  methods.push_back(method(
      "startquant",
      {req("groupsize"), req("symmetric"), req("max_iter_num"), req("inner_iters_for_round"),
       req("iters_before_round"), req("dev"), req("lr"), opt("actorder", Bool(true)),
       opt("round_fn", Str("gptq")), opt("perdamp", Float(0.01))},
      [](const BoundArgs& a) {
        const py::object& self = a[0];
        py::object layer = self.attr("layer");
        LayerView v = layer_view(layer);
        if (v.kind == LayerKind::Other) throw NotSupported("");
        py::object H = self.attr("H");  // AttributeError once consumed
        OptTensor Hs = tensor_if_any(H);
        if (!Hs)
          throw py::value_error("decoupleQ.startquant needs the statistics of at least one "
                                "batch (add_batch), but H is " +
                                py::repr(H).cast<std::string>());
        std::string nsamples = py::str(self.attr("nsamples"));
        py::object quantizer = self.attr("quantizer");
        QuantizerConfig cfg = read_config(quantizer);
        StartQuantArgs args;
        args.groupsize = int_arg(a[1]);
        args.symmetric = truthy(a[2]);
        args.max_iter_num = int_arg(a[3]);
        args.inner_iters_for_round = int_arg(a[4]);
        args.iters_before_round = int_arg(a[5]);
        args.dev = py::str(a[6]).cast<std::string>();
        args.lr = double_arg(a[7]);
        args.actorder = truthy(a[8]);
        args.round_fn = py::str(a[9]).cast<std::string>();
        args.perdamp = double_arg(a[10]);
        args.print_log = truthy(self.attr("print_log"));
        py::delattr(self, "H");
        // The solver leaves iters_for_scale at 0 or max(entry value, 2); the
        // field follows it even when the solve fails.
        struct WriteBack {
          py::object q;
          QuantizerConfig* c;
          ~WriteBack() {
            PyObject *t, *v, *tb;
            PyErr_Fetch(&t, &v, &tb);
            if (PyObject_SetAttrString(q.ptr(), "iters_for_scale",
                                       py::int_(c->iters_for_scale).ptr()) < 0)
              PyErr_Clear();
            PyErr_Restore(t, v, tb);
          }
        } write_back{quantizer, &cfg};
        StartQuantResult r = startquant(v, *Hs, nsamples, cfg, args);
        layer.attr("weight").attr("data") = wrap(r.Q);
        return py::object(
            py::make_tuple(wrap(r.scale_out), wrap(r.zero_out), wrap(r.w_int), wrap(r.err)));
      }));
  methods.push_back(method("free", {}, [](const BoundArgs& a) {
    a[0].attr("H") = py::none();
    host::empty_cache();
    return None();
  }));
  b.def_class("decoupleQ", py::reinterpret_borrow<py::object>((PyObject*)&PyBaseObject_Type),
              methods);
}

}  // namespace module
}  // namespace gdq
