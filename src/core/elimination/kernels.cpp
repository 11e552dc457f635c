// Vector kernels of the blocked rank checker: one element per lane, multiply then subtract, never fused.
#include "elimination/kernels.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TELVORA_X86 1
#endif

namespace telvora::kernels {

namespace {

constexpr std::size_t width = chunk_width;
static_assert(width == 16, "the register chunks below hold sixteen values");

void subtract_scaled_scalar(double* row, const double* stored, double v, const std::uint64_t* chunks,
                            std::size_t n_chunks) {
    ChunkCursor cursor(chunks, 0, n_chunks);
    for (std::size_t c = cursor.next(); c < n_chunks; c = cursor.next())
        for (std::size_t k = c * width; k < (c + 1) * width; ++k) row[k] = row[k] - stored[k] * v;
}

inline bool applies(const std::uint64_t* set, std::size_t c) {
    return set == nullptr || ((set[c / 64] >> (c % 64)) & 1u);
}

// Subtracts rows[0 .. count-1] in that order, each times its factor and only in its own chunks,
// from row over the chunks of `chunks`: the second step of catching up and subtracting.
void subtract_scaled_rows_scalar(double* row, const double* const* rows, const double* factors,
                                 const std::uint64_t* const* row_chunks, std::size_t count,
                                 const std::uint64_t* chunks, std::size_t n_chunks) {
    ChunkCursor cursor(chunks, 0, n_chunks);
    for (std::size_t c = cursor.next(); c < n_chunks; c = cursor.next())
        for (std::size_t a = 0; a < count; ++a)
            if (applies(row_chunks[a], c))
                for (std::size_t k = c * width; k < (c + 1) * width; ++k) row[k] = row[k] - rows[a][k] * factors[a];
}

void apply_updates_scalar(double* row, const double* block, std::size_t stride, const double* factors,
                          std::uint64_t slots, std::size_t first, std::size_t last, const std::uint64_t* chunks,
                          const std::uint64_t* slot_masks) {
    ChunkCursor cursor(chunks, first, last);
    for (std::size_t c = cursor.next(); c < last; c = cursor.next()) {
        const std::uint64_t touching = slot_masks == nullptr ? slots : slots & slot_masks[c];
        if (touching == 0) continue;
        double* x = row + c * width;
        const double* base = block + c * stride * width;
        for (std::size_t j = 0; j < width; ++j) {
            double value = x[j];
            for (std::uint64_t m = touching; m != 0; m &= m - 1) {
                const int t = std::countr_zero(m);
                value = value - base[t * width + j] * factors[t];
            }
            x[j] = value;
        }
    }
}

double divide_and_store_scalar(double* x, double pivot, std::size_t n_chunks, double* slot, std::size_t slot_stride,
                              std::uint64_t* nonzero) {
    std::fill_n(nonzero, chunk_set_words(n_chunks), 0);
    double largest = 0.0;
    for (std::size_t c = 0; c < n_chunks; ++c) {
        bool any = false;
        for (std::size_t k = c * width; k < (c + 1) * width; ++k) {
            const double value = x[k] / pivot;
            x[k] = value;
            slot[c * slot_stride + k - c * width] = value;
            any |= value != 0.0;
            largest = std::max(largest, std::fabs(value));
        }
        if (any) nonzero[c / 64] |= std::uint64_t{1} << (c % 64);
    }
    return largest;
}

bool all_finite_scalar(const double* values, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k)
        if (!std::isfinite(values[k])) return false;
    return true;
}

std::uint64_t take_factors_scalar(double* entries, std::size_t begin, std::size_t end, const double* effects,
                                  std::size_t stride, double tol) {
    std::uint64_t taken = 0;
    for (std::size_t t = begin; t < end; ++t) {
        const double f = entries[t];
        if (!(std::fabs(f) > tol)) continue;
        taken |= std::uint64_t{1} << t;
        const double* row = effects + t * stride;
        for (std::size_t u = t + 1; u < end; ++u) entries[u] = entries[u] - row[u] * f;
    }
    return taken;
}

RowScan scan_row_scalar(const double* values, std::size_t n_chunks, double tol, const std::uint64_t* chunks) {
    RowScan scan{true, false, 0.0};
    ChunkCursor cursor(chunks, 0, n_chunks);
    for (std::size_t c = cursor.next(); c < n_chunks; c = cursor.next())
        for (std::size_t k = c * width; k < (c + 1) * width; ++k) {
            scan.all_finite = scan.all_finite && std::isfinite(values[k]);
            scan.any_above_tol = scan.any_above_tol || std::fabs(values[k]) > tol;
            scan.largest = std::max(scan.largest, std::fabs(values[k]));
        }
    return scan;
}

#ifdef TELVORA_X86

// Sixteen values of a row held in registers while scaled rows are subtracted from them: each
// product is formed and then subtracted, never fused.
struct Sse2Chunk {
    __m128d part[8];

