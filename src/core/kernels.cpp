// Vector kernels of the rank checkers: one element per lane, multiply then subtract, never fused.
#include "kernels.hpp"

#include <cmath>

#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TELVORA_X86 1
#endif

namespace telvora::kernels {

namespace {

void subtract_scaled_scalar(double* row, const double* stored, double v, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) row[k] = row[k] - stored[k] * v;
}

// The first of the updates that has a non-zero value in chunk c, or count when none has: a chunk
// that no update touches is neither loaded nor stored.
inline std::size_t first_touching(const unsigned char* nonzero, std::size_t c, std::size_t stride,
                                  const std::size_t* indices, std::size_t count) {
    if (nonzero == nullptr) return 0;
    std::size_t a = 0;
    while (a < count && !nonzero[c * stride + indices[a]]) ++a;
    return a;
}

bool all_finite_scalar(const double* values, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k)
        if (!std::isfinite(values[k])) return false;
    return true;
}

void subtract_scaled_panel_scalar(double* row, const double* panel, std::size_t stride, const std::size_t* indices,
                                  const double* factors, std::size_t count, std::size_t n_chunks,
                                  const unsigned char* nonzero) {
    for (std::size_t c = 0; c < n_chunks; ++c) {
        const std::size_t first = first_touching(nonzero, c, stride, indices, count);
        if (first == count) continue;
        double* chunk = row + c * panel_width;
        const double* base = panel + c * stride * panel_width;
        for (std::size_t j = 0; j < panel_width; ++j) {
            double x = chunk[j];
            for (std::size_t a = first; a < count; ++a)
                if (nonzero == nullptr || nonzero[c * stride + indices[a]])
                    x = x - base[indices[a] * panel_width + j] * factors[a];
            chunk[j] = x;
        }
    }
}

#ifdef TELVORA_X86

