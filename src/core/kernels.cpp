// Vector kernels of the blocked rank checker: one element per lane, multiply then subtract, never fused.
#include "kernels.hpp"

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

void subtract_scaled_scalar(double* row, const double* stored, double v, const std::uint64_t* chunks,
                            std::size_t n_chunks) {
    ChunkCursor cursor(chunks, 0, n_chunks);
    for (std::size_t c = cursor.next(); c < n_chunks; c = cursor.next())
        for (std::size_t k = c * width; k < (c + 1) * width; ++k) row[k] = row[k] - stored[k] * v;
}

inline bool applies(const std::uint64_t* set, std::size_t c) {
    return set == nullptr || ((set[c / 64] >> (c % 64)) & 1u);
}

void subtract_scaled_rows_scalar(double* row, const double* const* rows, const double* factors,
                                 const std::uint64_t* const* row_chunks, std::size_t count,
                                 const std::uint64_t* chunks, std::size_t n_chunks) {
    ChunkCursor cursor(chunks, 0, n_chunks);
    for (std::size_t c = cursor.next(); c < n_chunks; c = cursor.next())
        for (std::size_t a = 0; a < count; ++a)
            if (applies(row_chunks[a], c))
                for (std::size_t k = c * width; k < (c + 1) * width; ++k) row[k] = row[k] - rows[a][k] * factors[a];
}