    explicit Sse2Chunk(const double* x) {
        for (int k = 0; k < 8; ++k) part[k] = _mm_loadu_pd(x + 2 * k);
    }
    void subtract_scaled(const double* u, double factor) {
        const __m128d f = _mm_set1_pd(factor);
        for (int k = 0; k < 8; ++k) part[k] = _mm_sub_pd(part[k], _mm_mul_pd(_mm_loadu_pd(u + 2 * k), f));
    }
    void store(double* x) const {
        for (int k = 0; k < 8; ++k) _mm_storeu_pd(x + 2 * k, part[k]);
    }
};

#define TELVORA_AVX2 __attribute__((target("avx2"), always_inline)) inline

struct Avx2Chunk {
    __m256d part[4];

    TELVORA_AVX2 explicit Avx2Chunk(const double* x) {
        for (int k = 0; k < 4; ++k) part[k] = _mm256_loadu_pd(x + 4 * k);
    }
    TELVORA_AVX2 void subtract_scaled(const double* u, double factor) {
        const __m256d f = _mm256_set1_pd(factor);
        for (int k = 0; k < 4; ++k) part[k] = _mm256_sub_pd(part[k], _mm256_mul_pd(_mm256_loadu_pd(u + 4 * k), f));
    }
    // The same row u subtracted from two chunks with their own factors, loaded once.
    TELVORA_AVX2 static void subtract_scaled(Avx2Chunk& a, Avx2Chunk& b, const double* u, double fa, double fb) {
        const __m256d f = _mm256_set1_pd(fa), g = _mm256_set1_pd(fb);
        for (int k = 0; k < 4; ++k) {
            const __m256d v = _mm256_loadu_pd(u + 4 * k);
            a.part[k] = _mm256_sub_pd(a.part[k], _mm256_mul_pd(v, f));
            b.part[k] = _mm256_sub_pd(b.part[k], _mm256_mul_pd(v, g));
        }
    }
    // The same with a chunk held in registers.
    TELVORA_AVX2 void subtract_scaled(const Avx2Chunk& u, double factor) {
        const __m256d f = _mm256_set1_pd(factor);
        for (int k = 0; k < 4; ++k) part[k] = _mm256_sub_pd(part[k], _mm256_mul_pd(u.part[k], f));
    }
    TELVORA_AVX2 void store(double* x) const {
        for (int k = 0; k < 4; ++k) _mm256_storeu_pd(x + 4 * k, part[k]);
    }
};

void subtract_scaled_sse2(double* row, const double* stored, double v, const std::uint64_t* chunks,
                          std::size_t n_chunks) {
    ChunkCursor cursor(chunks, 0, n_chunks);
    for (std::size_t c = cursor.next(); c < n_chunks; c = cursor.next()) {
        Sse2Chunk x(row + c * width);
        x.subtract_scaled(stored + c * width, v);
        x.store(row + c * width);
    }
}

void subtract_scaled_rows_sse2(double* row, const double* const* rows, const double* factors,
                               const std::uint64_t* const* row_chunks, std::size_t count,
                               const std::uint64_t* chunks, std::size_t n_chunks) {
    ChunkCursor cursor(chunks, 0, n_chunks);
    for (std::size_t c = cursor.next(); c < n_chunks; c = cursor.next()) {
        Sse2Chunk x(row + c * width);
        for (std::size_t a = 0; a < count; ++a)
            if (applies(row_chunks[a], c)) x.subtract_scaled(rows[a] + c * width, factors[a]);
        x.store(row + c * width);
    }
}

void apply_updates_sse2(double* row, const double* block, std::size_t stride, const double* factors,
                        std::uint64_t slots, std::size_t first, std::size_t last, const std::uint64_t* chunks,
                        const std::uint64_t* slot_masks) {
    ChunkCursor cursor(chunks, first, last);
    for (std::size_t c = cursor.next(); c < last; c = cursor.next()) {
        const std::uint64_t touching = slot_masks == nullptr ? slots : slots & slot_masks[c];
        if (touching == 0) continue;
        const double* base = block + c * stride * width;
        Sse2Chunk x(row + c * width);
        for (std::uint64_t m = touching; m != 0; m &= m - 1) {
            const int t = std::countr_zero(m);
            x.subtract_scaled(base + t * width, factors[t]);
        }
        x.store(row + c * width);
    }
}

// x * 0 is NaN exactly when x is infinite or NaN, and an unordered comparison flags a NaN.
bool all_finite_sse2(const double* values, std::size_t n) {
    const __m128d zero = _mm_setzero_pd();
    __m128d flags = _mm_setzero_pd();
    std::size_t k = 0;
    for (; k + 2 <= n; k += 2) {
        const __m128d product = _mm_mul_pd(_mm_loadu_pd(values + k), zero);
        flags = _mm_or_pd(flags, _mm_cmpunord_pd(product, product));
    }
    return _mm_movemask_pd(flags) == 0 && all_finite_scalar(values + k, n - k);
}

RowScan scan_row_sse2(const double* values, std::size_t n_chunks, double tol, const std::uint64_t* chunks) {
    const __m128d zero = _mm_setzero_pd(), sign = _mm_set1_pd(-0.0), limit = _mm_set1_pd(tol);
    __m128d non_finite = _mm_setzero_pd(), above = _mm_setzero_pd(), largest = _mm_setzero_pd();
    ChunkCursor cursor(chunks, 0, n_chunks);
    for (std::size_t c = cursor.next(); c < n_chunks; c = cursor.next())
        for (std::size_t k = c * width; k < (c + 1) * width; k += 2) {
            const __m128d value = _mm_loadu_pd(values + k);
            const __m128d product = _mm_mul_pd(value, zero);
            const __m128d magnitude = _mm_andnot_pd(sign, value);
            non_finite = _mm_or_pd(non_finite, _mm_cmpunord_pd(product, product));
            above = _mm_or_pd(above, _mm_cmpgt_pd(magnitude, limit));
            largest = _mm_max_pd(magnitude, largest);  // the second operand where the first is NaN
        }
    alignas(16) double lanes[2];
    _mm_store_pd(lanes, largest);
    return {_mm_movemask_pd(non_finite) == 0, _mm_movemask_pd(above) != 0, std::max(lanes[0], lanes[1])};
}

__attribute__((target("avx2"))) void subtract_scaled_avx2(double* row, const double* stored, double v,
                                                          const std::uint64_t* chunks, std::size_t n_chunks) {
    ChunkCursor cursor(chunks, 0, n_chunks);
    for (std::size_t c = cursor.next(); c < n_chunks; c = cursor.next()) {
        Avx2Chunk x(row + c * width);
        x.subtract_scaled(stored + c * width, v);
        x.store(row + c * width);
    }
}

// Each value's subtractions form one chain, and one chunk holds only four: two chunks that take
// the same slots are worked on together, so that eight chains hide the latency of the subtraction.
__attribute__((target("avx2"))) void apply_updates_avx2(double* row, const double* block, std::size_t stride,
                                                        const double* factors, std::uint64_t slots,
                                                        std::size_t first, std::size_t last,
                                                        const std::uint64_t* chunks,
                                                        const std::uint64_t* slot_masks) {
    ChunkCursor cursor(chunks, first, last);
    const auto touching_at = [&](std::size_t c) { return slot_masks == nullptr ? slots : slots & slot_masks[c]; };
    std::size_t c = cursor.next();
    while (c < last) {
        const std::uint64_t touching = touching_at(c);
        const std::size_t next = cursor.next();
        const double* base = block + c * stride * width;
        if (next < last && touching != 0 && touching_at(next) == touching) {
            const double* other_base = block + next * stride * width;
            Avx2Chunk x(row + c * width), y(row + next * width);
            for (std::uint64_t m = touching; m != 0; m &= m - 1) {
                const int t = std::countr_zero(m);
                x.subtract_scaled(base + t * width, factors[t]);
                y.subtract_scaled(other_base + t * width, factors[t]);
            }
            x.store(row + c * width);
            y.store(row + next * width);
            c = cursor.next();
            continue;
        }
        if (touching != 0) {
            Avx2Chunk x(row + c * width);
            for (std::uint64_t m = touching; m != 0; m &= m - 1) {
                const int t = std::countr_zero(m);
                x.subtract_scaled(base + t * width, factors[t]);
            }
            x.store(row + c * width);
        }
        c = next;
    }
}

__attribute__((target("avx2"))) void apply_updates_to_pair_avx2(
    double* row, double* other_row, const double* block, std::size_t stride, const double* factors,
    const double* other_factors, std::uint64_t slots, std::size_t first, std::size_t last, const std::uint64_t* chunks,
    const std::uint64_t* slot_masks) {
    ChunkCursor cursor(chunks, first, last);
    for (std::size_t c = cursor.next(); c < last; c = cursor.next()) {
        const std::uint64_t touching = slot_masks == nullptr ? slots : slots & slot_masks[c];
        if (touching == 0) continue;
        const double* base = block + c * stride * width;
        Avx2Chunk x(row + c * width), y(other_row + c * width);
        for (std::uint64_t m = touching; m != 0; m &= m - 1) {
            const int t = std::countr_zero(m);
            Avx2Chunk::subtract_scaled(x, y, base + t * width, factors[t], other_factors[t]);
        }
        x.store(row + c * width);
        y.store(other_row + c * width);
    }
}

// Four rows that receive the same slots, each with its own factors. Sixteen accumulators would
// leave no register free, so each chunk is worked on in two halves of eight columns; every block
// load then serves four rows, which halves the block's traffic per update against a pair.
__attribute__((target("avx2"))) void apply_updates_to_four_avx2(double* const* rows, const double* block,
                                                                std::size_t stride, const double* const* factors,
                                                                std::uint64_t slots, std::size_t first,
                                                                std::size_t last, const std::uint64_t* chunks,
                                                                const std::uint64_t* slot_masks) {
    ChunkCursor cursor(chunks, first, last);
    for (std::size_t c = cursor.next(); c < last; c = cursor.next()) {
        const std::uint64_t touching = slot_masks == nullptr ? slots : slots & slot_masks[c];
        if (touching == 0) continue;
        for (std::size_t half = 0; half < width; half += 8) {
            const std::size_t at = c * width + half;
            const double* base = block + c * stride * width + half;
            __m256d low[4], high[4];
            for (int r = 0; r < 4; ++r) {
                low[r] = _mm256_loadu_pd(rows[r] + at);
                high[r] = _mm256_loadu_pd(rows[r] + at + 4);
            }
            for (std::uint64_t m = touching; m != 0; m &= m - 1) {
                const int t = std::countr_zero(m);
                const __m256d u = _mm256_loadu_pd(base + t * width), v = _mm256_loadu_pd(base + t * width + 4);
                for (int r = 0; r < 4; ++r) {
                    const __m256d f = _mm256_set1_pd(factors[r][t]);
                    low[r] = _mm256_sub_pd(low[r], _mm256_mul_pd(u, f));
                    high[r] = _mm256_sub_pd(high[r], _mm256_mul_pd(v, f));
                }
            }
            for (int r = 0; r < 4; ++r) {
                _mm256_storeu_pd(rows[r] + at, low[r]);
                _mm256_storeu_pd(rows[r] + at + 4, high[r]);
            }
        }
    }
}

// Each row's chunk is brought up to date in registers, stored, and subtracted from x's chunk while
// still held.
__attribute__((target("avx2"))) void catch_up_and_subtract_avx2(double* x, const NeededRow* rows, std::size_t count,
                                                                const double* block, std::size_t stride,
                                                                const std::uint64_t* visit, std::size_t n_chunks) {
    ChunkCursor cursor(visit, 0, n_chunks);
    for (std::size_t c = cursor.next(); c < n_chunks; c = cursor.next()) {
        Avx2Chunk xc(x + c * width);
        const double* base = block + c * stride * width;
        for (std::size_t a = 0; a < count; ++a) {
            const NeededRow& needed = rows[a];
            double* chunk = needed.row + c * width;
            std::uint64_t touching = 0;
            if (needed.slots != 0 && applies(needed.update_chunks, c))
                touching = needed.slot_masks == nullptr ? needed.slots : needed.slots & needed.slot_masks[c];
            const bool subtracted = applies(needed.row_chunks, c);
            if (touching != 0) {
                Avx2Chunk r(chunk);
                for (std::uint64_t m = touching; m != 0; m &= m - 1) {
                    const int t = std::countr_zero(m);
                    r.subtract_scaled(base + t * width, needed.update_factors[t]);
                }
                r.store(chunk);
                if (subtracted) xc.subtract_scaled(r, needed.factor);
            } else if (subtracted) {
                xc.subtract_scaled(chunk, needed.factor);
            }
        }
        xc.store(x + c * width);
    }
}

// A NaN compares unequal to zero and is passed over by the maximum, as in the plain loop. (Without
// AVX2 the plain loop serves: one pass per stored row is not where the time goes.)
__attribute__((target("avx2"))) double divide_and_store_avx2(double* x, double pivot, std::size_t n_chunks,
                                                             double* slot, std::size_t slot_stride,
                                                             std::uint64_t* nonzero) {
    std::fill_n(nonzero, chunk_set_words(n_chunks), 0);
    const __m256d divisor = _mm256_set1_pd(pivot), zero = _mm256_setzero_pd(), sign = _mm256_set1_pd(-0.0);
    __m256d largest = _mm256_setzero_pd();
    for (std::size_t c = 0; c < n_chunks; ++c) {
        __m256d any = _mm256_setzero_pd();
        for (std::size_t k = 0; k < width; k += 4) {
            const __m256d value = _mm256_div_pd(_mm256_loadu_pd(x + c * width + k), divisor);
            _mm256_storeu_pd(x + c * width + k, value);
            _mm256_storeu_pd(slot + c * slot_stride + k, value);
            any = _mm256_or_pd(any, _mm256_cmp_pd(value, zero, _CMP_NEQ_UQ));
            largest = _mm256_max_pd(_mm256_andnot_pd(sign, value), largest);
        }
        if (_mm256_movemask_pd(any) != 0) nonzero[c / 64] |= std::uint64_t{1} << (c % 64);
    }
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, largest);
    return std::max({lanes[0], lanes[1], lanes[2], lanes[3]});
}

