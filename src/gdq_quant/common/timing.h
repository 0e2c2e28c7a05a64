#pragma once
// Private stage timing for the benchmarks. While enabled, every Section adds
// its wall time (measured after the device has finished its queued work) to
// the total of its stage name. Disabled (the default) a Section costs nothing
// but a flag test. Not part of the public surface of the module.
#include <c10/core/Device.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace gdq {
namespace timing {

void enable(bool on);
bool enabled();
// Accumulated seconds per stage, in the order stages were first seen; clears them.
std::vector<std::pair<std::string, double>> take();

class Section {
 public:
  Section(const char* name, c10::Device device);
  ~Section();
  Section(const Section&) = delete;
  Section& operator=(const Section&) = delete;

 private:
  const char* name_;
  c10::Device device_;
  bool active_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace timing
}  // namespace gdq
