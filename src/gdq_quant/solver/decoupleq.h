#pragma once
// One layer's statistics and the alternating solver for its integer weights
// and output scale/zero.
#include <ATen/ATen.h>

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
};

// Weight matrix W of a layer: Conv2d flattened from axis 1, Conv1D (2-D)
// transposed, Linear as stored; anything else throws NotSupported("not support yet").
at::Tensor weight_matrix(const LayerView& layer, const at::Tensor& weight);

// Running mean of x x^T over input vectors x in W's column order (float64).
struct HessianState {
  at::Tensor H;          // undefined until the first accepted batch
  double nsamples = 0;   // number (or mask weight) of vectors accumulated
};

// Accumulates one batch. Conv2d: inp (B, C, Hin, Win) unfolded into
// (C*kh*kw, B*L) patches; Linear / Conv1D: inp (..., D) with optional mask
// weighting each vector. A batch containing NaN is skipped with the line
// "catch a NAN!!!!!!". The work is split into chunks of `chunk` images so that
// the patch matrix never holds more than one chunk.
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

// Damps H, takes the min/max + shrink first estimate, improves it by GPTQ
// rounding and the alternation of rounding and closed-form scale steps with
// strict per-row acceptance. `cfg.iters_for_scale` is updated as the solver
// leaves it. H is the float64 statistic of add_batch.
StartQuantResult startquant(const LayerView& layer, const at::Tensor& H, double nsamples,
                            QuantizerConfig& cfg, const StartQuantArgs& args);

}  // namespace gdq