__attribute__((target("avx2"))) bool all_finite_avx2(const double* values, std::size_t n) {
    const __m256d zero = _mm256_setzero_pd();
    __m256d flags = _mm256_setzero_pd();
    std::size_t k = 0;
    for (; k + 4 <= n; k += 4) {
        const __m256d product = _mm256_mul_pd(_mm256_loadu_pd(values + k), zero);
        flags = _mm256_or_pd(flags, _mm256_cmp_pd(product, product, _CMP_UNORD_Q));
    }
    return _mm256_movemask_pd(flags) == 0 && all_finite_scalar(values + k, n - k);
}

__attribute__((target("avx2"))) std::uint64_t take_factors_avx2(double* entries, std::size_t begin, std::size_t end,
                                                                const double* effects, std::size_t stride,
                                                                double tol) {
    std::uint64_t taken = 0;
    for (std::size_t t = begin; t < end; ++t) {
        const double f = entries[t];
        if (!(std::fabs(f) > tol)) continue;
        taken |= std::uint64_t{1} << t;
        const double* row = effects + t * stride;
        const __m256d factor = _mm256_set1_pd(f);
        std::size_t u = t + 1;
        for (; u + 4 <= end; u += 4)
            _mm256_storeu_pd(entries + u, _mm256_sub_pd(_mm256_loadu_pd(entries + u),
                                                        _mm256_mul_pd(_mm256_loadu_pd(row + u), factor)));
        for (; u < end; ++u) entries[u] = entries[u] - row[u] * f;
    }
    return taken;
}

