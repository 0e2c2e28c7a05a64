#pragma once
// The published groups of the module, each in its own file, in the order the
// namespace receives them (load.cpp calls them in this order).
//
// Classes are host classes (Quantizer derives from torch.nn.Module, the others
// from object) whose fields are plain attributes, readable and writable from
// Python; their methods are native functions that read the fields, call the
// core with plain structs and tensors (module/convert.h), and write the
// fields back.
#include "module/callable.h"

namespace gdq {
namespace module {

// repeat_interleave, cal_quant_error, my_round, MyAdam, opt_intW3 (wrapped by
// torch.no_grad()), round_gptq, safe_div, quantize, cal_quant_err_scale_zero,
// get_linear_eq.
void def_kernels(Builder& b);

// The class Quantizer (a torch.nn.Module).
void def_quantizer(Builder& b);

// The class decoupleQ: one layer's statistics and its solver.
void def_decoupleq(Builder& b);

// The class GdqQuant: the pass over the model (host methods).
void def_gdq_quant(Builder& b);

// Private entries for tests and benchmarks (names beginning with "_").
void def_private(Builder& b);

}  // namespace module
}  // namespace gdq
