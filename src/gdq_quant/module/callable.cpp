#include "module/callable.h"

#include <frameobject.h>

#include <sstream>

#include "common/threads.h"

namespace gdq {
namespace module {
namespace {

std::string quoted_list(const std::vector<std::string>& names) {
  // 'a'  /  'a' and 'b'  /  'a', 'b', and 'c'
  std::ostringstream os;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i) os << (names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", "));
    os << "'" << names[i] << "'";
  }
  return os.str();
}

[[noreturn]] void type_error(const std::string& msg) { throw py::type_error(msg); }

std::string repr_default(const py::object& v) { return py::repr(v).cast<std::string>(); }

// Adds a frame named `funcname` to the traceback of the error being raised.
void add_traceback(const std::string& funcname) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  PyCodeObject* code = PyCode_NewEmpty("gdq_quant", funcname.c_str(), 0);
  PyObject* globals = PyDict_New();
  PyFrameObject* frame =
      code && globals ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
  if (tb && value) PyException_SetTraceback(value, tb);
  PyErr_Restore(type, value, tb);
  if (frame) PyTraceBack_Here(frame);
  Py_XDECREF(frame);
  Py_XDECREF(globals);
  Py_XDECREF(code);
}

}  // namespace

BoundArgs bind_arguments(const Signature& sig, const py::args& args, const py::kwargs& kwargs) {
  const std::string fn = sig.qualname + "()";
  const size_t n = sig.params.size();
  BoundArgs out;
  std::vector<bool> given(n, false);
  out.values.resize(n);
  const size_t npos = std::min(args.size(), n);
  for (size_t i = 0; i < npos; ++i) {
    out.values[i] = py::reinterpret_borrow<py::object>(args[i]);
    given[i] = true;
  }
  if (sig.varargs) {
    py::list extra;
    for (size_t i = npos; i < args.size(); ++i) extra.append(args[i]);
    out.extra_args = py::tuple(extra);
  }
  // Keywords are checked before the positional count, as the host does.
  for (auto item : kwargs) {
    const std::string key = py::str(item.first);
    size_t k = 0;
    while (k < n && sig.params[k].name != key) ++k;
    if (k == n) {
      if (!sig.varkw) type_error(fn + " got an unexpected keyword argument '" + key + "'");
      out.extra_kwargs[item.first] = item.second;
      continue;
    }
    if (given[k]) type_error(fn + " got multiple values for argument '" + key + "'");
    out.values[k] = py::reinterpret_borrow<py::object>(item.second);
    given[k] = true;
  }
  if (args.size() > n && !sig.varargs) {
    size_t nreq = 0;
    for (const auto& p : sig.params) nreq += p.required;
    std::ostringstream os;
    os << fn << " takes ";
    if (nreq == n)
      os << n << (n == 1 ? " positional argument" : " positional arguments");
    else
      os << "from " << nreq << " to " << n << " positional arguments";
    os << " but " << args.size() << (args.size() == 1 ? " was" : " were") << " given";
    type_error(os.str());
  }
  std::vector<std::string> missing;
  for (size_t i = 0; i < n; ++i) {
    if (given[i]) continue;
    if (sig.params[i].required)
      missing.push_back(sig.params[i].name);
    else
      out.values[i] = sig.params[i].default_value;
  }
  if (!missing.empty()) {
    std::ostringstream os;
    os << fn << " missing " << missing.size() << " required positional argument"
       << (missing.size() == 1 ? "" : "s") << ": " << quoted_list(missing);
    type_error(os.str());
  }
  return out;
}

std::string text_signature(const Signature& sig) {
  std::ostringstream os;
  os << "(";
  for (size_t i = 0; i < sig.params.size(); ++i) {
    if (i) os << ", ";
    os << sig.params[i].name;
    if (!sig.params[i].required) os << "=" << repr_default(sig.params[i].default_value);
  }
  bool any = !sig.params.empty();
  if (sig.varargs) os << (any ? ", " : "") << "*args", any = true;
  if (sig.varkw) os << (any ? ", " : "") << "**kwargs";
  os << ")";
  return os.str();
}

