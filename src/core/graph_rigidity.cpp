// Rigidity of any graph: generic (exact, over the prime field of 2^61 - 1 at a random realization)
// or at given positions (the numeric labelling with a tolerance relative to the framework's size).
#include "graph_rigidity.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>

#include "errors.hpp"
#include "labelling.hpp"
#include "memory.hpp"
#include "modular.hpp"
#include "rigidity.hpp"
#include "stable_rank.hpp"

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

// The decision itself, on a graph whose edges lie within 0 .. n-1 and whose n d columns fit.
GraphRigidity generic_on(GenericEngine& engine, std::uint64_t n, std::uint64_t d, const Edge* edges,
                         std::size_t m, const GenericOptions& options) {
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

// ---- numeric redundancy ---------------------------------------------------------------------

// Below this magnitude an entry of the reduced transposed matrix counts as zero. Its rows are
// scaled to 1 at their pivots, so it is a relative threshold whatever the framework's size.
constexpr double stress_support_threshold = 1e-9;

// An edge is redundant when some self-stress is non-zero on it: the support of the kernel of the
// transposed rigidity matrix, read off its reduced row echelon form.
std::vector<std::uint8_t> redundant_edges(const NodeList& nodes, const std::vector<Edge>& edges, double tol) {
    const std::size_t m = edges.size();
    const std::size_t dim = nodes.empty() ? 1 : nodes[0].coordinates.size();
    const std::size_t ncoords = nodes.size() * dim;
    // Coordinate row a*dim + k of the transpose holds diff_k at edge (a, b) and -diff_k at (b, a).
    std::vector<std::size_t> start(ncoords + 1, 0);
    for (const Edge& edge : edges)
        if (edge.i != edge.j)
            for (std::size_t k = 0; k < dim; ++k) ++start[edge.i * dim + k + 1], ++start[edge.j * dim + k + 1];
    for (std::size_t r = 0; r < ncoords; ++r) start[r + 1] += start[r];
    std::vector<std::uint64_t> columns(start[ncoords]);
    std::vector<double> values(start[ncoords]);
    std::vector<std::size_t> fill(start.begin(), start.end() - 1);
    for (std::size_t e = 0; e < m; ++e) {
        const Edge& edge = edges[e];
        if (edge.i == edge.j) continue;
        for (std::size_t k = 0; k < dim; ++k) {
            const double diff = nodes[edge.i].coordinates[k] - nodes[edge.j].coordinates[k];
            const std::size_t a = edge.i * dim + k, b = edge.j * dim + k;
            columns[fill[a]] = e, values[fill[a]++] = diff;
            columns[fill[b]] = e, values[fill[b]++] = -diff;
        }
    }
    StableRankChecker checker(m, tol);
    for (std::size_t r = 0; r < ncoords; ++r)
        checker.add_sparse_row(columns.data() + start[r], values.data() + start[r], start[r + 1] - start[r]);
    if (checker.broke_down())
        throw InvalidInput("the elimination met an infinite or NaN value; are the coordinates finite?");
    // Reduced row echelon form: a free column (edge) carries a stress of its own; a pivot edge
    // carries one exactly when its row is non-zero at some free column.
    std::vector<std::uint8_t> redundant(m, 1);  // free columns
    const auto& pivots = checker.pivot_cols();
    for (std::uint64_t pivot : pivots) redundant[pivot] = 0;
    const auto rows = checker.stored_rows();
    for (std::size_t s = 0; s < pivots.size(); ++s)
        for (std::size_t e = 0; e < m; ++e)
            if (redundant[e] && !(std::fabs(rows[s][e]) <= stress_support_threshold)) {
                redundant[pivots[s]] = 2;  // marked apart from the free columns until the end
                break;
            }
    for (std::uint8_t& flag : redundant) flag = flag != 0;
    return redundant;
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

NumericMotions numeric_motions(const NodeList& nodes, const std::vector<Edge>& edges, double tol) {
    require_edges_within(edges.data(), edges.size(), nodes.size());
    const std::size_t dim = nodes.empty() ? 1 : nodes[0].coordinates.size();
    const std::size_t ncols = nodes.size() * dim;
    NodeList scaled = nodes;
    if (std::isnan(tol)) {
        const double scale = framework_scale(nodes, edges);
        for (Node& node : scaled)
            for (double& x : node.coordinates) x = x / scale;  // exact: a power of two
        tol = relative_tolerance * static_cast<double>(std::max<std::size_t>(1, ncols));
    } else {
        for (const Node& node : nodes)
            for (double x : node.coordinates)
                if (!std::isfinite(x)) throw InvalidInput("coordinates must be finite");
    }
    const std::uint64_t mr = nodes.empty() ? 0 : max_rank(nodes.size(), dim);
    StableRankChecker checker = checker_for<StableRankChecker>(scaled, tol, PivotRule::LargestMagnitude,
                                                               std::min<std::uint64_t>(mr, edges.size()));
    greedy_pass(scaled, edges, checker, mr);
    if (checker.broke_down()) throw InvalidInput("the elimination met an infinite or NaN value; are the coordinates finite?");
    NumericMotions out;
    out.tol = tol;
    out.coordinates.resize(ncols);
    for (std::size_t v = 0; v < nodes.size(); ++v)
        for (std::size_t k = 0; k < dim; ++k) out.coordinates[v * dim + k] = scaled[v].coordinates[k];
    const auto& pivots = checker.pivot_cols();
    const auto& rows = checker.stored_rows();
    std::vector<std::size_t> free_index(ncols, static_cast<std::size_t>(-1));
    std::vector<std::size_t> pivot_row(ncols, static_cast<std::size_t>(-1));
    for (std::size_t s = 0; s < pivots.size(); ++s) pivot_row[pivots[s]] = s;
    std::vector<std::size_t> free_columns;
    for (std::size_t c = 0; c < ncols; ++c)
        if (pivot_row[c] == static_cast<std::size_t>(-1)) free_index[c] = free_columns.size(), free_columns.push_back(c);
    out.free = free_columns.size();
    require_allocatable(ncols, checked_multiply(std::max<std::size_t>(1, out.free), sizeof(double)));
    out.basis.assign(ncols * out.free, 0.0);
    for (std::size_t c = 0; c < ncols; ++c) {
        double* row = out.basis.data() + c * out.free;
        if (free_index[c] != static_cast<std::size_t>(-1)) {
            row[free_index[c]] = 1.0;
            continue;
        }
        // Reduced rows are zero at every other pivot: x - sum over pivots of x[p] * row.
        const std::vector<double>& stored = rows[pivot_row[c]];
        for (std::size_t j = 0; j < out.free; ++j) row[j] = -stored[free_columns[j]];
    }
    return out;
}

double framework_scale(const NodeList& nodes, const std::vector<Edge>& edges) {
    double largest = 0.0;
    for (const Edge& edge : edges) {
        const std::vector<double>& a = nodes[edge.i].coordinates;
        const std::vector<double>& b = nodes[edge.j].coordinates;
        for (std::size_t k = 0; k < a.size(); ++k) largest = std::max(largest, std::fabs(a[k] - b[k]));
    }
    for (const Node& node : nodes)
        for (double x : node.coordinates)
            if (!std::isfinite(x)) throw InvalidInput("coordinates must be finite");
    if (!std::isfinite(largest)) throw InvalidInput("coordinate differences must be finite");
    if (largest == 0.0) return 1.0;
    int exponent = 0;
    std::frexp(largest, &exponent);  // largest = f * 2^exponent, 0.5 <= f < 1
    return std::ldexp(1.0, exponent - 1);
}

GraphRigidity numeric_rigidity(const NodeList& nodes, const std::vector<Edge>& edges, double tol) {
    require_edges_within(edges.data(), edges.size(), nodes.size());
    if (std::isnan(tol)) {
        const double scale = framework_scale(nodes, edges);
        NodeList scaled = nodes;
        for (Node& node : scaled)
            for (double& x : node.coordinates) x = x / scale;  // exact: a power of two
        const double columns = static_cast<double>(std::max<std::size_t>(
            1, nodes.size() * (nodes.empty() ? 0 : nodes[0].coordinates.size())));
        GraphRigidity result = numeric_rigidity(scaled, edges, relative_tolerance * columns);
        result.tol = relative_tolerance * columns * scale;
        return result;
    }
    GraphRigidity result;
    result.max_rank = nodes.empty() ? 0 : max_rank(nodes.size(), nodes[0].coordinates.size());
    StableRankChecker checker = checker_for<StableRankChecker>(nodes, tol, PivotRule::LargestMagnitude,
                                                               std::min<std::uint64_t>(result.max_rank, edges.size()));
    EdgeLabelling labelling = greedy_pass(nodes, edges, checker, result.max_rank);
    if (checker.broke_down()) throw InvalidInput("the elimination met an infinite or NaN value; are the coordinates finite?");
    result.labels = std::move(labelling.labels);
    result.rank = checker.rank();
    result.is_rigid = result.rank == result.max_rank;
    result.tol = tol;
    result.redundant = redundant_edges(nodes, edges, tol);
    bool all_redundant = true;
    for (std::size_t e = 0; e < edges.size(); ++e) {
        if (!result.labels[e]) result.redundant[e] = 1;  // dependent on the edges before it
        all_redundant = all_redundant && result.redundant[e];
    }
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
                                     std::uint64_t seed, bool global_rigidity) {
    if (d == 0) throw InvalidInput("the dimension d must be at least 1");
    require_batch_layout(edges, offsets, n_vertices);
    BatchRigidity batch;
    reserve(batch, edges.size(), n_vertices.size());
    if (global_rigidity) batch.is_globally_rigid.reserve(n_vertices.size());
    GenericEngine engine;
    for (std::size_t g = 0; g < n_vertices.size(); ++g) {
        const GenericOptions options{.seed = seed, .stream = g, .redundancy = true, .global_rigidity = global_rigidity};
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
