#pragma once
// The few services the core needs from its host, reached through callbacks
// that the binding layer installs at load time. Without a host (plain C++
// use) they fall back to stdout and no-ops.
#include <ATen/core/Tensor.h>

#include <functional>
#include <string>
#include <vector>

namespace gdq {
namespace host {

struct Hooks {
  // Prints the arguments separated by one blank and ends the line.
  std::function<void(const std::vector<std::string>&)> print;
  // Shortest round-trip decimal text of a float, as the host writes it.
  std::function<std::string(double)> float_text;
  // The tensor library's default text form of a tensor.
  std::function<std::string(const at::Tensor&)> tensor_text;
  // Hands cached accelerator memory back to the device.
  std::function<void()> empty_cache;
  // Interactive debugging shell; returns when the user closes it.
  std::function<void(const std::string& header)> debug_shell;
};

void install(Hooks hooks);

void print(const std::vector<std::string>& args);
std::string text(double v);
std::string text(int64_t v);
std::string text(const at::Tensor& t);
void empty_cache();
void debug_shell(const std::string& header);

// Fault-injection seam for tests: arm(site, n) makes the next n calls of
// fault(site) return true. Sites are plain names chosen by the code that
// polls them (see the .cpp files that call fault()).
void arm(const std::string& site, int64_t count);
bool fault(const char* site);

}  // namespace host
}  // namespace gdq
