// Rigidity of any graph: generic (exact, over the prime field of 2^61 - 1 at a random realization)
// or at given positions (the numeric labelling with a tolerance relative to the framework's size).
#include "graphs/graph_rigidity.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>

#include "base/connectivity.hpp"
#include "base/errors.hpp"
#include "frameworks/labelling.hpp"
#include "base/memory.hpp"
#include "elimination/modular.hpp"
#include "frameworks/rigidity.hpp"
#include "elimination/sparse_qr.hpp"
#include "pebble/circuits.hpp"
#include "pebble/component_pebble.hpp"

namespace telvora {

namespace {

using modular::prime;

// ---- the realization's generator ------------------------------------------------------------

std::uint64_t splitmix_mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// SplitMix64 started at mix(seed XOR mix(stream)): graph g of a batch is stream g, so any graph
// can be drawn again alone. Residues are the top 61 bits of a draw, drawn again when they are
// not below the prime (a chance of 2^-61), so that each is uniform in [0, prime).
class ResidueStream {
public:
    ResidueStream(std::uint64_t seed, std::uint64_t stream) : state_(splitmix_mix(seed ^ splitmix_mix(stream))) {}

    std::uint64_t residue() {
        for (;;) {
            const std::uint64_t value = next() >> 3;
            if (value < prime) return value;
        }
    }
    std::uint64_t non_zero_residue() {
        for (;;) {
            const std::uint64_t value = residue();
            if (value != 0) return value;
        }
    }

private:
    std::uint64_t next() {
        state_ += 0x9E3779B97F4A7C15ULL;
        return splitmix_mix(state_);
    }
    std::uint64_t state_;
};

// The rigidity matrix has n d columns; ranks and counts derived from them are reported as signed
// 64-bit integers, so n d must stay below 2^63 whatever the graph's edges need.
void require_rigidity_columns(std::uint64_t n, std::uint64_t d) {
    if (d == 0) throw InvalidInput("the dimension d must be at least 1");
    std::uint64_t columns = 0;
    if (__builtin_mul_overflow(n, d, &columns) || columns > static_cast<std::uint64_t>(INT64_MAX))
        throw InvalidInput("n * d (the rigidity matrix's columns) must be below 2**63, not " + std::to_string(n) +
                           " * " + std::to_string(d));
}

// max_rank for n d within require_rigidity_columns' bound: with n <= d the simplex count, without
// d (d + 1), which need not fit when d is large and the graph small.
std::uint64_t columns_max_rank(std::uint64_t n, std::uint64_t d) {
    return n <= d ? n * (n - (n > 0)) / 2 : max_rank(n, d);
}

// ---- column order ---------------------------------------------------------------------------

// Above this many vertices the minimum-degree order's adjacency bit sets (n^2 / 8 bytes) give way
// to the plain order by degree.
constexpr std::uint64_t min_degree_max_vertices = 16384;

// The position of each vertex in a minimum-degree elimination order of the graph (ties to the
// smaller vertex): rows of low-degree vertices are reduced first, which keeps the stored rows of
// the echelon form short, as in sparse Cholesky factorisation.
void minimum_degree_positions(std::uint64_t n, const Edge* edges, std::size_t m, std::vector<std::size_t>& position,
                              std::vector<std::uint64_t>& bits) {
    position.assign(n, 0);
    if (n > min_degree_max_vertices) {
        std::vector<std::uint64_t> degree(n, 0);
        for (std::size_t e = 0; e < m; ++e)
            if (edges[e].i != edges[e].j) ++degree[edges[e].i], ++degree[edges[e].j];
        std::vector<std::size_t> order(n);
        for (std::size_t v = 0; v < n; ++v) order[v] = v;
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return degree[a] < degree[b]; });
        for (std::size_t k = 0; k < n; ++k) position[order[k]] = k;
        return;
    }
    const std::size_t words = (n + 63) / 64;
    bits.assign(n * words, 0);
    auto row = [&](std::size_t v) { return bits.data() + v * words; };
    for (std::size_t e = 0; e < m; ++e) {
        const std::size_t a = edges[e].i, b = edges[e].j;
        if (a == b) continue;
        row(a)[b / 64] |= std::uint64_t{1} << (b % 64);
        row(b)[a / 64] |= std::uint64_t{1} << (a % 64);
    }
    std::vector<std::size_t> degree(n);
    for (std::size_t v = 0; v < n; ++v) {
        std::size_t count = 0;
        for (std::size_t w = 0; w < words; ++w) count += static_cast<std::size_t>(std::popcount(row(v)[w]));
        degree[v] = count;
    }
    std::vector<std::uint8_t> done(n, 0);
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t v = n;
        for (std::size_t u = 0; u < n; ++u)
            if (!done[u] && (v == n || degree[u] < degree[v])) v = u;
        position[v] = k;
        done[v] = 1;
        // Eliminating v joins its remaining neighbours to one another.
        const std::uint64_t* nv = row(v);
        for (std::size_t w = 0; w < words; ++w)
            for (std::uint64_t word = nv[w]; word != 0; word &= word - 1) {
                const std::size_t u = w * 64 + static_cast<std::size_t>(std::countr_zero(word));
                std::uint64_t* nu = row(u);
                for (std::size_t t = 0; t < words; ++t) nu[t] |= nv[t];
                nu[u / 64] &= ~(std::uint64_t{1} << (u % 64));
                nu[v / 64] &= ~(std::uint64_t{1} << (v % 64));
                std::size_t count = 0;
                for (std::size_t t = 0; t < words; ++t) count += static_cast<std::size_t>(std::popcount(nu[t]));
                degree[u] = count;
            }
    }
}

// ---- the generic engine ---------------------------------------------------------------------

struct Trial {
    std::uint64_t rank = 0;
    std::vector<std::uint8_t> labels;
    std::vector<std::uint64_t> stress;  // per edge, with redundancy
};

