#pragma once
// Host-visible callables with Python's own argument rules.
//
// Every public function and method of the module is a native function that
// takes (*args, **kwargs), binds them against a declared parameter list with
// the exact errors the host gives for a Python function (too many or too few
// positional arguments, unknown keyword, a parameter given twice), exposes
// that list to `inspect.signature` through its text signature, and records
// its qualified name in the traceback of any error raised inside it.
#include <pybind11/pybind11.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace gdq {
namespace module {

namespace py = pybind11;

struct Param {
  std::string name;
  bool required = true;
  py::object default_value;  // used when !required
};

inline Param req(std::string name) { return Param{std::move(name), true, py::none()}; }
inline Param opt(std::string name, py::object value) {
  return Param{std::move(name), false, std::move(value)};
}

struct Signature {
  std::string qualname;       // "my_round", "Quantizer.configure"
  std::vector<Param> params;  // positional-or-keyword, self included for methods
  bool varargs = false;       // trailing *args
  bool varkw = false;         // trailing **kwargs
  std::string doc;            // documentation text after the signature
};

// Arguments after binding: one value per declared parameter, in order, plus
// the collected extras when the signature takes *args / **kwargs.
struct BoundArgs {
  std::vector<py::object> values;
  py::tuple extra_args;
  py::dict extra_kwargs;
  const py::object& operator[](size_t i) const { return values.at(i); }
};

using Impl = std::function<py::object(const BoundArgs&)>;

// Binds args/kwargs to sig or throws the host's TypeError.
BoundArgs bind_arguments(const Signature& sig, const py::args& args, const py::kwargs& kwargs);

// The text signature "(a, b=1, *args, **kwargs)"; methods list self like any parameter.
std::string text_signature(const Signature& sig);

// A callable named after the last component of sig.qualname; errors raised
// inside gain a traceback entry named "<module_name>.<qualname>".
py::object make_function(const std::string& module_name, const Signature& sig, Impl impl,
                         bool is_method);

// Converts the C++ exception in flight into the host error indicator.
void set_error_from_current_exception();

// --- the table of published names ------------------------------------------

// Default values of published parameters.
inline py::object None() { return py::none(); }
inline py::object Int(int64_t v) { return py::int_(v); }
inline py::object Float(double v) { return py::float_(v); }
inline py::object Bool(bool v) { return py::bool_(v); }
inline py::object Str(const char* v) { return py::str(v); }

using Method = std::pair<std::string, py::object>;

// Publishes functions and classes in module m under the module name `name`.
// Every callable made here runs the core with ATen's intra-op thread count
// capped at the CPUs the process may use (common/threads.h), except the
// host methods, which run at the caller's count.
struct Builder {
  py::module_ m;
  std::string name;

  // A callable `qualname` (a method when it contains a dot), not bound to m.
  py::object fn(const std::string& qualname, std::vector<Param> params, Impl impl,
                bool varargs = false, bool varkw = false);

  // A method cls.name(self, *params) for def_class.
  Method method(const std::string& cls, const std::string& method_name, std::vector<Param> params,
                Impl impl, bool varargs = false, bool varkw = false);

  // A method that works on host objects at the caller's thread count: the
  // driver's, which sets the count for the rest of the process and reaches
  // the core only through the capped entries.
  Method host_method(const std::string& cls, const std::string& method_name,
                     std::vector<Param> params, Impl impl);

  // A module function bound to m, with documentation text after its signature.
  void def(const std::string& fn_name, std::vector<Param> params, Impl impl, bool varkw = false,
           std::string doc = "");

  // A host class built from (name, method) pairs in declaration order, bound to m.
  void def_class(const std::string& cls, const py::object& base,
                 const std::vector<Method>& methods);

 private:
  py::object make(const std::string& qualname, std::vector<Param> params, Impl impl,
                  bool varargs, bool varkw, std::string doc = "");
};

}  // namespace module
}  // namespace gdq
