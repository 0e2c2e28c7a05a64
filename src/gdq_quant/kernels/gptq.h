#pragma once
// Column-by-column rounding with inverse-Hessian error feedback.
#include <ATen/core/Tensor.h>

#include <vector>

namespace gdq {

// The inverse-Hessian factor of the damping ladder, with what the ladder has
// to say about it, so that one factor can serve several roundings with the
// same H00 and each of them reports exactly what a fresh ladder would.
//
// For a stack H00 (G, cols, cols) (one Hessian per block of rows, see
// round_gptq_grouped) every matrix runs its own ladder: it moves to the next
// level only where its own factorisation failed or gave NaN.
struct GptqFactor {
  at::Tensor U;                // (cols, cols) float64 upper factor, (G, cols, cols) for a
                               // stack; undefined if some matrix got none at any level
  std::vector<double> failed;  // damping levels whose factorisations raised, in ladder
                               // order (for a stack: matrix by matrix, each in ladder order)
  bool nan = false;            // the ladder (of some matrix) ended on a factor containing NaN
  int64_t missing = -1;        // stack: the first matrix without a factor
};

// Runs the damping ladder on H00 (cols, cols) or on every matrix of a stack
// (G, cols, cols) without printing (fault seams included). A stack of
// matrices of order <= 192 is factorised level by level in batched calls
// (the seams "cholesky" and "nan_factor" then act on a whole level);
// larger ones one matrix at a time, each exactly as a 2-D H00 would be.
GptqFactor gptq_factor(const at::Tensor& H00);

struct GptqResult {
  at::Tensor Q;     // (rows, cols) rounded weights as real values, dtype of W
  at::Tensor newW;  // (rows, cols) W as it stood just before each column was rounded
};

// W (rows, cols) float, updated in place by the error feedback (afterwards it
// equals Q up to rounding); scale_out, zero_out (rows, cols) expanded
// dequantization pair; H00 (cols, cols), not modified. All on one device.
// Grid value of column i: clamp(my_round(safe_div(w - zero_out_i, scale_out_i))).
//
// Inverse-Hessian factor: upper U with U^T U = (H00 + t * mean(diag H00) * I)^-1,
// in float64, for the first t of 0.01, 0.1, 1, 10, 100 whose factorisation
// succeeds without NaN (U is computed from the Cholesky factor of the
// order-reversed damped H00 by one triangular inverse; see gptq.cpp). A level
// whose factorisation raises prints the line "海森矩阵为非正定矩阵 <t>"; a NaN
// factor moves on silently. If the ladder ends on a NaN factor,
// host::debug_shell("nan appears!") runs and the NaN factor is used. If no
// level produced a factor at all, FatalError (ValueError) is thrown naming
// the non-positive-definite Hessian.
//
// `blocksize` columns share one lazy trailing update: rank-one updates inside
// the block, one (rows x bs) x (bs x rest) product for the columns after it.
// blocksize <= 1 is the plain column-by-column update of all later columns.
// Both give the same result up to floating-point rounding.
//
// `factor`, when given, must be gptq_factor(H00): the ladder is then not run
// again, but its lines, debug shell and error are reported as if it were.
//
// On CPU (float32/float64) the rounding inside a block runs as a row-parallel
// loop (rows are independent); elsewhere as tensor operations per column.
//
// Fault seams: "cholesky" fails a ladder level as if its first factorisation
// raised; "nan_factor" turns the factor of a level into NaN;
// "gptq_tensor_ops" makes one call take the tensor-operation path on CPU too.
GptqResult round_gptq(at::Tensor& W, const at::Tensor& scale_out, const at::Tensor& zero_out,
                      const at::Scalar& min_bound, const at::Scalar& max_bound,
                      const at::Tensor& H00, int64_t blocksize = 128,
                      const GptqFactor* factor = nullptr);

// round_gptq with one Hessian per block of rows: H00 either (cols, cols) (then
// exactly round_gptq) or a stack (G, cols, cols) with G dividing rows, the
// rows forming G consecutive blocks of rows / G and block k rounded with the
// factor of H00[k]. The ladder's lines are printed matrix by matrix, once
// per failing matrix and level; FatalError when some matrix has no factor,
// the debug shell when some factor holds NaN. On the CPU (float32/float64,
// seam "gptq_tensor_ops" not armed) the row loop runs once per block, in
// place on the block's rows, as for a separate 2-D call on them; elsewhere
// one batched tensor-operation pass over (G, rows / G, cols).
GptqResult round_gptq_grouped(at::Tensor& W, const at::Tensor& scale_out,
                              const at::Tensor& zero_out, const at::Scalar& min_bound,
                              const at::Scalar& max_bound, const at::Tensor& H00,
                              int64_t blocksize = 128, const GptqFactor* factor = nullptr);

}  // namespace gdq
