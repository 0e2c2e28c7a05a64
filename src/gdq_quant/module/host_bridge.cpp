#include "module/host_bridge.h"

#include <c10/util/Exception.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "common/errors.h"
#include "common/host.h"
#include "module/convert.h"

namespace gdq {
namespace module {
namespace {

template <typename E>
void set_torch_error(const char* torch_attr, const E& e) {
  py::object type = py::module_::import("torch").attr(torch_attr);
  PyErr_SetString(type.ptr(), e.what_without_backtrace());
}

}  // namespace

void install_host_hooks() {
  host::Hooks h;
  h.print = [](const std::vector<std::string>& args) {
    py::tuple t(args.size());
    for (size_t i = 0; i < args.size(); ++i) t[i] = py::str(args[i]);
    py::module_::import("builtins").attr("print")(*t);
  };
  h.float_text = [](double v) { return py::repr(py::float_(v)).cast<std::string>(); };
  h.tensor_text = [](const at::Tensor& t) { return py::str(wrap(t)).cast<std::string>(); };
  h.empty_cache = [] { py::module_::import("torch").attr("cuda").attr("empty_cache")(); };
  h.debug_shell = [](const std::string& header) {
    py::module_ sys = py::module_::import("sys");
    bool interactive = false;
    try {
      interactive = truthy(sys.attr("stdin").attr("isatty")());
    } catch (py::error_already_set&) {
    }
    if (!interactive) {
      // No terminal to talk to: say so and go on rather than block the run.
      py::module_::import("builtins").attr("print")(
          py::str(header), "(no interactive terminal; debugging shell skipped)");
      return;
    }
    py::module_::import("IPython").attr("embed")(py::arg("header") = header);
  };
  host::install(std::move(h));
}

void register_translators() {
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const AssertionNone&) {
      PyObject* e = PyObject_CallOneArg(PyExc_AssertionError, Py_None);
      if (e) {
        PyErr_SetObject(PyExc_AssertionError, e);
        Py_DECREF(e);
      }
    } catch (const AssertionFailure&) {
      PyErr_SetNone(PyExc_AssertionError);
    } catch (const FatalError& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const NotSupported& e) {
      if (std::string(e.what()).empty())
        PyErr_SetNone(PyExc_NotImplementedError);
      else
        PyErr_SetString(PyExc_NotImplementedError, e.what());
    } catch (const c10::OutOfMemoryError& e) {
      set_torch_error("OutOfMemoryError", e);
    } catch (const c10::LinAlgError& e) {
      PyErr_SetString(py::module_::import("torch").attr("linalg").attr("LinAlgError").ptr(),
                      e.what_without_backtrace());
    } catch (const c10::IndexError& e) {
      PyErr_SetString(PyExc_IndexError, e.what_without_backtrace());
    } catch (const c10::ValueError& e) {
      PyErr_SetString(PyExc_ValueError, e.what_without_backtrace());
    } catch (const c10::TypeError& e) {
      PyErr_SetString(PyExc_TypeError, e.what_without_backtrace());
    } catch (const c10::NotImplementedError& e) {
      PyErr_SetString(PyExc_NotImplementedError, e.what_without_backtrace());
    } catch (const c10::Error& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what_without_backtrace());
    }
  });
}

}  // namespace module
}  // namespace gdq