// x * 0 is NaN exactly when x is infinite or NaN; |x| > tol is false for a NaN (ordered compare).
__attribute__((target("avx2"))) RowScan scan_row_avx2(const double* values, std::size_t n_chunks, double tol,
                                                      const std::uint64_t* chunks) {
    const __m256d zero = _mm256_setzero_pd(), sign = _mm256_set1_pd(-0.0), limit = _mm256_set1_pd(tol);
    __m256d non_finite = _mm256_setzero_pd(), above = _mm256_setzero_pd(), largest = _mm256_setzero_pd();
    ChunkCursor cursor(chunks, 0, n_chunks);
    for (std::size_t c = cursor.next(); c < n_chunks; c = cursor.next())
        for (std::size_t k = c * width; k < (c + 1) * width; k += 4) {
            const __m256d value = _mm256_loadu_pd(values + k);
            const __m256d product = _mm256_mul_pd(value, zero);
            const __m256d magnitude = _mm256_andnot_pd(sign, value);
            non_finite = _mm256_or_pd(non_finite, _mm256_cmp_pd(product, product, _CMP_UNORD_Q));
            above = _mm256_or_pd(above, _mm256_cmp_pd(magnitude, limit, _CMP_GT_OQ));
            largest = _mm256_max_pd(magnitude, largest);  // the second operand where the first is NaN
        }
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, largest);
    return {_mm256_movemask_pd(non_finite) == 0, _mm256_movemask_pd(above) != 0,
            std::max({lanes[0], lanes[1], lanes[2], lanes[3]})};
}

