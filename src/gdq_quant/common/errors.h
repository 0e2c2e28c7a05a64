#pragma once
// Error kinds of the core that the binding layer maps onto host exceptions.
//
//   AssertionFailure  -> AssertionError()            (violated precondition, no text)
//   AssertionNone     -> AssertionError(None)        (violated precondition after a diagnostic
//                                                     print; None is the argument)
//   FatalError        -> ValueError(message)         (numerical breakdown)
//   NotSupported      -> NotImplementedError(message)
//
// Tensor-library errors (c10::Error and its subclasses, c10::OutOfMemoryError
// included) pass through unchanged and are mapped by the binding layer too.
// Internal invariants of the core use TORCH_INTERNAL_ASSERT, never these.
#include <stdexcept>
#include <string>

namespace gdq {

struct AssertionFailure : std::logic_error {
  AssertionFailure() : std::logic_error("") {}
};

struct AssertionNone : AssertionFailure {};

struct FatalError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct NotSupported : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A precondition whose violation the caller sees as a bare AssertionError.
#define GDQ_REQUIRE(cond)                 \
  do {                                    \
    if (!(cond)) throw ::gdq::AssertionFailure(); \
  } while (0)

}  // namespace gdq