// Buffers kept across the graphs of a batch.
class GenericEngine {
public:
    // One realization of the graph and what it decides: labels and rank, and with `stress` a
    // random equilibrium stress (weights of the dependent edges drawn at random, non-zero).
    void run(std::uint64_t n, std::uint64_t d, const Edge* edges, std::size_t m, ResidueStream& stream,
             bool stress, Trial& out) {
        const std::uint64_t mr = columns_max_rank(n, d);
        coordinates_.resize(n * d);
        for (std::uint64_t& x : coordinates_) x = stream.residue();
        echelon_.reset(n * d, stress);
        out.labels.assign(m, 0);
        for (std::size_t e = 0; e < m; ++e) {
            if (!stress && echelon_.rank() == mr) break;  // the rest is dependent
            const std::size_t a = edges[e].i, b = edges[e].j;
            if (a != b) {
                const std::size_t ca = position_[a] * d, cb = position_[b] * d;
                for (std::uint64_t k = 0; k < d; ++k) {
                    const std::uint64_t diff = modular::sub(coordinates_[a * d + k], coordinates_[b * d + k]);
                    echelon_.entry(ca + k) = diff;
                    echelon_.entry(cb + k) = modular::negate(diff);
                }
            }
            const std::uint64_t weight = stress ? stream.non_zero_residue() : 1;
            out.labels[e] = echelon_.reduce(weight) ? 1 : 0;
        }
        out.rank = echelon_.rank();
        if (stress) out.stress = echelon_.kernel_element();
    }

    // After run: a random kernel element of the rows, by vertex (v*d + k), with the realization.
    GenericMotion motion(std::uint64_t n, std::uint64_t d, ResidueStream& stream) {
        std::vector<std::uint64_t> values(n * d);
        for (std::uint64_t& x : values) x = stream.residue();
        const std::vector<std::uint64_t> solved = echelon_.kernel_vector(std::move(values));
        GenericMotion out;
        out.coordinates = coordinates_;
        out.velocities.resize(n * d);
        for (std::uint64_t v = 0; v < n; ++v)
            for (std::uint64_t k = 0; k < d; ++k) out.velocities[v * d + k] = solved[position_[v] * d + k];
        return out;
    }

    // The column order for this graph; called before run.
    void order_columns(std::uint64_t n, const Edge* edges, std::size_t m) {
        minimum_degree_positions(n, edges, m, position_, bits_);
    }
    const std::vector<std::size_t>& positions() const { return position_; }

    // The rank of the stress matrix of `stress` on the graph, rows reduced in the column order.
    std::uint64_t stress_matrix_rank(std::uint64_t n, const Edge* edges, std::size_t m,
                                     const std::vector<std::uint64_t>& stress, std::uint64_t enough) {
        // Row u of the matrix: minus the stress of each edge uv at v, their sum at u.
        std::vector<std::size_t> start(n + 1, 0);
        for (std::size_t e = 0; e < m; ++e)
            if (edges[e].i != edges[e].j) ++start[edges[e].i + 1], ++start[edges[e].j + 1];
        for (std::uint64_t v = 0; v < n; ++v) start[v + 1] += start[v];
        std::vector<std::pair<std::size_t, std::uint64_t>> incident(start[n]);
        std::vector<std::size_t> fill(start.begin(), start.end() - 1);
        for (std::size_t e = 0; e < m; ++e) {
            const std::size_t a = edges[e].i, b = edges[e].j;
            if (a == b) continue;
            incident[fill[a]++] = {b, stress[e]};
            incident[fill[b]++] = {a, stress[e]};
        }
        echelon_.reset(n, false);
        for (std::uint64_t u = 0; u < n && echelon_.rank() < enough; ++u) {
            std::uint64_t diagonal = 0;
            for (std::size_t t = start[u]; t < start[u + 1]; ++t) {
                const auto [v, w] = incident[t];
                std::uint64_t& entry = echelon_.entry(position_[v]);
                entry = modular::sub(entry, w);
                diagonal = modular::add(diagonal, w);
            }
            echelon_.entry(position_[u]) = diagonal;
            echelon_.reduce();
        }
        return echelon_.rank();
    }

private:
    std::vector<std::uint64_t> coordinates_;
    std::vector<std::size_t> position_;
    std::vector<std::uint64_t> bits_;
    modular::Echelon echelon_;
};

// ---- the line and the plane: counting ------------------------------------------------------

// Labels of the (1, 1) game, which accepts an edge joining two trees of the forest so far.
std::vector<std::uint8_t> forest_labels(std::uint64_t n, const Edge* edges, std::size_t m) {
    std::vector<std::uint64_t> root(n);
    for (std::uint64_t v = 0; v < n; ++v) root[v] = v;
    const auto find = [&](std::uint64_t v) {
        while (root[v] != v) v = root[v] = root[root[v]];
        return v;
    };
    std::vector<std::uint8_t> labels(m, 0);
    for (std::size_t e = 0; e < m; ++e) {
        const std::uint64_t a = find(edges[e].i), b = find(edges[e].j);
        if (a != b) root[a] = b, labels[e] = 1;
    }
    return labels;
}

std::vector<std::uint8_t> counting_labels(std::uint64_t n, std::uint64_t d, const Edge* edges, std::size_t m) {
    if (d == 1) return forest_labels(n, edges, m);
    std::vector<std::uint8_t> labels(m, 0);
    if (m == 0) return labels;
    ComponentPebbleGame game(n, 2, 3);
    for (std::size_t e = 0; e < m; ++e) labels[e] = game.add_edge(edges[e].i, edges[e].j) ? 1 : 0;
    return labels;
}

std::vector<std::uint8_t> counting_redundant(std::uint64_t n, std::uint64_t d, const std::vector<Edge>& edges) {
    return d == 1 ? cycle_edges(n, edges) : plane_circuit_edges(n, edges);
}

