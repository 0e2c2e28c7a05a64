#include "common/host.h"

#include <ATen/ATen.h>

#include <charconv>
#include <iostream>
#include <map>
#include <sstream>

namespace gdq {
namespace host {
namespace {

Hooks& hooks() {
  static Hooks h;
  return h;
}

std::map<std::string, int64_t>& armed() {
  static std::map<std::string, int64_t> m;
  return m;
}

}  // namespace

void install(Hooks h) { hooks() = std::move(h); }

void print(const std::vector<std::string>& args) {
  if (hooks().print) return hooks().print(args);
  for (size_t i = 0; i < args.size(); ++i) std::cout << (i ? " " : "") << args[i];
  std::cout << std::endl;
}

std::string text(double v) {
  if (hooks().float_text) return hooks().float_text(v);
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof(buf), v);
  return std::string(buf, res.ptr);
}

std::string text(int64_t v) { return std::to_string(v); }

std::string text(const at::Tensor& t) {
  if (hooks().tensor_text) return hooks().tensor_text(t);
  std::ostringstream os;
  os << t;
  return os.str();
}

void empty_cache() {
  if (hooks().empty_cache) hooks().empty_cache();
}

void debug_shell(const std::string& header) {
  if (hooks().debug_shell) return hooks().debug_shell(header);
  print({header});
}

void arm(const std::string& site, int64_t count) {
  if (count <= 0)
    armed().erase(site);
  else
    armed()[site] = count;
}

bool fault(const char* site) {
  auto& m = armed();
  if (m.empty()) return false;
  auto it = m.find(site);
  if (it == m.end()) return false;
  if (--it->second <= 0) m.erase(it);
  return true;
}

}  // namespace host
}  // namespace gdq
