#include "driver/gdq_quant.h"

#include <string>

namespace gdq {
namespace driver {
namespace {

py::dict& globals() {
  static py::dict* g = new py::dict();  // leaked on purpose: lives as long as the process
  return *g;
}

py::object G(const char* name) { return globals()[name]; }

py::object builtin(const char* name) { return py::module_::import("builtins").attr(name); }

// The slice [start:].
py::object tail_from(int64_t start) {
  return py::reinterpret_steal<py::object>(
      PySlice_New(py::int_(start).ptr(), Py_None, Py_None));
}

bool truthy(const py::handle& h) {
  int r = PyObject_IsTrue(h.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

// Unpacks exactly n values with the host's unpacking errors.
std::vector<py::object> unpack(const py::object& seq, size_t n) {
  std::vector<py::object> out;
  py::iterator it = py::iter(seq);
  for (; it != py::iterator::sentinel(); ++it) {
    if (out.size() == n)
      throw py::value_error("too many values to unpack (expected " + std::to_string(n) + ")");
    out.push_back(py::reinterpret_borrow<py::object>(*it));
  }
  if (out.size() < n)
    throw py::value_error("not enough values to unpack (expected " + std::to_string(n) +
                          ", got " + std::to_string(out.size()) + ")");
  return out;
}

// All samples of one input share sample 0's shape; the first one that does
// not is named (a ValueError, as the row assignment would raise).
void check_sample_shape(const py::object& rows, const py::object& sample, const py::handle& name,
                        const py::handle& entry, size_t si) {
  py::tuple expected = py::tuple(rows.attr("shape"))[tail_from(1)];
  py::tuple got = py::tuple(sample.attr("shape"));
  if (expected.equal(got)) return;
  throw py::value_error("calibration sample " + std::to_string(si) + " (" +
                        py::str(entry).cast<std::string>() + ") gives input '" +
                        py::str(name).cast<std::string>() + "' the shape " +
                        py::str(got).cast<std::string>() + ", but sample 0 gives " +
                        py::str(expected).cast<std::string>() +
                        "; all samples of one input must share a shape");
}

struct ConvAttrs {
  py::object kernel_size = py::none();
  py::object stride = py::make_tuple(1, 1);
  py::object padding = py::make_tuple(0, 0);
  py::object dilation = py::make_tuple(1, 1);
  int64_t groups = 1;
};

py::tuple ints_of(const py::handle& attr) { return py::tuple(attr.attr("ints")); }

// Reads the Conv attributes of an ONNX node in their stored order; the
// trailing pads of the two spatial axes are ignored.
ConvAttrs conv_attrs(const py::handle& node) {
  ConvAttrs a;
  for (auto attr : node.attr("attribute")) {
    const std::string name = py::str(attr.attr("name"));
    if (name == "kernel_shape")
      a.kernel_size = ints_of(attr);
    else if (name == "strides")
      a.stride = ints_of(attr);
    else if (name == "pads")
      a.padding = py::tuple(ints_of(attr)[py::slice(0, 2, 1)]);
    else if (name == "dilations")
      a.dilation = ints_of(attr);
    else if (name == "group")
      a.groups = attr.attr("i").cast<int64_t>();
  }
  return a;
}

// nn.Conv2d holding the node's weight and bias.
py::object build_conv(const ConvAttrs& a, const py::object& weight, const py::object& bias) {
  py::tuple wshape = py::tuple(weight.attr("shape"));
  py::object kernel_size = a.kernel_size;
  if (kernel_size.is_none())  // no kernel_shape attribute: the weight's spatial extent
    kernel_size = py::make_tuple(wshape[2], wshape[3]);
  py::object conv = G("torch").attr("nn").attr("Conv2d")(
      py::arg("in_channels") = wshape[1].cast<int64_t>() * a.groups,
      py::arg("out_channels") = wshape[0], py::arg("kernel_size") = kernel_size,
      py::arg("stride") = a.stride, py::arg("padding") = a.padding,
      py::arg("dilation") = a.dilation, py::arg("groups") = a.groups,
      py::arg("bias") = !bias.is_none());
  conv.attr("weight").attr("data") = weight;
  if (!bias.is_none()) conv.attr("bias").attr("data") = bias;
  return conv;
}

// Record conversion of one result into its quant_tab entry.
void write_entry(const py::object& entry, const py::dict& record, const py::object& min_max) {
  py::object np = G("np");
  py::object scales = record["scales"];
  py::object zeros = record["zeros"];
  entry["scale"] = scales.attr("tolist")();
  // round(-zeros / scales) in the arrays' precision, ties to even; 0 where
  // the scale is 0 (no division there).
  py::object ratio = np.attr("zeros_like")(scales);
  np.attr("divide")(np.attr("negative")(zeros), scales, py::arg("out") = ratio,
                    py::arg("where") = scales.attr("__ne__")(0));
  py::object zp = np.attr("round")(ratio).attr("astype")(np.attr("int32"));
  entry["zero_point"] = builtin("list")(zp);
  entry["qtype"] = truthy(record["sym"]) ? "sym" : "asym";
  std::vector<py::object> mm =
      unpack(min_max(entry["scale"], entry["zero_point"], entry["dtype"], entry["qtype"]), 2);
  entry["min"] = mm[0];
  entry["max"] = mm[1];
  entry["w_int"] = record["weights"];
  py::object qmethod = entry["qmethod"];
  if (truthy(qmethod.attr("startswith")("group")) && record["groupsize"].cast<int64_t>() == -1)
    entry["qmethod"] = "channel";
}

}  // namespace

void set_namespace(py::dict g) { globals() = std::move(g); }

void init(py::object self, py::object ir, py::object param, py::object quant_tab) {
  self.attr("ir") = ir.attr("deepcopy")();
  self.attr("param") = param;
  self.attr("quant_tab") = quant_tab;
  self.attr("input_paths") = G("get_input_paths")(param["inputs_meta"]["dataset"]);
}

py::tuple get_w_b(py::object self, py::object model) {
  py::module_::import("onnx.numpy_helper");
  py::object w = py::none(), w_np = py::none(), w_name = py::none();
  py::object b = py::none(), b_np = py::none(), b_name = py::none();
  py::object m = G("copy").attr("deepcopy")(model);
  py::object graph = m.attr("graph");
  py::object nod = graph.attr("node")[py::int_(0)];
  py::object inputs = nod.attr("input");
  const size_t n_in = py::len(inputs);
  py::object get_array = self.attr("ir").attr("get_array");
  for (auto c : graph.attr("initializer")) {
    py::object cst = py::reinterpret_borrow<py::object>(c);
    py::object name = cst.attr("name");
    bool is_w = (n_in > 1 && name.equal(inputs[py::int_(1)])) ||
                (n_in > 0 && name.equal(inputs[py::int_(0)]));
    if (is_w) {
      w = cst;
      w_np = get_array(cst, py::arg("ref") = false);
      w_name = name;
    }
    if (n_in >= 3 && name.equal(inputs[py::int_(2)])) {
      b = cst;
      b_np = get_array(cst, py::arg("ref") = false);
      b_name = name;
    }
  }
  return py::make_tuple(w, w_np, w_name, b, b_np, b_name);
}

void sess_input(py::object self, py::object sess, py::object inputs_data_f) {
  py::object np = G("np");
  py::object model_inputs = self.attr("ir").attr("inputs");
  py::object attrs = self.attr("param")["inputs_meta"]["attrs"];
  py::object paths = self.attr("input_paths");
  const size_t N = py::len(paths);
  for (auto inp : sess.attr("get_inputs")()) {
    py::object name = inp.attr("name");
    if (inputs_data_f.contains(name)) continue;
    if (!model_inputs.contains(name)) continue;
    py::object attr = attrs[name];
    for (size_t si = 0; si < N; ++si) {
      py::object img = G("get_input_img")(paths[py::int_(si)][attr["idx"]], "nchw", attr["shape"],
                                          attr["layout"], attr["rgb2bgr"]);
      py::object img_f = G("preprocess_input")(img, attr["layout"], attr["mean"], attr["std"],
                                               attr["dtype"]);
      if (si == 0) {
        py::tuple shape = py::tuple(py::make_tuple(N)) + py::tuple(img_f.attr("shape"));
        inputs_data_f[name] = np.attr("empty")(shape, py::arg("dtype") = img_f.attr("dtype"));
      } else {
        check_sample_shape(inputs_data_f[name], img_f, name, paths[py::int_(si)], si);
      }
      inputs_data_f[name][py::int_(si)] = img_f;
    }
  }
}

void sess_run(py::object self, py::object sess, py::object inputs_data_f) {
  py::object np = G("np");
  const size_t N = py::len(self.attr("input_paths"));
  py::list sess_inputs = py::list(sess.attr("get_inputs")());
  py::list out;
  for (size_t i = 0; i < N; ++i) {
    py::dict feed;
    for (auto inp : sess_inputs) {
      py::object name = inp.attr("name");
      feed[name] = inputs_data_f[name][py::int_(i)];
    }
    py::list out_ = py::list(sess.attr("run")(feed));
    if (i == 0) {
      for (auto o : out_) {
        py::tuple shape = py::tuple(py::make_tuple(N)) + py::tuple(o.attr("shape"));
        out.append(np.attr("empty")(shape, py::arg("dtype") = o.attr("dtype")));
      }
    }
    for (size_t k = 0; k < py::len(out_); ++k) out[k][py::int_(i)] = out_[k];
  }
  py::list outputs = py::list(sess.attr("get_outputs")());
  for (size_t k = 0; k < py::len(out); ++k) inputs_data_f[outputs[k].attr("name")] = out[k];
}

void quantize(py::object self, py::object layer, py::object inp, py::object w_name,
              py::object quantizers, py::object dev, py::object print_log) {
  py::object param = self.attr("param");
  // Group size: "group<N>" gives N x kh x kw columns per group, unless the
  // column count is not a multiple of it.
  py::object groupsize = py::int_(-1);
  py::str qmethod = param["qmethod"];
  if (truthy(qmethod.attr("startswith")("group"))) {
    py::tuple ks = py::tuple(layer.attr("kernel_size"));
    groupsize = builtin("int")(qmethod[tail_from(5)]) * ks[0] * ks[1];
    py::object shape = layer.attr("weight").attr("shape");
    py::object columns = G("np").attr("prod")(shape[tail_from(1)]);
    if (truthy(builtin("int")(columns).attr("__mod__")(groupsize))) groupsize = py::int_(-1);
  }
  py::object par = self.attr("quant_tab")[w_name];
  const bool is_sym = py::str(par["qtype"]).cast<std::string>() == "sym" ||
                      groupsize.cast<int64_t>() != -1;
  py::object time = G("time");
  py::object t1 = time.attr("time")();

  py::object moq = G("decoupleQ")(layer, py::arg("print_log") = print_log);
  py::object quantizer = G("Quantizer")();
  std::string dtype_w = py::str(param["dtype_w"]);
  quantizer.attr("configure")(py::arg("sym") = is_sym,
                              py::arg("bits") = builtin("int")(dtype_w.substr(dtype_w.size() - 1)));
  moq.attr("quantizer") = quantizer;
  py::list mask;
  mask.append(py::none());
  layer.attr("mask") = mask;
  // Sample axis and per-sample batch axis merged: one batch of N x B images.
  py::tuple ishape = py::tuple(inp.attr("shape"));
  py::object X = inp.attr("reshape")(py::tuple(py::make_tuple(-1)) +
                                     py::tuple(ishape[tail_from(2)]));
  moq.attr("add_batch")(X, py::none(), mask[0]);
  py::object res = moq.attr("startquant")(
      py::arg("dev") = dev, py::arg("groupsize") = groupsize, py::arg("symmetric") = is_sym,
      py::arg("max_iter_num") = 4, py::arg("inner_iters_for_round") = 50,
      py::arg("iters_before_round") = 50, py::arg("lr") = 0.001, py::arg("actorder") = true,
      py::arg("round_fn") = "gptq");
  std::vector<py::object> r = unpack(res, 4);
  py::object scale_out = r[0], zero_out = r[1], w_int = r[2], loss = r[3];
  py::object t2 = time.attr("time")();
  if (truthy(print_log)) {
    py::object print = builtin("print");
    print(py::str(w_name) + py::str(", time cost ") + py::str(t2 - t1) + py::str(", loss is ") +
          py::str(loss.attr("mean")().attr("item")()));
    print();
  }
  py::dict record;
  record["scales"] = scale_out.attr("cpu")().attr("t")().attr("numpy")().attr("flatten")();
  record["zeros"] = zero_out.attr("cpu")().attr("t")().attr("numpy")().attr("flatten")();
  record["weights"] = w_int.attr("cpu")().attr("numpy")();
  record["loss"] = loss.attr("cpu")();
  record["groupsize"] = groupsize;
  record["sym"] = py::bool_(is_sym);
  quantizers[w_name] = record;
  moq.attr("free")();
  quantizer.attr("free")();
}

py::object run(py::object self) {
  std::vector<py::object> split = unpack(self.attr("ir").attr("create_ir_layers")(), 3);
  py::object ir_layers = split[0], can_frees = split[1];
  py::dict quantizers;
  py::dict inputs_data_f;

  py::object torch = G("torch");
  std::string dev = truthy(torch.attr("cuda").attr("is_available")()) ? "cuda" : "cpu";
  if (dev == "cpu") {
    py::object environ = G("os").attr("environ");
    environ["OMP_NUM_THREADS"] = "8";
    environ["MKL_NUM_THREADS"] = "8";
    torch.attr("set_num_threads")(8);
  }

  py::object tqdm = py::module_::import("tqdm").attr("tqdm");
  py::object bar = tqdm(ir_layers, py::arg("desc") = "I GdqQuant ", py::arg("ncols") = 100);
  py::object from_numpy = torch.attr("from_numpy");
  int64_t il = 0;
  for (auto item : bar) {
    py::object layer = py::reinterpret_borrow<py::object>(item);
    py::object sess = G("Session")(self.attr("ir"), layer);
    ir_layers[py::int_(il)] = py::none();
    self.attr("_sess_input")(sess, inputs_data_f);
    py::object node = layer.attr("graph").attr("node")[py::int_(0)];
    if (py::str(node.attr("op_type")).cast<std::string>() == "Conv") {
      std::vector<py::object> wb = unpack(self.attr("_get_w_b")(layer), 6);
      py::object weight = torch.attr("tensor")(wb[1]);
      py::object bias = truthy(wb[5]) ? torch.attr("tensor")(wb[4]) : py::none();
      ConvAttrs attrs = conv_attrs(node);
      py::object conv_layer = build_conv(attrs, weight, bias);
      py::object inputs = node.attr("input");
      py::object inp = from_numpy(inputs_data_f[inputs[py::int_(0)]]);
      if (attrs.groups == 1)
        self.attr("quantize")(conv_layer, inp, inputs[py::int_(1)], quantizers, dev, false);
    }
    self.attr("_sess_run")(sess, inputs_data_f);
    for (auto name : can_frees[py::int_(il)])
      if (inputs_data_f.contains(name)) PyDict_DelItem(inputs_data_f.ptr(), name.ptr());
    ++il;
  }

  // Imported here, after the layer loop, from the sibling module.
  std::string package = py::str(G("__package__"));
  py::object min_max = py::module_::import((package + ".quant_utils").c_str())
                           .attr("get_min_max_from_scale_zp");
  py::object quant_tab = self.attr("quant_tab");
  for (auto kv : quantizers) {
    if (!quant_tab.contains(kv.first)) continue;
    write_entry(quant_tab[kv.first], py::reinterpret_borrow<py::dict>(kv.second), min_max);
  }
  return py::int_(0);
}

}  // namespace driver
}  // namespace gdq