// The graph without loops and repeated edges, or nothing when it has none. Its global rigidity is
// the multigraph's: a repeated bar fixes no further distance, and a stress of the multigraph sums
// to one of the simple graph on each pair.
bool simple_graph(const std::vector<Edge>& edges, std::vector<Edge>& simple) {
    simple.clear();
    simple.reserve(edges.size());
    for (const Edge& e : edges)
        if (e.i != e.j) simple.push_back(e.i < e.j ? e : Edge{e.j, e.i});
    std::sort(simple.begin(), simple.end(), [](const Edge& a, const Edge& b) { return a.i != b.i ? a.i < b.i : a.j < b.j; });
    simple.erase(std::unique(simple.begin(), simple.end()), simple.end());
    return simple.size() != edges.size();
}

// Generic global rigidity of a redundantly rigid graph on n >= d + 2 vertices, none isolated, in
// the line (2-connected) or the plane (3-connected and redundantly rigid, Jackson and Jordan).
bool counting_global_rigidity(std::uint64_t n, std::uint64_t d, const std::vector<Edge>& edges) {
    std::vector<Edge> simple;
    const bool reduced = simple_graph(edges, simple);
    const std::vector<Edge>& graph = reduced ? simple : edges;
    if (d == 1) return is_biconnected(n, graph);
    if (reduced) {  // the copies made every bar of the multigraph redundant: the simple graph decides
        const std::vector<std::uint8_t> redundant = plane_circuit_edges(n, simple);
        if (std::find(redundant.begin(), redundant.end(), 0) != redundant.end()) return false;
    }
    return is_triconnected(n, graph);
}

// The decision by counting, on a graph without isolated vertices in the line or the plane.
GraphRigidity counting_on(std::uint64_t n, std::uint64_t d, const Edge* edges, std::size_t m,
                          const GenericOptions& options) {
    GraphRigidity result;
    result.max_rank = columns_max_rank(n, d);
    result.labels = counting_labels(n, d, edges, m);
    for (std::uint8_t label : result.labels) result.rank += label;
    result.is_rigid = result.rank == result.max_rank;
    if (!options.redundancy && !options.global_rigidity) return result;
    const std::vector<Edge> list(edges, edges + m);
    result.redundant = counting_redundant(n, d, list);
    result.is_redundantly_rigid =
        result.is_rigid && std::find(result.redundant.begin(), result.redundant.end(), 0) == result.redundant.end();
    if (!options.global_rigidity) return result;
    result.global_rigidity_known = true;
    if (n <= d + 1) result.is_globally_rigid = result.is_rigid;  // a simplex: rigid only when complete
    else result.is_globally_rigid = result.is_redundantly_rigid && counting_global_rigidity(n, d, list);
    return result;
}

// The decision itself, on a graph whose edges lie within 0 .. n-1 and whose n d columns fit.
GraphRigidity generic_on(GenericEngine& engine, std::uint64_t n, std::uint64_t d, const Edge* edges,
                         std::size_t m, const GenericOptions& options) {
    if (d <= 2 && !options.field) return counting_on(n, d, edges, m, options);
    require_allocatable(checked_multiply(n, d), 3 * sizeof(std::uint64_t));
    GraphRigidity result;
    result.max_rank = columns_max_rank(n, d);
    const bool redundancy = options.redundancy || options.global_rigidity;
    ResidueStream stream(options.seed, options.stream);
    engine.order_columns(n, edges, m);
    Trial trial;
    engine.run(n, d, edges, m, stream, redundancy, trial);
    result.labels = std::move(trial.labels);
    result.rank = trial.rank;
    result.is_rigid = result.rank == result.max_rank;
    const double p = static_cast<double>(prime);
    // A realization lowers the rank only where one polynomial of degree rank vanishes
    // (Schwartz-Zippel); a random stress misses an edge of a circuit with chance 1/p per edge.
    result.error_bound = static_cast<double>(result.rank) / p;
    if (!redundancy) return result;
    result.error_bound += static_cast<double>(m) / p;
    result.redundant.resize(m);
    bool all_redundant = true;
    for (std::size_t e = 0; e < m; ++e) {
        result.redundant[e] = trial.stress[e] != 0 ? 1 : 0;
        all_redundant = all_redundant && result.redundant[e];
    }
    result.is_redundantly_rigid = result.is_rigid && all_redundant;
    if (!options.global_rigidity) return result;

    result.global_rigidity_known = true;
    if (n <= d + 1) {
        result.is_globally_rigid = result.is_rigid;  // a simplex: rigid only when complete
        return result;
    }
    if (!result.is_redundantly_rigid) return result;  // necessary for n >= d + 2
    // A stress matrix of rank n - d - 1 at a generic realization proves global rigidity; where the
    // graph is globally rigid, a random stress at a random realization has it but for a chance of
    // at most b (its minor has degree (n - d - 1)(rank + 1) once denominators are cleared). A
    // failure is tried again at a fresh realization, so only two failures in a row can mislead.
    const std::uint64_t target = n - d - 1;
    const double b = (static_cast<double>(target) * static_cast<double>(result.rank + 1) +
                      static_cast<double>(result.rank)) / p;
    result.error_bound += b * b;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt == 1) engine.run(n, d, edges, m, stream, true, trial);
        if (engine.stress_matrix_rank(n, edges, m, trial.stress, target) == target) {
            result.is_globally_rigid = true;
            break;
        }
    }
    return result;
}

