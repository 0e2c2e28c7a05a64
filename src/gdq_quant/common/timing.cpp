#include "common/timing.h"

#include <c10/core/impl/DeviceGuardImplInterface.h>

namespace gdq {
namespace timing {
namespace {

struct State {
  bool on = false;
  std::vector<std::pair<std::string, double>> totals;
};

State& state() {
  static State s;
  return s;
}

void sync(c10::Device device) {
  if (device.is_cpu()) return;
  c10::impl::getDeviceGuardImpl(device.type())
      ->synchronizeDevice(device.has_index() ? device.index() : 0);
}

}  // namespace

void enable(bool on) { state().on = on; }
bool enabled() { return state().on; }

std::vector<std::pair<std::string, double>> take() {
  auto out = std::move(state().totals);
  state().totals.clear();
  return out;
}

Section::Section(const char* name, c10::Device device)
    : name_(name), device_(device), active_(state().on) {
  if (!active_) return;
  sync(device_);
  start_ = std::chrono::steady_clock::now();
}

Section::~Section() {
  if (!active_) return;
  try {
    sync(device_);
  } catch (...) {
    // A failing device reports itself through the work that follows.
  }
  const double s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  for (auto& kv : state().totals)
    if (kv.first == name_) {
      kv.second += s;
      return;
    }
  state().totals.emplace_back(name_, s);
}

}  // namespace timing
}  // namespace gdq
