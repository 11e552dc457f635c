// Orthonormal bases of motions and self-stresses from numeric mode's factor.
#include "graphs/motions.hpp"

#include <algorithm>
#include <cmath>

#include "base/memory.hpp"
#include "base/random.hpp"
#include "graphs/graph_rigidity.hpp"

namespace telvora {

namespace {

// A candidate keeps less than this share of its length after projection: it lies in the span
// already taken (the trivial motions are in the kernel up to rounding, far below this).
constexpr double drop_share = 1e-8;

double dot(const double* a, const double* b, std::size_t length) {
    double sum = 0.0;
    for (std::size_t c = 0; c < length; ++c) sum = sum + a[c] * b[c];
    return sum;
}

// x minus its projection on the first `taken` rows of q (twice over, for orthogonality to rounding).
void project_off(double* x, const std::vector<double>& q, std::size_t taken, std::size_t length) {
    for (int pass = 0; pass < 2; ++pass)
        for (std::size_t i = 0; i < taken; ++i) {
            const double* row = q.data() + i * length;
            const double along = dot(row, x, length);
            for (std::size_t c = 0; c < length; ++c) x[c] = x[c] - along * row[c];
        }
}

// Gram-Schmidt with column pivoting: appends to q (holding `taken` orthonormal rows) the
// candidates' orthonormalized complement to it, always the candidate with the most left first, at
// most `limit` of them and none keeping less than drop_share of its original length. Returns the
// new row count. Pivoting makes the choice rank-revealing where candidates are nearly dependent.
std::size_t extend_orthonormal(std::vector<double>& q, std::size_t taken, std::vector<double> candidates,
                               std::size_t count, std::size_t length, std::size_t limit) {
    std::vector<double> original(count);
    std::vector<std::uint8_t> used(count, 0);
    for (std::size_t j = 0; j < count; ++j) {
        double* x = candidates.data() + j * length;
        original[j] = std::sqrt(dot(x, x, length));
        project_off(x, q, taken, length);
    }
    for (std::size_t added = 0; added < limit; ++added) {
        std::size_t best = count;
        double best_share = drop_share;
        for (std::size_t j = 0; j < count; ++j) {
            if (used[j] || original[j] == 0.0) continue;
            const double* x = candidates.data() + j * length;
            const double share = std::sqrt(dot(x, x, length)) / original[j];
            if (share > best_share) best = j, best_share = share;
        }
        if (best == count) break;
        used[best] = 1;
        double* x = candidates.data() + best * length;
        project_off(x, q, taken, length);  // against the rows taken since it was last projected
        const double norm = std::sqrt(dot(x, x, length));
        q.resize((taken + 1) * length);
        double* row = q.data() + taken * length;
        for (std::size_t c = 0; c < length; ++c) row[c] = x[c] / norm;
        ++taken;
        for (std::size_t j = 0; j < count; ++j) {
            if (used[j]) continue;
            double* y = candidates.data() + j * length;
            const double along = dot(row, y, length);
            for (std::size_t c = 0; c < length; ++c) y[c] = y[c] - along * row[c];
        }
    }
    return taken;
}

// The translations and rotations at coordinates (v*d + k), rotations about the centroid.
std::vector<double> trivial_motions(const std::vector<double>& coordinates, std::size_t n, std::size_t d,
                                    std::size_t& count) {
    const std::size_t length = n * d;
    count = d + d * (d - 1) / 2;
    require_allocatable(length, checked_multiply(count, sizeof(double)));
    std::vector<double> centre(d, 0.0);
    for (std::size_t v = 0; v < n; ++v)
        for (std::size_t k = 0; k < d; ++k) centre[k] = centre[k] + coordinates[v * d + k];
    for (double& x : centre) x = x / static_cast<double>(std::max<std::size_t>(n, 1));
    std::vector<double> out(count * length, 0.0);
    for (std::size_t k = 0; k < d; ++k)
        for (std::size_t v = 0; v < n; ++v) out[k * length + v * d + k] = 1.0;
    std::size_t row = d;
    for (std::size_t a = 0; a < d; ++a)
        for (std::size_t b = a + 1; b < d; ++b, ++row)
            for (std::size_t v = 0; v < n; ++v) {
                out[row * length + v * d + a] = -(coordinates[v * d + b] - centre[b]);
                out[row * length + v * d + b] = coordinates[v * d + a] - centre[a];
            }
    return out;
}

// ||R u|| at the coordinates as factored (v*d + k).
double motion_residual(const NodeList& nodes, const std::vector<Edge>& edges, const double* u) {
    const std::size_t d = nodes.empty() ? 1 : nodes[0].coordinates.size();
    double sum = 0.0;
    for (const Edge& edge : edges) {
        double value = 0.0;
        for (std::size_t k = 0; k < d; ++k)
            value = value + (nodes[edge.i].coordinates[k] - nodes[edge.j].coordinates[k]) *
                                (u[edge.i * d + k] - u[edge.j * d + k]);
        sum = sum + value * value;
    }
    return std::sqrt(sum);
}

// ||R^T w|| at the coordinates as factored.
double stress_residual(const NodeList& nodes, const std::vector<Edge>& edges, const double* w) {
    const std::size_t d = nodes.empty() ? 1 : nodes[0].coordinates.size();
    std::vector<double> force(nodes.size() * d, 0.0);
    for (std::size_t e = 0; e < edges.size(); ++e)
        for (std::size_t k = 0; k < d; ++k) {
            const double t = (nodes[edges[e].i].coordinates[k] - nodes[edges[e].j].coordinates[k]) * w[e];
            force[edges[e].i * d + k] = force[edges[e].i * d + k] + t;
            force[edges[e].j * d + k] = force[edges[e].j * d + k] - t;
        }
    return std::sqrt(dot(force.data(), force.data(), force.size()));
}

}  // namespace

NodeList random_placement(std::uint64_t n, std::uint64_t d, std::uint64_t seed) {
    require_allocatable(n, checked_add(sizeof(Node), checked_multiply(d, sizeof(double))));
    Lcg64 rng(seed);
    return random_nodes(n, d, rng);
}

Basis numeric_motion_basis(const NodeList& nodes, const std::vector<Edge>& edges, double tol, bool trivial) {
    const NumericMotions kernel = numeric_motions(nodes, edges, tol, true);
    const std::size_t n = nodes.size(), d = n == 0 ? 1 : nodes[0].coordinates.size();
    const std::size_t length = n * d, f = kernel.free;
    // The kernel's vectors as rows.
    std::vector<double> rows(f * length);
    for (std::size_t c = 0; c < length; ++c)
        for (std::size_t j = 0; j < f; ++j) rows[j * length + c] = kernel.basis[c * f + j];
    const double unit = kernel.unit;  // from the positions as factored to those given
    Basis out;
    out.length = length;
    out.tol = kernel.tol * unit;
    if (trivial) {
        out.basis = std::move(rows);
        out.count = f;
    } else {
        // The trivial motions first (as many as the positions have), then the kernel's complement.
        std::size_t generators = 0;
        std::vector<double> candidates = trivial_motions(kernel.coordinates, n, d, generators);
        std::vector<double> q;
        const std::size_t t = extend_orthonormal(q, 0, std::move(candidates), generators, length, generators);
        const std::size_t k = f > t ? f - t : 0;
        const std::size_t total = extend_orthonormal(q, t, std::move(rows), f, length, k);
        out.count = total - t;
        out.basis.assign(q.begin() + static_cast<std::ptrdiff_t>(t * length), q.end());
    }
    // Residuals at the positions given: the factored ones times the scale (a power of two).
    NodeList factored(n);
    for (std::size_t v = 0; v < n; ++v) factored[v].coordinates.assign(kernel.coordinates.begin() + v * d,
                                                                       kernel.coordinates.begin() + (v + 1) * d);
    out.residuals.resize(out.count);
    for (std::size_t j = 0; j < out.count; ++j)
        out.residuals[j] = motion_residual(factored, edges, out.basis.data() + j * length) * unit;
    return out;
}

Basis numeric_stress_basis(const NodeList& nodes, const std::vector<Edge>& edges, double tol) {
    NumericStresses stresses = numeric_stresses(nodes, edges, tol);
    const std::size_t m = edges.size();
    const double unit = stresses.unit;
    Basis out;
    out.length = m;
    out.tol = stresses.tol * unit;
    out.count = stresses.count;
    out.basis = std::move(stresses.vectors);
    out.residuals.resize(out.count);
    for (std::size_t j = 0; j < out.count; ++j)
        out.residuals[j] = stress_residual(stresses.factored, edges, out.basis.data() + j * m) * unit;
    return out;
}

}  // namespace telvora