// Checks the graph, and decides it without its isolated vertices where it has any: labels, rank and
// redundancy do not see them, and what depends on n (the most rank, rigidity) is put right after.
GraphRigidity generic_with(GenericEngine& engine, std::uint64_t n, std::uint64_t d, const Edge* edges,
                           std::size_t m, const GenericOptions& options) {
    require_rigidity_columns(n, d);
    require_edges_within(edges, m, n);
    const CompactGraph compact = compact_graph(n, edges, m);
    if (compact.identity) return generic_on(engine, n, d, edges, m, options);
    // A vertex without an edge moves freely, so a graph of two or more vertices with one is
    // flexible (hence neither redundantly nor globally rigid); a single vertex is rigid, and
    // globally so. The smaller graph's stress-matrix test is not needed and not counted.
    GenericOptions without_global = options;
    without_global.redundancy = options.redundancy || options.global_rigidity;
    without_global.global_rigidity = false;
    GraphRigidity result = generic_on(engine, compact.original.size(), d, compact.edges.data(), m, without_global);
    result.max_rank = columns_max_rank(n, d);
    result.is_rigid = result.rank == result.max_rank;
    result.is_redundantly_rigid = result.is_redundantly_rigid && result.is_rigid;
    if (options.global_rigidity) {
        result.global_rigidity_known = true;
        result.is_globally_rigid = result.is_rigid;
    }
    return result;
}

void append(BatchRigidity& batch, const GraphRigidity& one) {
    batch.labels.insert(batch.labels.end(), one.labels.begin(), one.labels.end());
    batch.redundant.insert(batch.redundant.end(), one.redundant.begin(), one.redundant.end());
    batch.rank.push_back(one.rank);
    batch.max_rank.push_back(one.max_rank);
    batch.is_rigid.push_back(one.is_rigid ? 1 : 0);
}

void reserve(BatchRigidity& batch, std::size_t edges, std::size_t graphs) {
    require_allocatable(edges, 2);
    require_allocatable(graphs, 2 * sizeof(std::uint64_t) + 1);
    batch.labels.reserve(edges);
    batch.redundant.reserve(edges);
    batch.rank.reserve(graphs);
    batch.max_rank.reserve(graphs);
    batch.is_rigid.reserve(graphs);
}

// ---- numeric mode ---------------------------------------------------------------------------

// Correction steps for a refined kernel vector (numeric_motions): each gains about the factor's
// condition number squared times the machine precision, so two suffice unless it is very large.
constexpr int refinement_steps = 3;

// Power iterations for the estimate of the rigidity matrix's largest singular value that the
// relative tolerance is a multiple of. Each step costs two passes over the bars.
constexpr int power_iterations = 64;

// Magnitudes of a random stress below this fraction of its largest weight count as zero
// (the stress on a bar in no circuit is rounding, at about the machine precision times the
// factor's condition number).
constexpr double stress_support_threshold = 1e-9;

// Deterministic values in [-1, 1), for the power iteration's start and the random stress.
class UnitDraws {
public:
    explicit UnitDraws(std::uint64_t seed) : state_(splitmix_mix(seed)) {}
    double next() {
        state_ += 0x9E3779B97F4A7C15ULL;
        return static_cast<double>(splitmix_mix(state_) >> 11) * 0x1p-52 - 1.0;
    }

private:
    std::uint64_t state_;
};

// The rigidity matrix of a framework with its columns in a vertex order: row e holds x_i - x_j
// at vertex i's d columns and x_j - x_i at vertex j's.
struct RigidityMatrix {
    const NodeList& nodes;
    const std::vector<Edge>& edges;
    std::size_t dim;
    std::vector<std::size_t> position;  // the place of each vertex in the column order

    std::size_t columns() const { return nodes.size() * dim; }
    double diff(std::size_t e, std::size_t k) const {
        return nodes[edges[e].i].coordinates[k] - nodes[edges[e].j].coordinates[k];
    }
    // out = A v (one entry per edge).
    void apply(const std::vector<double>& v, std::vector<double>& out) const {
        out.assign(edges.size(), 0.0);
        for (std::size_t e = 0; e < edges.size(); ++e) {
            if (edges[e].i == edges[e].j) continue;
            const std::size_t a = position[edges[e].i] * dim, b = position[edges[e].j] * dim;
            double sum = 0.0;
            for (std::size_t k = 0; k < dim; ++k) sum = sum + diff(e, k) * (v[a + k] - v[b + k]);
            out[e] = sum;
        }
    }
    // out = A^T u (one entry per column).
    void apply_transposed(const std::vector<double>& u, std::vector<double>& out) const {
        out.assign(columns(), 0.0);
        for (std::size_t e = 0; e < edges.size(); ++e) {
            if (edges[e].i == edges[e].j || u[e] == 0.0) continue;
            const std::size_t a = position[edges[e].i] * dim, b = position[edges[e].j] * dim;
            for (std::size_t k = 0; k < dim; ++k) {
                const double t = diff(e, k) * u[e];
                out[a + k] = out[a + k] + t;
                out[b + k] = out[b + k] - t;
            }
        }
    }
};

double norm2(const std::vector<double>& v) {
    double sum = 0.0;
    for (double x : v) sum = sum + x * x;
    return std::sqrt(sum);
}

// ||A v|| for the unit vector v reached by power_iterations steps of A^T A from a fixed start: at
// most the largest singular value, and close to it (within a few per cent on random frameworks;
// the iteration's error falls with the square of the ratio of the two largest singular values).
double largest_singular_value_estimate(const RigidityMatrix& matrix) {
    std::vector<double> v(matrix.columns()), u;
    UnitDraws draws(0x5EED);
    for (double& x : v) x = draws.next();
    double estimate = 0.0;
    for (int step = 0; step < power_iterations; ++step) {
        const double length = norm2(v);
        if (length == 0.0) break;
        for (double& x : v) x = x / length;
        matrix.apply(v, u);
        estimate = norm2(u);
        if (estimate == 0.0) break;
        matrix.apply_transposed(u, v);
    }
    return estimate;
}

