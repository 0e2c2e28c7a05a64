// Loading the module mivra.api.gdq_quant: its namespace, filled in a fixed
// order of creation, and the load-time rules (one interpreter per process,
// one initialisation).
#include <pybind11/pybind11.h>

#include <string>

#include "driver/gdq_quant.h"
#include "module/callable.h"
#include "module/groups.h"
#include "module/host_bridge.h"

namespace gdq {
namespace module {
namespace {

// Imports, in order: os, copy, numpy as np, math, time, torch, the public
// names of torch.nn (a star import, which with this torch does not bind the
// name nn itself), nn = torch.nn, the toolkit's utilities and Session.
void import_dependencies(py::module_& m) {
  for (const char* name : {"os", "copy"}) m.attr(name) = py::module_::import(name);
  m.attr("np") = py::module_::import("numpy");
  for (const char* name : {"math", "time", "torch"}) m.attr(name) = py::module_::import(name);
  py::module_ nn = py::module_::import("torch.nn");
  py::object all = py::getattr(nn, "__all__", py::none());
  if (!all.is_none()) {
    for (auto name : all) m.attr(name) = nn.attr(name);
  } else {
    for (auto item : nn.attr("__dict__").cast<py::dict>()) {
      std::string name = py::str(item.first);
      if (!name.empty() && name[0] != '_') m.attr(item.first) = item.second;
    }
  }
  m.attr("nn") = nn;
  std::string package = py::str(m.attr("__package__"));
  py::module_ utils = py::module_::import((package + ".mivra_utils").c_str());
  for (const char* name : {"preprocess_input", "get_input_img", "get_input_paths"})
    m.attr(name) = utils.attr(name);
  m.attr("Session") = py::module_::import((package + ".session").c_str()).attr("Session");
}

// Fills the module namespace in its fixed order of creation.
void populate(py::module_ m) {
  import_dependencies(m);
  register_translators();
  install_host_hooks();
  Builder b{m, "mivra.api.gdq_quant"};
  def_kernels(b);
  def_quantizer(b);
  def_decoupleq(b);
  def_gdq_quant(b);
  driver::set_namespace(m.attr("__dict__"));
  def_private(b);
}

// Load-time rules: one interpreter per process, one initialisation.

int64_t g_interpreter = -1;
bool g_initialised = false;

PyObject* module_create(PyObject* import_info, PyModuleDef*) {
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  if (g_interpreter == -1) {
    g_interpreter = id;
  } else if (g_interpreter != id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return nullptr;
  }
  PyObject* name = PyObject_GetAttrString(import_info, "name");
  if (!name) return nullptr;
  PyObject* m = PyModule_NewObject(name);
  Py_DECREF(name);
  return m;
}

int module_exec(PyObject* m) {
  if (g_initialised) {
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'gdq_quant' has already been imported. Re-initialisation is not "
                    "supported.");
    return -1;
  }
  try {
    populate(py::reinterpret_borrow<py::module_>(m));
  } catch (...) {
    set_error_from_current_exception();
    return -1;
  }
  g_initialised = true;
  return 0;
}

PyModuleDef_Slot g_slots[] = {{Py_mod_create, (void*)module_create},
                              {Py_mod_exec, (void*)module_exec},
                              {0, nullptr}};

PyModuleDef g_def = {PyModuleDef_HEAD_INIT,
                     "gdq_quant",
                     "Hessian-weighted low-bit weight quantization of ONNX convolutions.",
                     0,
                     nullptr,
                     g_slots,
                     nullptr,
                     nullptr,
                     nullptr};

}  // namespace
}  // namespace module
}  // namespace gdq

extern "C" PYBIND11_EXPORT PyObject* PyInit_gdq_quant() {
  return PyModuleDef_Init(&gdq::module::g_def);
}
