// Published group: the numeric functions and MyAdam.
#include "kernels/adam.h"
#include "kernels/gptq.h"
#include "kernels/opt_intw.h"
#include "kernels/primitives.h"
#include "module/convert.h"
#include "module/groups.h"

namespace gdq {
namespace module {

void def_kernels(Builder& b) {
  b.def("repeat_interleave", {req("x"), req("groupsize"), req("scale"), req("zero")},
        [](const BoundArgs& a) {
          at::Tensor x = tensor_arg(a[0], "x");
          auto [s, z] = repeat_interleave(x.sizes(), int_arg(a[1]), opt_tensor_arg(a[2], "scale"),
                                          opt_tensor_arg(a[3], "zero"));
          return py::object(py::make_tuple(wrap(s), wrap(z)));
        });
  b.def("cal_quant_error", {req("x"), req("q"), req("h")}, [](const BoundArgs& a) {
    return wrap(cal_quant_error(tensor_arg(a[0], "x"), tensor_arg(a[1], "q"),
                                tensor_arg(a[2], "h")));
  });
  b.def("my_round", {req("x")},
        [](const BoundArgs& a) { return wrap(my_round(tensor_arg(a[0], "x"))); });

  b.def_class(
      "MyAdam", py::reinterpret_borrow<py::object>((PyObject*)&PyBaseObject_Type),
      {{"__init__", b.fn("MyAdam.__init__", {req("self"), req("param"), req("lr")},
                         [](const BoundArgs& a) {
                           const py::object& self = a[0];
                           double lr = double_arg(a[2]);
                           AdamState st(tensor_arg(a[1], "param"), lr);
                           self.attr("param") = a[1];
                           self.attr("lr") = lr;
                           self.attr("t") = 0;
                           self.attr("exp_avg") = wrap(st.exp_avg);
                           self.attr("exp_avg_sq") = wrap(st.exp_avg_sq);
                           self.attr("beta1") = st.beta1;
                           self.attr("beta2") = st.beta2;
                           self.attr("eps") = st.eps;
                           return None();
                         })},
       {"step", b.fn("MyAdam.step", {req("self"), req("grad")}, [](const BoundArgs& a) {
          const py::object& self = a[0];
          AdamState st;
          st.param = tensor_arg(self.attr("param"), "param");
          st.lr = double_arg(self.attr("lr"));
          st.t = int_arg(self.attr("t"));
          st.exp_avg = tensor_arg(self.attr("exp_avg"), "exp_avg");
          st.exp_avg_sq = tensor_arg(self.attr("exp_avg_sq"), "exp_avg_sq");
          st.beta1 = double_arg(self.attr("beta1"));
          st.beta2 = double_arg(self.attr("beta2"));
          st.eps = double_arg(self.attr("eps"));
          st.step(tensor_arg(a[1], "grad"));
          self.attr("t") = st.t;
          return None();
        })}});

  py::object opt_intw = b.fn(
      "opt_intW3",
      {req("scale_out"), req("zero_out"), req("H00"), req("sym"), req("min_bound"),
       req("max_bound"), req("x0"), opt("x_init", None()), opt("max_iter", Int(0)),
       opt("lr", Float(0.001)), opt("max_inner_iter", Int(0)), opt("round_fn", Str("gptq"))},
      [](const BoundArgs& a) {
        OptIntResult r = opt_intW3(
            tensor_arg(a[0], "scale_out"), tensor_arg(a[1], "zero_out"), tensor_arg(a[2], "H00"),
            truthy(a[3]), scalar_arg(a[4], "min_bound"), scalar_arg(a[5], "max_bound"),
            tensor_arg(a[6], "x0"), opt_tensor_arg(a[7], "x_init"), int_arg(a[8]),
            double_arg(a[9]), int_arg(a[10]), py::str(a[11]).cast<std::string>());
        return py::object(py::make_tuple(wrap(r.w_int), wrap(r.f1), wrap(r.loss)));
      });
  // Published already wrapped, so that every call runs without autograd.
  b.m.attr("opt_intW3") = py::module_::import("torch").attr("no_grad")()(opt_intw);

  b.def(
      "round_gptq",
      {req("W"), req("scale_out"), req("zero_out"), req("sym"), req("min_bound"), req("max_bound"),
       opt("H00", None())},
      [](const BoundArgs& a) {
        if (a[6].is_none()) throw py::type_error("round_gptq() needs the Hessian H00, got None");
        at::Tensor W = tensor_arg(a[0], "W");
        GptqResult r = round_gptq(W, tensor_arg(a[1], "scale_out"), tensor_arg(a[2], "zero_out"),
                                  scalar_arg(a[4], "min_bound"), scalar_arg(a[5], "max_bound"),
                                  tensor_arg(a[6], "H00"));
        return py::object(py::make_tuple(wrap(r.Q), wrap(r.newW)));
      },
      /*varkw=*/true);
  b.def("safe_div", {req("x"), req("y")}, [](const BoundArgs& a) {
    return wrap(safe_div(tensor_arg(a[0], "x"), tensor_arg(a[1], "y")));
  });
  b.def("quantize",
        {req("x"), req("scale"), req("zero"), req("min_bound"), req("max_bound"),
         opt("scale_out", None()), opt("zero_out", None()), opt("return_int", Bool(false)),
         opt("zero_no_shift", Bool(false))},
        [](const BoundArgs& a) {
          return wrap(quantize(tensor_arg(a[0], "x"), tensor_arg(a[1], "scale"),
                               tensor_arg(a[2], "zero"), scalar_arg(a[3], "min_bound"),
                               scalar_arg(a[4], "max_bound"), opt_tensor_arg(a[5], "scale_out"),
                               opt_tensor_arg(a[6], "zero_out"), truthy(a[7]), truthy(a[8])));
        });
  b.def("cal_quant_err_scale_zero",
        {req("x"), req("scale"), req("zero"), req("scale_out"), req("zero_out"), req("sym"),
         req("min_bound"), req("max_bound"), req("groupsize"), opt("h", None()),
         opt("x0", None()), opt("zero_no_shift", Bool(false))},
        [](const BoundArgs& a) {
          return wrap(cal_quant_err_scale_zero(
              tensor_arg(a[0], "x"), tensor_arg(a[1], "scale"), tensor_arg(a[2], "zero"),
              opt_tensor_arg(a[3], "scale_out"), opt_tensor_arg(a[4], "zero_out"),
              scalar_arg(a[6], "min_bound"), scalar_arg(a[7], "max_bound"), int_arg(a[8]),
              opt_tensor_arg(a[9], "h"), opt_tensor_arg(a[10], "x0"), truthy(a[11])));
        });
  b.def("get_linear_eq", {req("a"), req("b"), req("c"), req("d"), req("e"), req("f")},
        [](const BoundArgs& a) {
          auto [x, y] = get_linear_eq(tensor_arg(a[0], "a"), tensor_arg(a[1], "b"),
                                      tensor_arg(a[2], "c"), tensor_arg(a[3], "d"),
                                      tensor_arg(a[4], "e"), tensor_arg(a[5], "f"));
          return py::object(py::make_tuple(wrap(x), wrap(y)));
        },
        false, "\n Solve linear equations:\n ax+by=c\n dx+ey=f");
}

}  // namespace module
}  // namespace gdq