// The Givens factor of a framework's rigidity matrix with the rank decision of every prefix.
struct NumericFactor {
    SparseGivensQR qr;
    std::vector<std::uint8_t> labels;
};

// The relative tolerance at (already scaled) nodes: max(m, n d) machine epsilons times the
// largest singular value estimate, as NumPy's matrix_rank takes it.
double relative_tolerance_at(const RigidityMatrix& matrix, double sigma) {
    const double size = static_cast<double>(std::max<std::size_t>(matrix.edges.size(), matrix.columns()));
    return sigma * size * std::numeric_limits<double>::epsilon();
}

// Every row in the given order, with the absolute tolerance tol. No placement has a prefix rank
// above the generic one, so a row is stored only while the rank stays within the generic rank of
// its prefix (at generic_rigidity's realization for seed 0): rounding can never add rank.
NumericFactor factor_framework(const RigidityMatrix& matrix, const std::vector<std::uint8_t>& generic_labels,
                               double tol) {
    const std::size_t m = matrix.edges.size(), dim = matrix.dim;
    NumericFactor out{SparseGivensQR(matrix.columns()), std::vector<std::uint8_t>(m, 0)};
    std::vector<std::uint32_t> columns(2 * dim);
    std::vector<double> values(2 * dim);
    std::uint64_t generic_rank = 0;
    for (std::size_t e = 0; e < m; ++e) {
        generic_rank += generic_labels[e];
        const Edge& edge = matrix.edges[e];
        if (edge.i == edge.j) continue;
        const std::size_t a = matrix.position[edge.i] * dim, b = matrix.position[edge.j] * dim;
        for (std::size_t k = 0; k < dim; ++k) {
            const double diff = matrix.diff(e, k);
            columns[k] = static_cast<std::uint32_t>(a + k), values[k] = diff;
            columns[dim + k] = static_cast<std::uint32_t>(b + k), values[dim + k] = -diff;
        }
        // A row that would lift the rank above the prefix's generic rank is dependent whatever its
        // rotations leave; it still enters R, which stays the factor of every row.
        const bool may_grow = out.qr.rank() < generic_rank;
        out.labels[e] = out.qr.add_row(columns.data(), values.data(), 2 * dim, tol, may_grow) ? 1 : 0;
    }
    if (out.qr.saw_non_finite())
        throw InvalidInput("the factorization met an infinite or NaN value; are the coordinates finite?");
    return out;
}

// The generic labels of the framework's graph and its fill-reducing vertex order.
std::vector<std::uint8_t> generic_labels_and_order(const RigidityMatrix& matrix, std::vector<std::size_t>& position) {
    GenericEngine engine;
    const std::uint64_t n = matrix.nodes.size();
    engine.order_columns(n, matrix.edges.data(), matrix.edges.size());
    ResidueStream stream(0, 0);
    Trial trial;
    engine.run(n, matrix.dim, matrix.edges.data(), matrix.edges.size(), stream, false, trial);
    position = engine.positions();
    return std::move(trial.labels);
}

// An edge is redundant when some self-stress is non-zero on it. A random stress: random weights g
// on the dependent rows D projected on the stresses, w = g - A u with A^T A u = A^T g. Every
// non-zero stress is non-zero somewhere on D (the rows I are independent), so w is a generic
// stress and its support is every redundant edge. R is the factor of all rows (R^T R = A^T A), so
// u is R_P u = z, R_P^T z = A^T g at the pivot columns; a second step on the residual A^T w
// corrects the rounding the solves leave (corrected semi-normal equations). Returns false, leaving
// `redundant` as the labels make it, when the balance is not reached to `balance_tolerance`.
constexpr double balance_tolerance = 1e-8;

bool redundant_edges(const RigidityMatrix& matrix, const NumericFactor& factor, double sigma,
                     std::vector<std::uint8_t>& redundant) {
    const std::size_t m = matrix.edges.size();
    redundant.assign(m, 0);
    bool any_dependent = false;
    for (std::size_t e = 0; e < m; ++e)
        if (!factor.labels[e]) redundant[e] = 1, any_dependent = true;
    if (!any_dependent) return true;  // no stress at all
    std::vector<double> stress(m, 0.0), y, fit;
    UnitDraws draws(0x57E55);
    for (std::size_t e = 0; e < m; ++e)
        if (!factor.labels[e]) stress[e] = draws.next();
    for (int step = 0; step < 3; ++step) {
        matrix.apply_transposed(stress, y);
        if (step == 2) break;
        factor.qr.solve_transposed(y);
        factor.qr.solve(y);
        for (std::size_t c = 0; c < y.size(); ++c)
            if (!factor.qr.is_pivot(c)) y[c] = 0.0;
        matrix.apply(y, fit);
        for (std::size_t e = 0; e < m; ++e) stress[e] = stress[e] - fit[e];
    }
    if (!(norm2(y) <= balance_tolerance * sigma * norm2(stress))) return false;
    double largest = 0.0;
    for (double weight : stress) largest = std::max(largest, std::fabs(weight));
    for (std::size_t e = 0; e < m; ++e)
        if (!(std::fabs(stress[e]) <= stress_support_threshold * largest)) redundant[e] = 1;
    return true;
}

// The framework's nodes divided by framework_scale (exactly), or as given with a finite check.
NodeList prepared_nodes(const NodeList& nodes, const std::vector<Edge>& edges, bool relative, double& scale) {
    scale = framework_scale(nodes, edges);
    NodeList out = nodes;
    if (relative)
        for (Node& node : out)
            for (double& x : node.coordinates) x = x / scale;  // exact: a power of two
    return out;
}

// The framework's factor, with its tolerance: relative (tol NaN: the nodes are divided by
// framework_scale first, exactly) or the absolute tol given.
struct PreparedFactor {
    NodeList nodes;        // as factored
    std::vector<Edge> edges;
    double scale = 1.0;    // framework_scale of the nodes given
    double unit = 1.0;     // a length as factored times unit is that length at the nodes given
    double tol = 0.0;      // absolute, at the nodes as factored
    double sigma = 0.0;    // the largest singular value estimate there
    std::vector<std::size_t> position;
    NumericFactor factor;
};