#undef TELVORA_AVX2

#endif

// Where no kernel shares the loads, a pair is two rows one after the other.
template <decltype(&apply_updates_scalar) single>
void apply_updates_to_pair_in_turn(double* row, double* other_row, const double* block, std::size_t stride,
                                   const double* factors, const double* other_factors, std::uint64_t slots,
                                   std::size_t first, std::size_t last, const std::uint64_t* chunks,
                                   const std::uint64_t* slot_masks) {
    single(row, block, stride, factors, slots, first, last, chunks, slot_masks);
    single(other_row, block, stride, other_factors, slots, first, last, chunks, slot_masks);
}

template <decltype(&apply_updates_scalar) single>
void apply_updates_to_four_in_turn(double* const* rows, const double* block, std::size_t stride,
                                   const double* const* factors, std::uint64_t slots, std::size_t first,
                                   std::size_t last, const std::uint64_t* chunks, const std::uint64_t* slot_masks) {
    for (int r = 0; r < 4; ++r) single(rows[r], block, stride, factors[r], slots, first, last, chunks, slot_masks);
}

// Where no kernel reads each row once for both, the rows are brought up to date and then subtracted.
template <decltype(&apply_updates_scalar) apply, decltype(&subtract_scaled_rows_scalar) subtract>
void catch_up_then_subtract(double* x, const NeededRow* rows, std::size_t count, const double* block,
                            std::size_t stride, const std::uint64_t* visit, std::size_t n_chunks) {
    const double* row_pointers[max_needed_rows];
    double factors[max_needed_rows];
    const std::uint64_t* row_chunks[max_needed_rows];
    for (std::size_t a = 0; a < count; ++a) {
        const NeededRow& needed = rows[a];
        if (needed.slots != 0)
            apply(needed.row, block, stride, needed.update_factors, needed.slots, 0, n_chunks, needed.update_chunks,
                  needed.slot_masks);
        row_pointers[a] = needed.row;
        factors[a] = needed.factor;
        row_chunks[a] = needed.row_chunks;
    }
    subtract(x, row_pointers, factors, row_chunks, count, visit, n_chunks);
}