void subtract_scaled_sse2(double* row, const double* stored, double v, std::size_t n) {
    const __m128d factor = _mm_set1_pd(v);
    std::size_t k = 0;
    for (; k + 2 <= n; k += 2)
        _mm_storeu_pd(row + k, _mm_sub_pd(_mm_loadu_pd(row + k), _mm_mul_pd(_mm_loadu_pd(stored + k), factor)));
    subtract_scaled_scalar(row + k, stored + k, v, n - k);
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

__attribute__((target("avx2"))) void subtract_scaled_avx2(double* row, const double* stored, double v,
                                                          std::size_t n) {
    const __m256d factor = _mm256_set1_pd(v);
    std::size_t k = 0;
    for (; k + 8 <= n; k += 8) {
        const __m256d a0 = _mm256_sub_pd(_mm256_loadu_pd(row + k), _mm256_mul_pd(_mm256_loadu_pd(stored + k), factor));
        const __m256d a1 =
            _mm256_sub_pd(_mm256_loadu_pd(row + k + 4), _mm256_mul_pd(_mm256_loadu_pd(stored + k + 4), factor));
        _mm256_storeu_pd(row + k, a0);
        _mm256_storeu_pd(row + k + 4, a1);
    }
    subtract_scaled_scalar(row + k, stored + k, v, n - k);
}

void subtract_scaled_panel_sse2(double* row, const double* panel, std::size_t stride, const std::size_t* indices,
                                const double* factors, std::size_t count, std::size_t n_chunks,
                                const unsigned char* nonzero) {
    static_assert(panel_width == 16);
    for (std::size_t c = 0; c < n_chunks; ++c) {
        const std::size_t first = first_touching(nonzero, c, stride, indices, count);
        if (first == count) continue;
        double* chunk = row + c * panel_width;
        const double* base = panel + c * stride * panel_width;
        for (std::size_t half = 0; half < 2; ++half) {
            double* part = chunk + 8 * half;
            __m128d a0 = _mm_loadu_pd(part), a1 = _mm_loadu_pd(part + 2);
            __m128d a2 = _mm_loadu_pd(part + 4), a3 = _mm_loadu_pd(part + 6);
            for (std::size_t a = first; a < count; ++a) {
                if (nonzero != nullptr && !nonzero[c * stride + indices[a]]) continue;
                const __m128d f = _mm_set1_pd(factors[a]);
                const double* u = base + indices[a] * panel_width + 8 * half;
                a0 = _mm_sub_pd(a0, _mm_mul_pd(_mm_loadu_pd(u), f));
                a1 = _mm_sub_pd(a1, _mm_mul_pd(_mm_loadu_pd(u + 2), f));
                a2 = _mm_sub_pd(a2, _mm_mul_pd(_mm_loadu_pd(u + 4), f));
                a3 = _mm_sub_pd(a3, _mm_mul_pd(_mm_loadu_pd(u + 6), f));
            }
            _mm_storeu_pd(part, a0);
            _mm_storeu_pd(part + 2, a1);
            _mm_storeu_pd(part + 4, a2);
            _mm_storeu_pd(part + 6, a3);
        }
    }
}

__attribute__((target("avx2"))) void subtract_scaled_panel_avx2(double* row, const double* panel,
                                                                std::size_t stride, const std::size_t* indices,
                                                                const double* factors, std::size_t count,
                                                                std::size_t n_chunks, const unsigned char* nonzero) {
    static_assert(panel_width == 16);
    for (std::size_t c = 0; c < n_chunks; ++c) {
        const std::size_t first = first_touching(nonzero, c, stride, indices, count);
        if (first == count) continue;
        double* chunk = row + c * panel_width;
        const double* base = panel + c * stride * panel_width;
        __m256d a0 = _mm256_loadu_pd(chunk), a1 = _mm256_loadu_pd(chunk + 4);
        __m256d a2 = _mm256_loadu_pd(chunk + 8), a3 = _mm256_loadu_pd(chunk + 12);
        for (std::size_t a = first; a < count; ++a) {
            if (nonzero != nullptr && !nonzero[c * stride + indices[a]]) continue;
            const __m256d f = _mm256_set1_pd(factors[a]);
            const double* u = base + indices[a] * panel_width;
            a0 = _mm256_sub_pd(a0, _mm256_mul_pd(_mm256_loadu_pd(u), f));
            a1 = _mm256_sub_pd(a1, _mm256_mul_pd(_mm256_loadu_pd(u + 4), f));
            a2 = _mm256_sub_pd(a2, _mm256_mul_pd(_mm256_loadu_pd(u + 8), f));
            a3 = _mm256_sub_pd(a3, _mm256_mul_pd(_mm256_loadu_pd(u + 12), f));
        }
        _mm256_storeu_pd(chunk, a0);
        _mm256_storeu_pd(chunk + 4, a1);
        _mm256_storeu_pd(chunk + 8, a2);
        _mm256_storeu_pd(chunk + 12, a3);
    }
}

#endif

struct Dispatch {
    void (*subtract_scaled)(double*, const double*, double, std::size_t);
    void (*subtract_scaled_panel)(double*, const double*, std::size_t, const std::size_t*, const double*, std::size_t,
                                  std::size_t, const unsigned char*);
    bool (*all_finite)(const double*, std::size_t);
    const char* name;
};

// Every kernel set this processor can run, the preferred one first.
std::vector<Dispatch> runnable_sets() {
    std::vector<Dispatch> sets;
#ifdef TELVORA_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2"))
        sets.push_back({subtract_scaled_avx2, subtract_scaled_panel_avx2, all_finite_avx2, "avx2"});
    sets.push_back({subtract_scaled_sse2, subtract_scaled_panel_sse2, all_finite_sse2, "sse2"});
#endif
    sets.push_back({subtract_scaled_scalar, subtract_scaled_panel_scalar, all_finite_scalar, "scalar"});
    return sets;
}

// Chosen once; tests may switch it to compare the sets with each other.
Dispatch& dispatch() {
    static Dispatch chosen = runnable_sets().front();
    return chosen;
}

}  // namespace

void subtract_scaled(double* row, const double* stored, double v, std::size_t n) {
    dispatch().subtract_scaled(row, stored, v, n);
}

void subtract_scaled_block(double* row, const double* const* updates, const double* factors, std::size_t count,
                           std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) {
        double x = row[k];
        for (std::size_t t = 0; t < count; ++t) x = x - updates[t][k] * factors[t];
        row[k] = x;
    }
}

void subtract_scaled_panel(double* row, const double* panel, std::size_t stride, const std::size_t* indices,
                           const double* factors, std::size_t count, std::size_t n_chunks,
                           const unsigned char* nonzero) {
    dispatch().subtract_scaled_panel(row, panel, stride, indices, factors, count, n_chunks, nonzero);
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