PreparedFactor prepare_factor(const NodeList& nodes, const std::vector<Edge>& edges, double tol) {
    require_edges_within(edges.data(), edges.size(), nodes.size());
    const std::size_t dim = nodes.empty() ? 1 : nodes[0].coordinates.size();
    require_allocatable(checked_multiply(nodes.size(), dim), 4 * sizeof(double) + 2 * sizeof(std::uint64_t));
    const bool relative = std::isnan(tol);
    PreparedFactor out{.nodes = {}, .edges = edges, .scale = 1.0, .tol = tol, .position = {},
                       .factor = {SparseGivensQR(0), {}}};
    out.nodes = prepared_nodes(nodes, edges, relative, out.scale);
    if (relative) out.unit = out.scale;
    const RigidityMatrix probe{out.nodes, out.edges, dim, {}};
    std::vector<std::uint8_t> generic = generic_labels_and_order(probe, out.position);
    const RigidityMatrix matrix{out.nodes, out.edges, dim, out.position};
    out.sigma = largest_singular_value_estimate(matrix);
    if (relative) out.tol = relative_tolerance_at(matrix, out.sigma);
    out.factor = factor_framework(matrix, generic, out.tol);
    return out;
}

// Makes w (of `length` entries) orthogonal to the first `count` rows of the orthonormal `basis`,
// twice over (once is not enough for nearly parallel vectors), then of unit length.
void orthonormalize_against(const double* basis, std::size_t count, std::size_t length, double* w) {
    for (int pass = 0; pass < 2; ++pass)
        for (std::size_t i = 0; i < count; ++i) {
            const double* q = basis + i * length;
            double dot = 0.0;
            for (std::size_t c = 0; c < length; ++c) dot = dot + q[c] * w[c];
            for (std::size_t c = 0; c < length; ++c) w[c] = w[c] - dot * q[c];
        }
    double norm = 0.0;
    for (std::size_t c = 0; c < length; ++c) norm = norm + w[c] * w[c];
    norm = std::sqrt(norm);
    for (std::size_t c = 0; c < length; ++c) w[c] = w[c] / norm;
}

}  // namespace

GraphRigidity generic_rigidity(std::uint64_t n, std::uint64_t d, const std::vector<Edge>& edges,
                               const GenericOptions& options) {
    GenericEngine engine;
    return generic_with(engine, n, d, edges.data(), edges.size(), options);
}

GenericMotion generic_motion(std::uint64_t n, std::uint64_t d, const std::vector<Edge>& edges, std::uint64_t seed) {
    if (d == 0) throw InvalidInput("the dimension d must be at least 1");
    require_edges_within(edges.data(), edges.size(), n);
    require_allocatable(checked_multiply(n, d), 4 * sizeof(std::uint64_t));
    GenericEngine engine;
    ResidueStream stream(seed, 0);
    engine.order_columns(n, edges.data(), edges.size());
    Trial trial;
    engine.run(n, d, edges.data(), edges.size(), stream, false, trial);
    return engine.motion(n, d, stream);
}

NumericMotions numeric_motions(const NodeList& nodes, const std::vector<Edge>& edges, double tol, bool refine) {
    const PreparedFactor prepared = prepare_factor(nodes, edges, tol);
    const std::size_t dim = nodes.empty() ? 1 : nodes[0].coordinates.size();
    const std::size_t ncols = nodes.size() * dim;
    const SparseGivensQR& qr = prepared.factor.qr;
    NumericMotions out;
    out.tol = prepared.tol;
    out.unit = prepared.unit;
    out.length = prepared.scale / prepared.unit;  // exact: both powers of two
    out.coordinates.resize(ncols);
    for (std::size_t v = 0; v < nodes.size(); ++v)
        for (std::size_t k = 0; k < dim; ++k) out.coordinates[v * dim + k] = prepared.nodes[v].coordinates[k];
    std::vector<std::size_t> free_columns;
    for (std::size_t c = 0; c < ncols; ++c)
        if (!qr.is_pivot(c)) free_columns.push_back(c);
    const std::size_t f = free_columns.size();
    out.free = f;
    require_allocatable(ncols, checked_multiply(std::max<std::size_t>(1, f), 2 * sizeof(double)));
    // The kernel of R, one vector per free column (1 there, 0 at the other free columns, the
    // pivot entries by back substitution), made orthonormal by Gram-Schmidt twice over.
    std::vector<double> kernel(f * ncols, 0.0);  // vector j at [j * ncols, (j + 1) * ncols)
    std::vector<double> v(ncols), t(ncols), y, fit;
    const RigidityMatrix matrix{prepared.nodes, prepared.edges, dim, prepared.position};
    for (std::size_t j = 0; j < f; ++j) {
        std::fill(v.begin(), v.end(), 0.0);
        v[free_columns[j]] = 1.0;
        qr.multiply(v, t);
        for (std::size_t c = 0; c < ncols; ++c) t[c] = qr.is_pivot(c) ? -t[c] : 0.0;
        qr.solve(t);
        t[free_columns[j]] = 1.0;
        double* x = kernel.data() + j * ncols;
        std::copy(t.begin(), t.end(), x);
        // Made orthonormal to the vectors before it; with refine, then corrected on the pivot
        // columns by the least-squares fit of its residual and made so again, for as long as that
        // lowers the residual (Gram-Schmidt on long, nearly parallel vectors magnifies what the
        // back substitution leaves; a correction through a triangle too poorly conditioned for
        // the semi-normal equations makes it worse, and is undone).
        const auto orthonormalize = [&](double* w) { orthonormalize_against(kernel.data(), j, ncols, w); };
        orthonormalize(x);
        std::copy(x, x + ncols, t.begin());
        matrix.apply(t, fit);
        double residual = norm2(fit);
        for (int step = 0; refine && step < refinement_steps && residual > 0.0; ++step) {
            matrix.apply_transposed(fit, y);
            for (std::size_t c = 0; c < ncols; ++c)
                if (!qr.is_pivot(c)) y[c] = 0.0;
            qr.solve_transposed(y);
            qr.solve(y);
            for (std::size_t c = 0; c < ncols; ++c)
                if (qr.is_pivot(c)) t[c] = t[c] - y[c];
            orthonormalize(t.data());
            matrix.apply(t, fit);
            const double corrected = norm2(fit);
            if (!(corrected < residual)) break;
            residual = corrected;
            std::copy(t.begin(), t.end(), x);
        }
    }
    // Row v*d + k of the basis: the vertex's coordinate k in every kernel vector.
    out.basis.assign(ncols * f, 0.0);
    for (std::size_t vtx = 0; vtx < nodes.size(); ++vtx)
        for (std::size_t k = 0; k < dim; ++k) {
            const std::size_t column = prepared.position[vtx] * dim + k;
            double* row = out.basis.data() + (vtx * dim + k) * f;
            for (std::size_t j = 0; j < f; ++j) row[j] = kernel[j * ncols + column];
        }
    return out;
}