void set_error_from_current_exception() {
  // pybind11 knows every translator registered by this module and by torch.
  try {
    throw;
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (py::builtin_exception& e) {
    e.set_error();
  } catch (...) {
    py::detail::try_translate_exceptions();
  }
}

namespace {

struct Callable {
  Signature sig;
  Impl impl;
  std::string traced;
};

const char* const kCapsule = "gdq_quant.callable";

PyObject* call_trampoline(PyObject* capsule, PyObject* args, PyObject* kwargs) {
  auto* c = static_cast<Callable*>(PyCapsule_GetPointer(capsule, kCapsule));
  if (!c) return nullptr;
  try {
    py::args a = py::reinterpret_borrow<py::args>(args);
    py::kwargs k = kwargs ? py::reinterpret_borrow<py::kwargs>(kwargs) : py::kwargs();
    BoundArgs bound = bind_arguments(c->sig, a, k);
    return c->impl(bound).release().ptr();
  } catch (...) {
    set_error_from_current_exception();
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "unknown native error");
    add_traceback(c->traced);
    return nullptr;
  }
}

}  // namespace

py::object make_function(const std::string& module_name, const Signature& sig, Impl impl,
                         bool is_method) {
  std::string name = sig.qualname.substr(sig.qualname.rfind('.') + 1);
  // The function lives as long as the module, i.e. the process: its method
  // record and strings are never freed.
  auto* c = new Callable{sig, std::move(impl), module_name + "." + sig.qualname};
  std::string doc = name + text_signature(sig) + "\n--\n\n" + sig.doc;
  auto* def = new PyMethodDef{strdup(name.c_str()), (PyCFunction)(void (*)(void))call_trampoline,
                              METH_VARARGS | METH_KEYWORDS, strdup(doc.c_str())};
  py::object capsule = py::reinterpret_steal<py::object>(PyCapsule_New(c, kCapsule, nullptr));
  py::object mod = py::str(module_name);
  py::object fn = py::reinterpret_steal<py::object>(PyCFunction_NewEx(def, capsule.ptr(), mod.ptr()));
  if (!fn) throw py::error_already_set();
  if (!is_method) return fn;
  return py::reinterpret_steal<py::object>(PyInstanceMethod_New(fn.ptr()));
}

namespace {

// The core runs under the thread cap for the whole call.
Impl capped(Impl impl) {
  return [impl = std::move(impl)](const BoundArgs& a) {
    threads::IntraOpThreadCap cap;
    return impl(a);
  };
}

}  // namespace

py::object Builder::make(const std::string& qualname, std::vector<Param> params, Impl impl,
                         bool varargs, bool varkw, std::string doc) {
  Signature sig{qualname, std::move(params), varargs, varkw, std::move(doc)};
  const bool is_method = qualname.find('.') != std::string::npos;
  return make_function(name, sig, std::move(impl), is_method);
}

py::object Builder::fn(const std::string& qualname, std::vector<Param> params, Impl impl,
                       bool varargs, bool varkw) {
  return make(qualname, std::move(params), capped(std::move(impl)), varargs, varkw);
}

Method Builder::method(const std::string& cls, const std::string& method_name,
                       std::vector<Param> params, Impl impl, bool varargs, bool varkw) {
  params.insert(params.begin(), req("self"));
  return {method_name,
          fn(cls + "." + method_name, std::move(params), std::move(impl), varargs, varkw)};
}

Method Builder::host_method(const std::string& cls, const std::string& method_name,
                            std::vector<Param> params, Impl impl) {
  params.insert(params.begin(), req("self"));
  return {method_name, make(cls + "." + method_name, std::move(params), std::move(impl), false,
                            false)};
}

void Builder::def(const std::string& fn_name, std::vector<Param> params, Impl impl, bool varkw,
                  std::string doc) {
  m.attr(fn_name.c_str()) =
      make(fn_name, std::move(params), capped(std::move(impl)), false, varkw, std::move(doc));
}

void Builder::def_class(const std::string& cls, const py::object& base,
                        const std::vector<Method>& methods) {
  py::dict ns;
  ns["__module__"] = name;
  ns["__qualname__"] = cls;
  for (const auto& [method_name, f] : methods) ns[method_name.c_str()] = f;
  py::object type = py::reinterpret_borrow<py::object>((PyObject*)&PyType_Type);
  m.attr(cls.c_str()) = type(cls, py::make_tuple(base), ns);
}

}  // namespace module
}  // namespace gdq