struct Dispatch {
    decltype(&subtract_scaled_scalar) subtract_scaled;
    decltype(&apply_updates_scalar) apply_updates;
    decltype(&apply_updates_to_pair_in_turn<apply_updates_scalar>) apply_updates_to_pair;
    decltype(&apply_updates_to_four_in_turn<apply_updates_scalar>) apply_updates_to_four;
    decltype(&catch_up_then_subtract<apply_updates_scalar, subtract_scaled_rows_scalar>) catch_up_and_subtract;
    decltype(&all_finite_scalar) all_finite;
    decltype(&divide_and_store_scalar) divide_and_store;
    decltype(&scan_row_scalar) scan_row;
    decltype(&take_factors_scalar) take_factors;
    const char* name;
};

// Every kernel set this processor can run, the preferred one first.
std::vector<Dispatch> runnable_sets() {
    std::vector<Dispatch> sets;
#ifdef TELVORA_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) 
        sets.push_back({subtract_scaled_avx2, apply_updates_avx2, apply_updates_to_pair_avx2,
                        apply_updates_to_four_avx2, catch_up_and_subtract_avx2,
                        all_finite_avx2, divide_and_store_avx2, scan_row_avx2, take_factors_avx2, "avx2"});
    sets.push_back({subtract_scaled_sse2, apply_updates_sse2,
                    apply_updates_to_pair_in_turn<apply_updates_sse2>, apply_updates_to_four_in_turn<apply_updates_sse2>,
                    catch_up_then_subtract<apply_updates_sse2, subtract_scaled_rows_sse2>,
                    all_finite_sse2, divide_and_store_scalar, scan_row_sse2, take_factors_scalar, "sse2"});
#endif
    sets.push_back({subtract_scaled_scalar, apply_updates_scalar,
                    apply_updates_to_pair_in_turn<apply_updates_scalar>,
                    apply_updates_to_four_in_turn<apply_updates_scalar>,
                    catch_up_then_subtract<apply_updates_scalar, subtract_scaled_rows_scalar>,
                    all_finite_scalar, divide_and_store_scalar, scan_row_scalar, take_factors_scalar, "scalar"});
    return sets;
}