NumericStresses numeric_stresses(const NodeList& nodes, const std::vector<Edge>& edges, double tol) {
    const PreparedFactor prepared = prepare_factor(nodes, edges, tol);
    const std::size_t dim = nodes.empty() ? 1 : nodes[0].coordinates.size();
    const std::size_t m = edges.size();
    const NumericFactor& factor = prepared.factor;
    const RigidityMatrix matrix{prepared.nodes, prepared.edges, dim, prepared.position};
    NumericStresses out;
    out.tol = prepared.tol;
    out.unit = prepared.unit;
    out.factored = prepared.nodes;
    out.count = m - factor.qr.rank();
    require_allocatable(m, checked_multiply(std::max<std::size_t>(1, out.count), sizeof(double)));
    out.vectors.assign(out.count * m, 0.0);
    std::vector<double> y, fit;
    // w projected on the stresses, w - A u with A^T A u = A^T w, by the factor of all rows.
    const auto balance = [&](double* w) {
        std::vector<double> weights(w, w + m);
        matrix.apply_transposed(weights, y);
        factor.qr.solve_transposed(y);
        factor.qr.solve(y);
        for (std::size_t c = 0; c < y.size(); ++c)
            if (!factor.qr.is_pivot(c)) y[c] = 0.0;
        matrix.apply(y, fit);
        for (std::size_t i = 0; i < m; ++i) w[i] = w[i] - fit[i];
    };
    std::size_t j = 0;
    for (std::size_t e = 0; e < m; ++e) {
        if (factor.labels[e]) continue;
        double* stress = out.vectors.data() + j * m;
        stress[e] = 1.0;
        for (int step = 0; step < 2; ++step) balance(stress);
        // Made orthonormal to the stresses before it, then balanced again and made so once more:
        // Gram-Schmidt on nearly parallel stresses magnifies what the balance leaves.
        for (int round = 0; round < 2; ++round) {
            if (round > 0) balance(stress);
            orthonormalize_against(out.vectors.data(), j, m, stress);
        }
        ++j;
    }
    return out;
}

double framework_scale(const NodeList& nodes, const std::vector<Edge>& edges) {
    for (const Node& node : nodes)
        for (double x : node.coordinates)
            if (!std::isfinite(x)) throw InvalidInput("coordinates must be finite");
    double largest = 0.0;
    for (const Edge& edge : edges) {
        const std::vector<double>& a = nodes[edge.i].coordinates;
        const std::vector<double>& b = nodes[edge.j].coordinates;
        for (std::size_t k = 0; k < a.size(); ++k) largest = std::max(largest, std::fabs(a[k] - b[k]));
    }
    if (!std::isfinite(largest)) throw InvalidInput("coordinate differences must be finite");
    // No bar has a length: the spread of all the points, else (all at one point) its largest
    // coordinate, so that every framework but the one of zeros has a scale that scaling moves.
    if (largest == 0.0 && !nodes.empty()) {
        const std::size_t dim = nodes[0].coordinates.size();
        for (std::size_t k = 0; k < dim; ++k) {
            double low = nodes[0].coordinates[k], high = low;
            for (const Node& node : nodes) low = std::min(low, node.coordinates[k]), high = std::max(high, node.coordinates[k]);
            largest = std::max(largest, high - low);
        }
        if (!std::isfinite(largest)) throw InvalidInput("coordinate differences must be finite");
        if (largest == 0.0)
            for (double x : nodes[0].coordinates) largest = std::max(largest, std::fabs(x));
    }
    if (largest == 0.0) return 1.0;
    int exponent = 0;
    std::frexp(largest, &exponent);  // largest = f * 2^exponent, 0.5 <= f < 1
    return std::ldexp(1.0, exponent - 1);
}

