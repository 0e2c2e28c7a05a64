#pragma once
// One layer's statistics and the alternating solver for its integer weights
// and output scale/zero.
#include <ATen/core/Tensor.h>

#include <array>
#include <optional>
#include <string>

#include "quantizer/quantizer.h"

namespace gdq {

enum class LayerKind { Conv2d, Conv1D, Linear, Other };

// What the solver needs to know of a layer object.
struct LayerView {
  LayerKind kind = LayerKind::Other;
  at::Tensor weight;  // the layer's stored weight (not copied)
  std::array<int64_t, 2> kernel_size{1, 1}, stride{1, 1}, padding{0, 0}, dilation{1, 1};
  int64_t groups = 1;  // Conv2d: convolution groups
};

// Weight matrix W of a layer: Conv2d flattened from axis 1, Conv1D (2-D)
// transposed, Linear as stored; anything else throws NotSupported("not support yet").
at::Tensor weight_matrix(const LayerView& layer, const at::Tensor& weight);

// Running mean of x x^T over input vectors x in W's column order (float64).
struct HessianState {
  at::Tensor H;          // (D, D), (groups, D, D) for a grouped Conv2d; undefined until
                         // the first accepted batch
  double nsamples = 0;   // number (or mask weight) of vectors accumulated
};

// Accumulates one batch into the running mean, in float64 on inp's device.
//   Conv2d: inp (B, C, Hin, Win); the patch matrix X (C*kh*kw, B*L) (columns by
//     image, then patch position) is formed and multiplied chunk by chunk: at
//     most `chunk` images at a time, fewer when one chunk's float64 patches
//     would exceed 2^25 elements. A mask is not applied to the vectors, but
//     its sum is what nsamples grows by.
//     With groups g > 1 (C divisible by g, TORCH_CHECK), H is (g, D, D), D =
//     (C / g)*kh*kw: H[j] is the statistic of the patches of input channels
//     [j*C/g, (j+1)*C/g), as an ungrouped layer on those channels alone
//     would accumulate it (one batched product per chunk, a chunk's patches
//     at most 2^20 elements; on the CPU, groups of at most 32 values per
//     patch without forming the patches); nsamples counts each patch
//     position once, not g times.
//   Linear / Conv1D: inp (..., D), one vector per row of inp.reshape(-1, D);
//     a mask (any shape with one value per vector) multiplies the vectors and
//     nsamples grows by its sum.
// H <- (H * nsamples + X X^T) / (nsamples + n). A batch containing NaN is
// skipped with the line "catch a NAN!!!!!!". A batch with no vectors (or a
// mask summing to 0) changes nothing, also as the first batch. Other layer
// kinds throw NotSupported("not support yet").
void add_batch(HessianState& st, const LayerView& layer, const at::Tensor& inp,
               const std::optional<at::Tensor>& mask, int64_t chunk = 64);

struct StartQuantArgs {
  int64_t groupsize = -1;
  bool symmetric = false;
  int64_t max_iter_num = 4;
  int64_t inner_iters_for_round = 50;
  int64_t iters_before_round = 50;
  std::string dev = "cpu";
  double lr = 0.001;
  bool actorder = true;
  std::string round_fn = "gptq";
  double perdamp = 0.01;
  bool print_log = false;
};

struct StartQuantResult {
  at::Tensor scale_out, zero_out;  // (rows, G) (transposed for Conv1D)
  at::Tensor w_int;                // int8, layer weight shape
  at::Tensor err;                  // (rows,) accepted error per row
  at::Tensor Q;                    // dequantized weights, layer weight shape and dtype
};

// Damps H, takes the min/max first estimate, improves it by an act-order GPTQ
// pass and the alternation of rounding and closed-form scale steps with
// strict per-row acceptance (a row takes a candidate only when its error is
// strictly smaller), and builds the result. H is the float64 statistic of
// add_batch (any float dtype is accepted; it is copied to args.dev in float32).
//
// H may also be a stack (G, columns, columns) with G dividing the rows (the
// statistics of a grouped convolution): the rows of W form G consecutive
// blocks of r = rows / G rows, block k weighted by H[k], and every block is
// solved as a separate call on its rows with H[k] would solve it: H[k]
// damped by its own mean diagonal, act order per H[k], the rounding per
// block, and the loop's early stop per block (a block whose step improves
// fewer than 0.01 % of its rows is frozen; the loop ends when all are).
// Only per-channel scales (groupsize -1) are supported then (TORCH_CHECK
// otherwise); a stack of one is the 2-D call. Integer weights equal those of
// separate calls except where a value lies within rounding noise of a grid
// decision (the searches sum in another order).
// `cfg.iters_for_scale` is left at 0 if the loop never ran and at
// max(entry value, 2) otherwise.
//
// All roundings of one call share one damping-ladder factor of the permuted H
// (each still prints the ladder's lines). With print_log the progress lines
// are printed; the out-of-memory lines, the eigenvalues before the fatal
// error, and the ladder's lines are printed regardless.
//
// `nsamples` is the sample count as the host writes it (an int for plain
// batches, a float once a mask was counted); it is only printed.
//
// Errors: NotSupported("") for an unsupported layer kind; FatalError
// "Fatal error, the eigenvalues os hessian is <eigenvalues>" when the
// unsplit scale step reports a negative row error; FatalError from
// round_gptq when no damping level factorises H (some H[k]); anything the
// quantizer raises. c10::OutOfMemoryError of the scale step is handled by a
// retry on 16 row blocks (2-D H, rows % 16 == 0) or by ending the loop.
//
// Fault seam: "scale_step_oom" throws c10::OutOfMemoryError before each
// get_scale_and_zero_out_group call of the scale step (the unsplit call and
// each of the 16 block calls).
//
// Stage timing (common/timing.h): first_estimate, gptq_pass, param_search,
// rounding_steps, scale_steps, and within them gptq_factor, gptq_columns.
StartQuantResult startquant(const LayerView& layer, const at::Tensor& H,
                            const std::string& nsamples, QuantizerConfig& cfg,
                            const StartQuantArgs& args);

}  // namespace gdq