// Chosen once; tests may switch it to compare the sets with each other.
Dispatch& dispatch() {
    static Dispatch chosen = runnable_sets().front();
    return chosen;
}

}  // namespace

void subtract_scaled(double* row, const double* stored, double v, const std::uint64_t* chunks,
                     std::size_t n_chunks) {
    dispatch().subtract_scaled(row, stored, v, chunks, n_chunks);
}

void apply_updates(double* row, const double* block, std::size_t stride, const double* factors, std::uint64_t slots,
                   std::size_t first, std::size_t last, const std::uint64_t* chunks, const std::uint64_t* slot_masks) {
    dispatch().apply_updates(row, block, stride, factors, slots, first, last, chunks, slot_masks);
}

void apply_updates_to_pair(double* row, double* other_row, const double* block, std::size_t stride,
                           const double* factors, const double* other_factors, std::uint64_t slots, std::size_t first,
                           std::size_t last, const std::uint64_t* chunks, const std::uint64_t* slot_masks) {
    dispatch().apply_updates_to_pair(row, other_row, block, stride, factors, other_factors, slots, first, last, chunks,
                                     slot_masks);
}

void apply_updates_to_four(double* const* rows, const double* block, std::size_t stride, const double* const* factors,
                           std::uint64_t slots, std::size_t first, std::size_t last, const std::uint64_t* chunks,
                           const std::uint64_t* slot_masks) {
    dispatch().apply_updates_to_four(rows, block, stride, factors, slots, first, last, chunks, slot_masks);
}

void catch_up_and_subtract(double* x, const NeededRow* rows, std::size_t count, const double* block,
                           std::size_t stride, const std::uint64_t* visit, std::size_t n_chunks) {
    dispatch().catch_up_and_subtract(x, rows, count, block, stride, visit, n_chunks);
}

bool all_finite(const double* values, std::size_t n) { return dispatch().all_finite(values, n); }

double divide_and_store(double* x, double pivot, std::size_t n_chunks, double* slot, std::size_t slot_stride,
                        std::uint64_t* nonzero) {
    return dispatch().divide_and_store(x, pivot, n_chunks, slot, slot_stride, nonzero);
}

std::uint64_t take_factors(double* entries, std::size_t begin, std::size_t end, const double* effects,
                           std::size_t stride, double tol) {
    return dispatch().take_factors(entries, begin, end, effects, stride, tol);
}

RowScan scan_row(const double* values, std::size_t n_chunks, double tol, const std::uint64_t* chunks) {
    return dispatch().scan_row(values, n_chunks, tol, chunks);
}

const char* instruction_set() { return dispatch().name; }

std::vector<std::string> available_instruction_sets() {
    std::vector<std::string> names;
    for (const Dispatch& set : runnable_sets()) names.emplace_back(set.name);
    return names;
}

bool select_instruction_set(const std::string& name) {
    for (const Dispatch& set : runnable_sets())
        if (name == set.name) {
            dispatch() = set;
            return true;
        }
    return false;
}

}  // namespace telvora::kernels