GraphRigidity numeric_rigidity(const NodeList& nodes, const std::vector<Edge>& edges, double tol) {
    const PreparedFactor prepared = prepare_factor(nodes, edges, tol);
    const std::size_t dim = nodes.empty() ? 1 : nodes[0].coordinates.size();
    GraphRigidity result;
    result.max_rank = nodes.empty() ? 0 : max_rank(nodes.size(), dim);
    result.labels = prepared.factor.labels;
    result.rank = prepared.factor.qr.rank();
    result.is_rigid = result.rank == result.max_rank;
    result.tol = prepared.tol * prepared.unit;  // tol itself when absolute (unit 1)
    const RigidityMatrix matrix{prepared.nodes, prepared.edges, dim, prepared.position};
    if (!redundant_edges(matrix, prepared.factor, prepared.sigma, result.redundant)) {
        // The stresses could not be balanced. Where every prefix has its generic rank, the
        // positions count as generic for redundancy too.
        const GraphRigidity generic = generic_rigidity(
            nodes.size(), dim, edges, {.seed = 0, .stream = 0, .redundancy = true, .global_rigidity = false});
        if (generic.labels == result.labels) result.redundant = generic.redundant;
    }
    bool all_redundant = true;
    for (std::uint8_t flag : result.redundant) all_redundant = all_redundant && flag;
    result.is_redundantly_rigid = result.is_rigid && all_redundant;
    return result;
}

void require_batch_layout(const std::vector<Edge>& edges, const std::vector<std::uint64_t>& offsets,
                          const std::vector<std::uint64_t>& n_vertices) {
    const std::size_t graphs = n_vertices.size();
    if (offsets.size() != graphs + 1)
        throw InvalidInput("offsets must have one entry more than n (" + std::to_string(graphs + 1) + "), not " +
                           std::to_string(offsets.size()));
    if (offsets[0] != 0) throw InvalidInput("offsets must start at 0, not " + std::to_string(offsets[0]));
    // Each offset is checked before the edges it bounds are read: a caller's layout is never trusted.
    for (std::size_t g = 0; g < graphs; ++g) {
        if (offsets[g + 1] < offsets[g])
            throw InvalidInput("offsets must not decrease: offsets[" + std::to_string(g) + "] = " +
                               std::to_string(offsets[g]) + " > offsets[" + std::to_string(g + 1) + "] = " +
                               std::to_string(offsets[g + 1]));
        if (offsets[g + 1] > edges.size())
            throw InvalidInput("offsets[" + std::to_string(g + 1) + "] = " + std::to_string(offsets[g + 1]) +
                               " lies beyond the " + std::to_string(edges.size()) + " edges");
        try {
            require_edges_within(edges.data() + offsets[g], offsets[g + 1] - offsets[g], n_vertices[g]);
        } catch (const InvalidInput& error) {
            throw InvalidInput("graph " + std::to_string(g) + ": " + error.what());
        }
    }
    if (offsets[graphs] != edges.size())
        throw InvalidInput("offsets must end at the number of edges (" + std::to_string(edges.size()) + "), not " +
                           std::to_string(offsets[graphs]));
}

void for_each_framework(const std::vector<Edge>& edges, const std::vector<std::uint64_t>& offsets,
                        const std::vector<std::uint64_t>& n_vertices, const NodeList& nodes,
                        const std::function<void(const NodeList&, const std::vector<Edge>&)>& visit) {
    require_batch_layout(edges, offsets, n_vertices);
    std::uint64_t total = 0;
    for (std::uint64_t count : n_vertices)
        if (__builtin_add_overflow(total, count, &total))
            throw InvalidInput("the vertex counts n sum beyond 2**64, more than coords can have rows");
    if (total != nodes.size())
        throw InvalidInput("coords must have one row per vertex of every graph (" + std::to_string(total) +
                           "), not " + std::to_string(nodes.size()));
    std::size_t first = 0;
    for (std::size_t g = 0; g < n_vertices.size(); ++g) {
        const NodeList graph_nodes(nodes.begin() + static_cast<std::ptrdiff_t>(first),
                                   nodes.begin() + static_cast<std::ptrdiff_t>(first + n_vertices[g]));
        const std::vector<Edge> graph_edges(edges.begin() + static_cast<std::ptrdiff_t>(offsets[g]),
                                            edges.begin() + static_cast<std::ptrdiff_t>(offsets[g + 1]));
        visit(graph_nodes, graph_edges);
        first += n_vertices[g];
    }
}

std::uint64_t batch_graph_seed(std::uint64_t seed, std::uint64_t g) {
    return seed ^ splitmix_mix(g);
}

BatchRigidity generic_rigidity_batch(const std::vector<Edge>& edges, const std::vector<std::uint64_t>& offsets,
                                     const std::vector<std::uint64_t>& n_vertices, std::uint64_t d,
                                     std::uint64_t seed, bool global_rigidity, bool field) {
    if (d == 0) throw InvalidInput("the dimension d must be at least 1");
    require_batch_layout(edges, offsets, n_vertices);
    BatchRigidity batch;
    reserve(batch, edges.size(), n_vertices.size());
    if (global_rigidity) batch.is_globally_rigid.reserve(n_vertices.size());
    GenericEngine engine;
    for (std::size_t g = 0; g < n_vertices.size(); ++g) {
        const GenericOptions options{
            .seed = seed, .stream = g, .redundancy = true, .global_rigidity = global_rigidity, .field = field};
        GraphRigidity one;
        try {
            one = generic_with(engine, n_vertices[g], d, edges.data() + offsets[g], offsets[g + 1] - offsets[g], options);
        } catch (const InvalidInput& error) {
            throw InvalidInput("graph " + std::to_string(g) + ": " + error.what());
        }
        append(batch, one);
        if (global_rigidity) batch.is_globally_rigid.push_back(one.is_globally_rigid ? 1 : 0);
    }
    return batch;
}

BatchRigidity numeric_rigidity_batch(const std::vector<Edge>& edges, const std::vector<std::uint64_t>& offsets,
                                     const std::vector<std::uint64_t>& n_vertices, const NodeList& nodes,
                                     double tol) {
    BatchRigidity batch;
    reserve(batch, edges.size(), n_vertices.size());
    for_each_framework(edges, offsets, n_vertices, nodes,
                       [&](const NodeList& graph_nodes, const std::vector<Edge>& graph_edges) {
                           append(batch, numeric_rigidity(graph_nodes, graph_edges, tol));
                       });
    return batch;
}

}  // namespace telvora