void apply_updates_scalar(double* row, const double* panel, std::size_t stride, const double* factors,
                          std::uint64_t slots, std::size_t first, std::size_t last, const std::uint64_t* chunks,
                          const std::uint64_t* slot_masks) {
    ChunkCursor cursor(chunks, first, last);
    for (std::size_t c = cursor.next(); c < last; c = cursor.next()) {
        const std::uint64_t touching = slot_masks == nullptr ? slots : slots & slot_masks[c];
        if (touching == 0) continue;
        double* x = row + c * width;
        const double* base = panel + c * stride * width;
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

bool all_finite_scalar(const double* values, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k)
        if (!std::isfinite(values[k])) return false;
    return true;
}

#ifdef TELVORA_X86

void subtract_scaled_sse2(double* row, const double* stored, double v, const std::uint64_t* chunks,
                          std::size_t n_chunks) {
    const __m128d factor = _mm_set1_pd(v);
    ChunkCursor cursor(chunks, 0, n_chunks);
    for (std::size_t c = cursor.next(); c < n_chunks; c = cursor.next())
        for (std::size_t k = c * width; k < (c + 1) * width; k += 2)
            _mm_storeu_pd(row + k, _mm_sub_pd(_mm_loadu_pd(row + k), _mm_mul_pd(_mm_loadu_pd(stored + k), factor)));
}

void subtract_scaled_rows_sse2(double* row, const double* const* rows, const double* factors,
                               const std::uint64_t* const* row_chunks, std::size_t count,
                               const std::uint64_t* chunks, std::size_t n_chunks) {
    ChunkCursor cursor(chunks, 0, n_chunks);
    for (std::size_t c = cursor.next(); c < n_chunks; c = cursor.next())
        for (std::size_t half = 0; half < 2; ++half) {
            double* x = row + c * width + 8 * half;
            __m128d a0 = _mm_loadu_pd(x), a1 = _mm_loadu_pd(x + 2);
            __m128d a2 = _mm_loadu_pd(x + 4), a3 = _mm_loadu_pd(x + 6);
            for (std::size_t a = 0; a < count; ++a) {
                if (!applies(row_chunks[a], c)) continue;
                const __m128d f = _mm_set1_pd(factors[a]);
                const double* r = rows[a] + c * width + 8 * half;
                a0 = _mm_sub_pd(a0, _mm_mul_pd(_mm_loadu_pd(r), f));
                a1 = _mm_sub_pd(a1, _mm_mul_pd(_mm_loadu_pd(r + 2), f));
                a2 = _mm_sub_pd(a2, _mm_mul_pd(_mm_loadu_pd(r + 4), f));
                a3 = _mm_sub_pd(a3, _mm_mul_pd(_mm_loadu_pd(r + 6), f));
            }
            _mm_storeu_pd(x, a0);
            _mm_storeu_pd(x + 2, a1);
            _mm_storeu_pd(x + 4, a2);
            _mm_storeu_pd(x + 6, a3);
        }
}

void apply_updates_sse2(double* row, const double* panel, std::size_t stride, const double* factors,
                        std::uint64_t slots, std::size_t first, std::size_t last, const std::uint64_t* chunks,
                        const std::uint64_t* slot_masks) {
    static_assert(width == 16);
    ChunkCursor cursor(chunks, first, last);
    for (std::size_t c = cursor.next(); c < last; c = cursor.next()) {
        const std::uint64_t touching = slot_masks == nullptr ? slots : slots & slot_masks[c];
        if (touching == 0) continue;
        const double* base = panel + c * stride * width;
        for (std::size_t half = 0; half < 2; ++half) {
            double* x = row + c * width + 8 * half;
            __m128d a0 = _mm_loadu_pd(x), a1 = _mm_loadu_pd(x + 2);
            __m128d a2 = _mm_loadu_pd(x + 4), a3 = _mm_loadu_pd(x + 6);
            for (std::uint64_t m = touching; m != 0; m &= m - 1) {
                const int t = std::countr_zero(m);
                const __m128d f = _mm_set1_pd(factors[t]);
                const double* u = base + t * width + 8 * half;
                a0 = _mm_sub_pd(a0, _mm_mul_pd(_mm_loadu_pd(u), f));
                a1 = _mm_sub_pd(a1, _mm_mul_pd(_mm_loadu_pd(u + 2), f));
                a2 = _mm_sub_pd(a2, _mm_mul_pd(_mm_loadu_pd(u + 4), f));
                a3 = _mm_sub_pd(a3, _mm_mul_pd(_mm_loadu_pd(u + 6), f));
            }
            _mm_storeu_pd(x, a0);
            _mm_storeu_pd(x + 2, a1);
            _mm_storeu_pd(x + 4, a2);
            _mm_storeu_pd(x + 6, a3);
        }
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

__attribute__((target("avx2"))) void subtract_scaled_avx2(double* row, const double* stored, double v,
                                                          const std::uint64_t* chunks, std::size_t n_chunks) {
    static_assert(width == 16);
    const __m256d factor = _mm256_set1_pd(v);
    ChunkCursor cursor(chunks, 0, n_chunks);
    for (std::size_t c = cursor.next(); c < n_chunks; c = cursor.next()) {
        double* x = row + c * width;
        const double* r = stored + c * width;
        const __m256d a0 = _mm256_sub_pd(_mm256_loadu_pd(x), _mm256_mul_pd(_mm256_loadu_pd(r), factor));
        const __m256d a1 = _mm256_sub_pd(_mm256_loadu_pd(x + 4), _mm256_mul_pd(_mm256_loadu_pd(r + 4), factor));
        const __m256d a2 = _mm256_sub_pd(_mm256_loadu_pd(x + 8), _mm256_mul_pd(_mm256_loadu_pd(r + 8), factor));
        const __m256d a3 = _mm256_sub_pd(_mm256_loadu_pd(x + 12), _mm256_mul_pd(_mm256_loadu_pd(r + 12), factor));
        _mm256_storeu_pd(x, a0);
        _mm256_storeu_pd(x + 4, a1);
        _mm256_storeu_pd(x + 8, a2);
        _mm256_storeu_pd(x + 12, a3);
    }
}

__attribute__((target("avx2"))) void subtract_scaled_rows_avx2(double* row, const double* const* rows,
                                                               const double* factors,
                                                               const std::uint64_t* const* row_chunks,
                                                               std::size_t count, const std::uint64_t* chunks,
                                                               std::size_t n_chunks) {
    static_assert(width == 16);
    ChunkCursor cursor(chunks, 0, n_chunks);
    for (std::size_t c = cursor.next(); c < n_chunks; c = cursor.next()) {
        double* x = row + c * width;
        __m256d a0 = _mm256_loadu_pd(x), a1 = _mm256_loadu_pd(x + 4);
        __m256d a2 = _mm256_loadu_pd(x + 8), a3 = _mm256_loadu_pd(x + 12);
        for (std::size_t a = 0; a < count; ++a) {
            if (!applies(row_chunks[a], c)) continue;
            const __m256d f = _mm256_broadcast_sd(factors + a);
            const double* r = rows[a] + c * width;
            a0 = _mm256_sub_pd(a0, _mm256_mul_pd(_mm256_loadu_pd(r), f));
            a1 = _mm256_sub_pd(a1, _mm256_mul_pd(_mm256_loadu_pd(r + 4), f));
            a2 = _mm256_sub_pd(a2, _mm256_mul_pd(_mm256_loadu_pd(r + 8), f));
            a3 = _mm256_sub_pd(a3, _mm256_mul_pd(_mm256_loadu_pd(r + 12), f));
        }
        _mm256_storeu_pd(x, a0);
        _mm256_storeu_pd(x + 4, a1);
        _mm256_storeu_pd(x + 8, a2);
        _mm256_storeu_pd(x + 12, a3);
    }
}

__attribute__((target("avx2"))) void apply_updates_avx2(double* row, const double* panel, std::size_t stride,
                                                        const double* factors, std::uint64_t slots,
                                                        std::size_t first, std::size_t last,
                                                        const std::uint64_t* chunks,
                                                        const std::uint64_t* slot_masks) {
    static_assert(width == 16);
    ChunkCursor cursor(chunks, first, last);
    for (std::size_t c = cursor.next(); c < last; c = cursor.next()) {
        const std::uint64_t touching = slot_masks == nullptr ? slots : slots & slot_masks[c];
        if (touching == 0) continue;
        double* x = row + c * width;
        const double* base = panel + c * stride * width;
        __m256d a0 = _mm256_loadu_pd(x), a1 = _mm256_loadu_pd(x + 4);
        __m256d a2 = _mm256_loadu_pd(x + 8), a3 = _mm256_loadu_pd(x + 12);
        for (std::uint64_t m = touching; m != 0; m &= m - 1) {
            const int t = std::countr_zero(m);
            const __m256d f = _mm256_broadcast_sd(factors + t);
            const double* u = base + t * width;
            a0 = _mm256_sub_pd(a0, _mm256_mul_pd(_mm256_loadu_pd(u), f));
            a1 = _mm256_sub_pd(a1, _mm256_mul_pd(_mm256_loadu_pd(u + 4), f));
            a2 = _mm256_sub_pd(a2, _mm256_mul_pd(_mm256_loadu_pd(u + 8), f));
            a3 = _mm256_sub_pd(a3, _mm256_mul_pd(_mm256_loadu_pd(u + 12), f));
        }
        _mm256_storeu_pd(x, a0);
        _mm256_storeu_pd(x + 4, a1);
        _mm256_storeu_pd(x + 8, a2);
        _mm256_storeu_pd(x + 12, a3);
    }
}

__attribute__((target("avx2"))) void apply_updates_to_pair_avx2(
    double* row, double* other_row, const double* panel, std::size_t stride, const double* factors,
    const double* other_factors, std::uint64_t slots, std::size_t first, std::size_t last, const std::uint64_t* chunks,
    const std::uint64_t* slot_masks) {
    static_assert(width == 16);
    ChunkCursor cursor(chunks, first, last);
    for (std::size_t c = cursor.next(); c < last; c = cursor.next()) {
        const std::uint64_t touching = slot_masks == nullptr ? slots : slots & slot_masks[c];
        if (touching == 0) continue;
        double* x = row + c * width;
        double* y = other_row + c * width;
        const double* base = panel + c * stride * width;
        __m256d a0 = _mm256_loadu_pd(x), a1 = _mm256_loadu_pd(x + 4);
        __m256d a2 = _mm256_loadu_pd(x + 8), a3 = _mm256_loadu_pd(x + 12);
        __m256d b0 = _mm256_loadu_pd(y), b1 = _mm256_loadu_pd(y + 4);
        __m256d b2 = _mm256_loadu_pd(y + 8), b3 = _mm256_loadu_pd(y + 12);
        for (std::uint64_t m = touching; m != 0; m &= m - 1) {
            const int t = std::countr_zero(m);
            const __m256d f = _mm256_broadcast_sd(factors + t);
            const __m256d g = _mm256_broadcast_sd(other_factors + t);
            const double* u = base + t * width;
            const __m256d u0 = _mm256_loadu_pd(u), u1 = _mm256_loadu_pd(u + 4);
            const __m256d u2 = _mm256_loadu_pd(u + 8), u3 = _mm256_loadu_pd(u + 12);
            a0 = _mm256_sub_pd(a0, _mm256_mul_pd(u0, f));
            a1 = _mm256_sub_pd(a1, _mm256_mul_pd(u1, f));
            a2 = _mm256_sub_pd(a2, _mm256_mul_pd(u2, f));
            a3 = _mm256_sub_pd(a3, _mm256_mul_pd(u3, f));
            b0 = _mm256_sub_pd(b0, _mm256_mul_pd(u0, g));
            b1 = _mm256_sub_pd(b1, _mm256_mul_pd(u1, g));
            b2 = _mm256_sub_pd(b2, _mm256_mul_pd(u2, g));
            b3 = _mm256_sub_pd(b3, _mm256_mul_pd(u3, g));
        }
        _mm256_storeu_pd(x, a0);
        _mm256_storeu_pd(x + 4, a1);
        _mm256_storeu_pd(x + 8, a2);
        _mm256_storeu_pd(x + 12, a3);
        _mm256_storeu_pd(y, b0);
        _mm256_storeu_pd(y + 4, b1);
        _mm256_storeu_pd(y + 8, b2);
        _mm256_storeu_pd(y + 12, b3);
    }
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

#endif

// Where no kernel shares the loads, a pair is two rows one after the other.
template <decltype(&apply_updates_scalar) single>
void apply_updates_to_pair_in_turn(double* row, double* other_row, const double* panel, std::size_t stride,
                                   const double* factors, const double* other_factors, std::uint64_t slots,
                                   std::size_t first, std::size_t last, const std::uint64_t* chunks,
                                   const std::uint64_t* slot_masks) {
    single(row, panel, stride, factors, slots, first, last, chunks, slot_masks);
    single(other_row, panel, stride, other_factors, slots, first, last, chunks, slot_masks);
}

struct Dispatch {
    decltype(&subtract_scaled_scalar) subtract_scaled;
    decltype(&subtract_scaled_rows_scalar) subtract_scaled_rows;
    decltype(&apply_updates_scalar) apply_updates;
    decltype(&apply_updates_to_pair_in_turn<apply_updates_scalar>) apply_updates_to_pair;
    decltype(&all_finite_scalar) all_finite;
    const char* name;
};

// Every kernel set this processor can run, the preferred one first.
std::vector<Dispatch> runnable_sets() {
    std::vector<Dispatch> sets;
#ifdef TELVORA_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) 
        sets.push_back({subtract_scaled_avx2, subtract_scaled_rows_avx2, apply_updates_avx2, apply_updates_to_pair_avx2,
                        all_finite_avx2, "avx2"});
    sets.push_back({subtract_scaled_sse2, subtract_scaled_rows_sse2, apply_updates_sse2,
                    apply_updates_to_pair_in_turn<apply_updates_sse2>,
                    all_finite_sse2, "sse2"});
#endif
    sets.push_back({subtract_scaled_scalar, subtract_scaled_rows_scalar, apply_updates_scalar,
                    apply_updates_to_pair_in_turn<apply_updates_scalar>,
                    all_finite_scalar, "scalar"});
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

void subtract_scaled_rows(double* row, const double* const* rows, const double* factors,
                          const std::uint64_t* const* row_chunks, std::size_t count, const std::uint64_t* chunks,
                          std::size_t n_chunks) {
    dispatch().subtract_scaled_rows(row, rows, factors, row_chunks, count, chunks, n_chunks);
}

void apply_updates(double* row, const double* panel, std::size_t stride, const double* factors, std::uint64_t slots,
                   std::size_t first, std::size_t last, const std::uint64_t* chunks, const std::uint64_t* slot_masks) {
    dispatch().apply_updates(row, panel, stride, factors, slots, first, last, chunks, slot_masks);
}

void apply_updates_to_pair(double* row, double* other_row, const double* panel, std::size_t stride,
                           const double* factors, const double* other_factors, std::uint64_t slots, std::size_t first,
                           std::size_t last, const std::uint64_t* chunks, const std::uint64_t* slot_masks) {
    dispatch().apply_updates_to_pair(row, other_row, panel, stride, factors, other_factors, slots, first, last, chunks,
                                     slot_masks);
}

bool all_finite(const double* values, std::size_t n) { return dispatch().all_finite(values, n); }

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
