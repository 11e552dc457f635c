// Vector kernels of the rank checkers, chosen once at run time for the processor.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace telvora::kernels {

// row[k] = row[k] - stored[k] * v for k < n, each element on its own, never fused.
void subtract_scaled(double* row, const double* stored, double v, std::size_t n);

// For k < n and t = 0 .. count-1 in order: row[k] = row[k] - updates[t][k] * factors[t], one
// element at a time (used for the columns a panel does not cover).
void subtract_scaled_block(double* row, const double* const* updates, const double* factors, std::size_t count,
                           std::size_t n);

// Updates stored as panels: the chunk of panel_width columns starting at c * panel_width of
// update t sits at panel[(c * stride + t) * panel_width], so one chunk of all updates is one
// contiguous stream. Applies updates indices[0 .. count-1] in order, with their factors, to the
// first n_chunks * panel_width columns of row. When nonzero is given, the chunk c of update t is
// skipped where nonzero[c * stride + t] is 0, that is, where the chunk holds only zeros.
constexpr std::size_t panel_width = 16;
void subtract_scaled_panel(double* row, const double* panel, std::size_t stride, const std::size_t* indices,
                           const double* factors, std::size_t count, std::size_t n_chunks,
                           const unsigned char* nonzero);

// True when none of the n values is infinite or NaN.
bool all_finite(const double* values, std::size_t n);

// The name of the instruction set in use ("avx2", "sse2" or "scalar"), for benchmarks and reports.
const char* instruction_set();

// The sets this processor can run, preferred first, and a switch between them for tests and
// benchmarks (not to be used while another thread computes).
std::vector<std::string> available_instruction_sets();
bool select_instruction_set(const std::string& name);

}  // namespace telvora::kernels
