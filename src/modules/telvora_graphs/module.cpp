// The module telvora_graphs._native: rigidity of any graph, generic or at given positions, one
// graph or a batch. The package telvora_graphs checks and converts the user's arguments first;
// these routines still refuse anything they cannot use, so that no call can crash.
#include <Python.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "pebble/component_pebble.hpp"
#include "base/errors.hpp"
#include "frame.hpp"
#include "graphs/graph_rigidity.hpp"
#include "graphs/motions.hpp"
#include "base/memory.hpp"
#include "base/node.hpp"
#include "graphs/rigid_components.hpp"
#include "pebble/rigidity_sweep.hpp"
#include "base/traversal.hpp"

namespace telvora::py {
namespace {

constexpr const char* generic_doc = R"doc(generic(edges, n, d, seed, field=0)
--

Generic rigidity of the graph on n vertices in dimension d: by counting in the line and the plane
(error_bound 0, seed unused), else (or with field 1) exact over a prime field at the realization
drawn from seed. edges: (m, 2) int64 or uint64 array. Returns a dict with labels (uint8),
redundant (bool), rank, max_rank, is_rigid, is_redundantly_rigid, is_globally_rigid, tol (None)
and error_bound.)doc";

constexpr const char* numeric_doc = R"doc(numeric(edges, coords, tol=None)
--

Rigidity of the framework at coords ((n, d) float64, finite), with the absolute tolerance tol or,
when it is None, one relative to the framework's size. Returns the dict of generic with
is_globally_rigid and error_bound None and tol the tolerance used.)doc";

constexpr const char* generic_batch_doc = R"doc(generic_batch(edges, offsets, n, d, seed, global_rigidity=0, field=0)
--

Generic rigidity of many graphs: graph g owns edges[offsets[g]:offsets[g + 1]] (vertex indices
local to it) and n[g] vertices, and is drawn from the stream (seed, g). Returns a dict of packed
arrays: labels (uint8) and redundant (bool) per edge, rank and max_rank (int64) and is_rigid
(bool) per graph, and is_globally_rigid (bool) per graph when global_rigidity is 1. field as for
generic.)doc";

constexpr const char* numeric_batch_doc = R"doc(numeric_batch(edges, offsets, n, coords, tol=None)
--

Rigidity of many frameworks: as generic_batch, with graph g's vertices at the next n[g] rows of
coords and the tolerance of numeric.)doc";

constexpr const char* pebble_game_doc = R"doc(pebble_game(edges, n, k, l)
--

The (k, l) pebble game with components on the multigraph of n vertices whose edges (an (m, 2)
int64 or uint64 array, loops allowed) are played in order. Returns a dict with labels (uint8),
components (a list of sorted int64 arrays), free_pebbles and is_tight.)doc";

constexpr const char* rigidity_sweep_doc = R"doc(rigidity_sweep(edges, n, k, l, snapshots)
--

The (k, l) game with components over the edges in order, recording after every edge. snapshots
is a one-dimensional int64 or uint64 array of steps (numbers of edges played, 0 to m). Returns a
dict: labels (uint8), largest and components (int64) per edge, snapshot_offsets (int64, one more
than the steps; snapshot s owns rows snapshot_offsets[s] to snapshot_offsets[s + 1] - 1) and
snapshot_pairs (int64, two entries a row: component within the snapshot, vertex).)doc";

constexpr const char* generic_components_doc = R"doc(generic_components(edges, n, d, seed)
--

The generic rigid components in dimension d: a list of sorted int64 vertex arrays.)doc";

constexpr const char* numeric_components_doc = R"doc(numeric_components(edges, coords, tol=None)
--

The rigid components at coords, with the tolerance of numeric.)doc";

constexpr const char* generic_components_batch_doc = R"doc(generic_components_batch(edges, offsets, n, d, seed)
--

The generic rigid components of many graphs laid out as for generic_batch, graph g at the seed
graph g of generic_batch is drawn from. Returns a dict: offsets (int64, one more than the graphs;
graph g owns rows offsets[g] to offsets[g + 1] - 1), members (int64, two entries a row: component
within the graph, vertex) and, for d <= 2, edge_component (int64 per edge).)doc";

constexpr const char* numeric_components_batch_doc = R"doc(numeric_components_batch(edges, offsets, n, coords, tol=None)
--

The rigid components of many frameworks: as generic_components_batch, graph g's vertices at the
next n[g] rows of coords, with the tolerance of numeric.)doc";

constexpr const char* motions_doc = R"doc(motions(edges, coords, n, d, seed, tol=None, trivial=False)
--

An orthonormal basis of the framework's infinitesimal motions at coords, or with coords None at
n points in dimension d drawn from seed; without trivial, the rigid motions projected out.
Returns a dict: basis (float64, one row of n*d a motion, v*d + k), residuals (|R u| per row),
tol and coords (the positions used).)doc";

constexpr const char* stresses_doc = R"doc(stresses(edges, coords, n, d, seed, tol=None)
--

An orthonormal basis of the framework's self-stresses (one row of m weights a stress), placed as
for motions. Returns a dict: basis, residuals (|R^T w| per row), tol and coords.)doc";

constexpr FunctionDescription motions_signature{"motions", {"edges", "coords", "n", "d", "seed", "tol", "trivial"}, 7, 5};
constexpr FunctionDescription stresses_signature{"stresses", {"edges", "coords", "n", "d", "seed", "tol"}, 6, 5};
constexpr FunctionDescription pebble_game_signature{"pebble_game", {"edges", "n", "k", "l"}, 4, 4};
constexpr FunctionDescription rigidity_sweep_signature{"rigidity_sweep", {"edges", "n", "k", "l", "snapshots"}, 5, 5};
constexpr FunctionDescription generic_components_batch_signature{
    "generic_components_batch", {"edges", "offsets", "n", "d", "seed"}, 5, 5};
constexpr FunctionDescription numeric_components_batch_signature{
    "numeric_components_batch", {"edges", "offsets", "n", "coords", "tol"}, 5, 4};
constexpr FunctionDescription generic_components_signature{"generic_components", {"edges", "n", "d", "seed"}, 4, 4};
constexpr FunctionDescription numeric_components_signature{"numeric_components", {"edges", "coords", "tol"}, 3, 2};
constexpr FunctionDescription generic_signature{"generic", {"edges", "n", "d", "seed", "field"}, 5, 4};
constexpr FunctionDescription numeric_signature{"numeric", {"edges", "coords", "tol"}, 3, 2};
constexpr FunctionDescription generic_batch_signature{
    "generic_batch", {"edges", "offsets", "n", "d", "seed", "global_rigidity", "field"}, 7, 5};
constexpr FunctionDescription numeric_batch_signature{
    "numeric_batch", {"edges", "offsets", "n", "coords", "tol"}, 5, 4};

// ---- arguments --------------------------------------------------------------------------

// NaN asks the core for the tolerance relative to the framework's size.
constexpr double relative = std::numeric_limits<double>::quiet_NaN();

double tolerance_argument(PyObject* object) {
    const double tol = convert_tolerance(object, relative, "tol");
    if ((object != nullptr && object != Py_None) && !(std::isfinite(tol) && tol >= 0.0))
        throw InvalidInput("tol must be a finite number >= 0, or None for the tolerance relative to the framework");
    return tol;
}

// The rows of coords as nodes of one dimension, d >= 1 (a framework of no vertices included).
NodeList nodes_argument(PyObject* object) {
    const MatrixArgument coords = convert_float_matrix(object, "coords");
    const MatrixView& view = coords.view;
    if (view.n_cols == 0) throw InvalidInput("coords must have one column per dimension, at least one");
    require_allocatable(view.n_rows, checked_add(sizeof(Node), checked_multiply(view.n_cols, sizeof(double))));
    NodeList nodes(view.n_rows);
    for (std::uint64_t i = 0; i < view.n_rows; ++i) {
        nodes[i].coordinates.resize(view.n_cols);
        for (std::uint64_t k = 0; k < view.n_cols; ++k) nodes[i].coordinates[k] = view.at(i, k);
    }
    return nodes;
}

// ---- results ----------------------------------------------------------------------------

PyRef none() { return PyRef::borrow(Py_None); }

// Returns a new dictionary; the per-edge vectors are handed over to the arrays without a copy.
PyRef rigidity_dict(GraphRigidity&& result, bool generic) {
    PyRef dict = new_dict();
    const std::uint64_t m = result.labels.size();
    dict_insert(dict.get(), "labels", uint8_vector_from_buffer(std::move(result.labels), m));
    dict_insert(dict.get(), "redundant", bool_vector_from_buffer(std::move(result.redundant), m));
    dict_insert(dict.get(), "rank", new_unsigned(result.rank));
    dict_insert(dict.get(), "max_rank", new_unsigned(result.max_rank));
    dict_insert(dict.get(), "is_rigid", new_bool(result.is_rigid));
    dict_insert(dict.get(), "is_redundantly_rigid", new_bool(result.is_redundantly_rigid));
    dict_insert(dict.get(), "is_globally_rigid",
                result.global_rigidity_known ? new_bool(result.is_globally_rigid) : none());
    dict_insert(dict.get(), "tol", generic ? none() : new_float(result.tol));
    dict_insert(dict.get(), "error_bound", generic ? new_float(result.error_bound) : none());
    return dict;
}

// Ranks fit int64 whenever the work behind them fitted in memory; the check keeps that honest.
std::vector<std::int64_t> as_int64(const std::vector<std::uint64_t>& values) {
    std::vector<std::int64_t> converted(values.size());
    for (std::size_t k = 0; k < values.size(); ++k) {
        if (values[k] > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            throw std::overflow_error("a rank does not fit a 64-bit signed integer");
        converted[k] = static_cast<std::int64_t>(values[k]);
    }
    return converted;
}

PyRef batch_dict(BatchRigidity&& batch, bool global_rigidity) {
    PyRef dict = new_dict();
    const std::uint64_t m = batch.labels.size();
    const std::uint64_t graphs = batch.rank.size();
    dict_insert(dict.get(), "labels", uint8_vector_from_buffer(std::move(batch.labels), m));
    dict_insert(dict.get(), "redundant", bool_vector_from_buffer(std::move(batch.redundant), m));
    dict_insert(dict.get(), "rank", int64_vector_from_buffer(as_int64(batch.rank), graphs));
    dict_insert(dict.get(), "max_rank", int64_vector_from_buffer(as_int64(batch.max_rank), graphs));
    dict_insert(dict.get(), "is_rigid", bool_vector_from_buffer(std::move(batch.is_rigid), graphs));
    if (global_rigidity)
        dict_insert(dict.get(), "is_globally_rigid",
                    bool_vector_from_buffer(std::move(batch.is_globally_rigid), graphs));
    return dict;
}

// ---- the four routines -------------------------------------------------------------------

PyRef generic(const ArgumentSlots& slots) {
    const std::vector<Edge> edges = convert_edge_array(slots[0], "edges");
    const std::uint64_t n = convert_unsigned(slots[1], "n");
    const std::uint64_t d = convert_unsigned(slots[2], "d");
    const std::uint64_t seed = convert_unsigned(slots[3], "seed");
    const bool field = slots[4] != nullptr && convert_unsigned(slots[4], "field") != 0;
    GraphRigidity result =
        without_lock([&] { return generic_rigidity(n, d, edges, GenericOptions{.seed = seed, .field = field}); });
    return rigidity_dict(std::move(result), true);
}

PyRef numeric(const ArgumentSlots& slots) {
    const std::vector<Edge> edges = convert_edge_array(slots[0], "edges");
    const NodeList nodes = nodes_argument(slots[1]);
    const double tol = tolerance_argument(slots[2]);
    GraphRigidity result = without_lock([&] { return numeric_rigidity(nodes, edges, tol); });
    return rigidity_dict(std::move(result), false);
}

PyRef generic_batch(const ArgumentSlots& slots) {
    const std::vector<Edge> edges = convert_edge_array(slots[0], "edges");
    const std::vector<std::uint64_t> offsets = convert_index_vector(slots[1], "offsets");
    const std::vector<std::uint64_t> n = convert_index_vector(slots[2], "n");
    const std::uint64_t d = convert_unsigned(slots[3], "d");
    const std::uint64_t seed = convert_unsigned(slots[4], "seed");
    const bool global_rigidity = slots[5] != nullptr && convert_unsigned(slots[5], "global_rigidity") != 0;
    const bool field = slots[6] != nullptr && convert_unsigned(slots[6], "field") != 0;
    BatchRigidity batch =
        without_lock([&] { return generic_rigidity_batch(edges, offsets, n, d, seed, global_rigidity, field); });
    return batch_dict(std::move(batch), global_rigidity);
}

PyRef numeric_batch(const ArgumentSlots& slots) {
    const std::vector<Edge> edges = convert_edge_array(slots[0], "edges");
    const std::vector<std::uint64_t> offsets = convert_index_vector(slots[1], "offsets");
    const std::vector<std::uint64_t> n = convert_index_vector(slots[2], "n");
    const NodeList nodes = nodes_argument(slots[3]);
    const double tol = tolerance_argument(slots[4]);
    BatchRigidity batch = without_lock([&] { return numeric_rigidity_batch(edges, offsets, n, nodes, tol); });
    return batch_dict(std::move(batch), false);
}

// ---- components ----------------------------------------------------------------------------

// Returns a new list of int64 arrays, one per vertex set.
PyRef vertex_set_list(std::vector<std::vector<std::uint64_t>>&& sets) {
    PyRef list = checked_creation(PyList_New(0));
    for (std::vector<std::uint64_t>& set : sets) {
        const std::uint64_t size = set.size();
        PyRef array = int64_vector_from_buffer(std::vector<std::int64_t>(set.begin(), set.end()), size);
        if (PyList_Append(list.get(), array.get()) != 0) throw PythonErrorPending{};
    }
    return list;
}

PyRef pebble_game(const ArgumentSlots& slots) {
    const std::vector<Edge> edges = convert_edge_array(slots[0], "edges");
    const std::uint64_t n = convert_unsigned(slots[1], "n");
    const std::uint64_t k = convert_unsigned(slots[2], "k");
    const std::uint64_t l = convert_unsigned(slots[3], "l");
    SparsityGameOutcome outcome = without_lock([&] { return play_sparsity_game(n, k, l, edges); });
    PyRef dict = new_dict();
    const std::uint64_t m = outcome.labels.size();
    dict_insert(dict.get(), "labels", uint8_vector_from_buffer(std::move(outcome.labels), m));
    dict_insert(dict.get(), "components", vertex_set_list(std::move(outcome.components)));
    dict_insert(dict.get(), "free_pebbles", new_unsigned(outcome.free_pebbles));
    dict_insert(dict.get(), "is_tight", new_bool(outcome.is_tight));
    return dict;
}

PyRef rigidity_sweep(const ArgumentSlots& slots) {
    const std::vector<Edge> edges = convert_edge_array(slots[0], "edges");
    const std::uint64_t n = convert_unsigned(slots[1], "n");
    const std::uint64_t k = convert_unsigned(slots[2], "k");
    const std::uint64_t l = convert_unsigned(slots[3], "l");
    const std::vector<std::uint64_t> steps = convert_index_vector(slots[4], "snapshots");
    SweepOutcome outcome = without_lock([&] { return play_rigidity_sweep(n, k, l, edges, steps); });
    PyRef dict = new_dict();
    const std::uint64_t m = outcome.labels.size();
    const std::uint64_t offsets = outcome.snapshot_offsets.size(), pairs = outcome.snapshot_pairs.size();
    dict_insert(dict.get(), "labels", uint8_vector_from_buffer(std::move(outcome.labels), m));
    dict_insert(dict.get(), "largest", int64_vector_from_buffer(std::move(outcome.largest), m));
    dict_insert(dict.get(), "components", int64_vector_from_buffer(std::move(outcome.components), m));
    dict_insert(dict.get(), "snapshot_offsets", int64_vector_from_buffer(std::move(outcome.snapshot_offsets), offsets));
    dict_insert(dict.get(), "snapshot_pairs", int64_vector_from_buffer(std::move(outcome.snapshot_pairs), pairs));
    return dict;
}

PyRef generic_components(const ArgumentSlots& slots) {
    const std::vector<Edge> edges = convert_edge_array(slots[0], "edges");
    const std::uint64_t n = convert_unsigned(slots[1], "n");
    const std::uint64_t d = convert_unsigned(slots[2], "d");
    const std::uint64_t seed = convert_unsigned(slots[3], "seed");
    VertexSets sets = without_lock([&] { return generic_rigid_components(n, d, edges, seed); });
    return vertex_set_list(std::move(sets));
}

PyRef components_batch_dict(BatchComponents&& batch) {
    PyRef dict = new_dict();
    const std::uint64_t offsets = batch.offsets.size();
    const std::uint64_t entries = batch.members.size();
    dict_insert(dict.get(), "offsets", int64_vector_from_buffer(as_int64(batch.offsets), offsets));
    dict_insert(dict.get(), "members", int64_vector_from_buffer(as_int64(batch.members), entries));
    if (batch.per_edge) {
        const std::uint64_t edges = batch.edge_component.size();
        dict_insert(dict.get(), "edge_component", int64_vector_from_buffer(std::move(batch.edge_component), edges));
    }
    return dict;
}

PyRef generic_components_batch(const ArgumentSlots& slots) {
    const std::vector<Edge> edges = convert_edge_array(slots[0], "edges");
    const std::vector<std::uint64_t> offsets = convert_index_vector(slots[1], "offsets");
    const std::vector<std::uint64_t> n = convert_index_vector(slots[2], "n");
    const std::uint64_t d = convert_unsigned(slots[3], "d");
    const std::uint64_t seed = convert_unsigned(slots[4], "seed");
    BatchComponents batch = without_lock([&] { return telvora::generic_components_batch(edges, offsets, n, d, seed); });
    return components_batch_dict(std::move(batch));
}

PyRef numeric_components_batch(const ArgumentSlots& slots) {
    const std::vector<Edge> edges = convert_edge_array(slots[0], "edges");
    const std::vector<std::uint64_t> offsets = convert_index_vector(slots[1], "offsets");
    const std::vector<std::uint64_t> n = convert_index_vector(slots[2], "n");
    const NodeList nodes = nodes_argument(slots[3]);
    const double tol = tolerance_argument(slots[4]);
    BatchComponents batch =
        without_lock([&] { return telvora::numeric_components_batch(edges, offsets, n, nodes, tol); });
    return components_batch_dict(std::move(batch));
}

PyRef numeric_components(const ArgumentSlots& slots) {
    const std::vector<Edge> edges = convert_edge_array(slots[0], "edges");
    const NodeList nodes = nodes_argument(slots[1]);
    const double tol = tolerance_argument(slots[2]);
    VertexSets sets = without_lock([&] { return numeric_rigid_components(nodes, edges, tol); });
    return vertex_set_list(std::move(sets));
}

// ---- bases of motions and stresses ----------------------------------------------------------

// coords, or with None the placement of n points in dimension d drawn from seed.
NodeList placement_argument(const ArgumentSlots& slots) {
    if (slots[1] != nullptr && slots[1] != Py_None) return nodes_argument(slots[1]);
    const std::uint64_t n = convert_unsigned(slots[2], "n");
    const std::uint64_t d = convert_unsigned(slots[3], "d");
    const std::uint64_t seed = convert_unsigned(slots[4], "seed");
    if (d == 0) throw InvalidInput("the dimension d must be at least 1");
    return random_placement(n, d, seed);
}

PyRef basis_dict(Basis&& result, NodeList&& nodes) {
    PyRef dict = new_dict();
    const std::uint64_t count = result.count, length = result.length;
    const std::uint64_t d = nodes.empty() ? 0 : nodes[0].coordinates.size();
    std::vector<double> coords;
    coords.reserve(nodes.size() * d);
    for (const Node& node : nodes) coords.insert(coords.end(), node.coordinates.begin(), node.coordinates.end());
    dict_insert(dict.get(), "basis", float_matrix_from_buffer(std::move(result.basis), count, length));
    dict_insert(dict.get(), "residuals", float_vector_from_buffer(std::move(result.residuals), count));
    dict_insert(dict.get(), "tol", new_float(result.tol));
    dict_insert(dict.get(), "coords", float_matrix_from_buffer(std::move(coords), nodes.size(), d));
    return dict;
}

PyRef motions(const ArgumentSlots& slots) {
    const std::vector<Edge> edges = convert_edge_array(slots[0], "edges");
    NodeList nodes = placement_argument(slots);
    const double tol = tolerance_argument(slots[5]);
    const bool trivial = slots[6] != nullptr && convert_unsigned(slots[6], "trivial") != 0;
    Basis result = without_lock([&] { return numeric_motion_basis(nodes, edges, tol, trivial); });
    return basis_dict(std::move(result), std::move(nodes));
}

PyRef stresses(const ArgumentSlots& slots) {
    const std::vector<Edge> edges = convert_edge_array(slots[0], "edges");
    NodeList nodes = placement_argument(slots);
    const double tol = tolerance_argument(slots[5]);
    Basis result = without_lock([&] { return numeric_stress_basis(nodes, edges, tol); });
    return basis_dict(std::move(result), std::move(nodes));
}

// ---- registration -------------------------------------------------------------------------

// No exception class of its own: a violated precondition in the core is an internal error here.
template <const FunctionDescription& description, PyRef (*call)(const ArgumentSlots&)>
constexpr PyCFunction graphs_entry() {
    return entry_pointer<system_error_class, description, call>();
}

// Method definitions must outlive every function object made from them.
PyMethodDef function_table[] = {
    {"generic", graphs_entry<generic_signature, generic>(), METH_VARARGS | METH_KEYWORDS, generic_doc},
    {"numeric", graphs_entry<numeric_signature, numeric>(), METH_VARARGS | METH_KEYWORDS, numeric_doc},
    {"generic_batch", graphs_entry<generic_batch_signature, generic_batch>(), METH_VARARGS | METH_KEYWORDS,
     generic_batch_doc},
    {"pebble_game", graphs_entry<pebble_game_signature, pebble_game>(), METH_VARARGS | METH_KEYWORDS, pebble_game_doc},
    {"rigidity_sweep", graphs_entry<rigidity_sweep_signature, rigidity_sweep>(), METH_VARARGS | METH_KEYWORDS,
     rigidity_sweep_doc},
    {"generic_components", graphs_entry<generic_components_signature, generic_components>(),
     METH_VARARGS | METH_KEYWORDS, generic_components_doc},
    {"numeric_components", graphs_entry<numeric_components_signature, numeric_components>(),
     METH_VARARGS | METH_KEYWORDS, numeric_components_doc},
    {"numeric_batch", graphs_entry<numeric_batch_signature, numeric_batch>(), METH_VARARGS | METH_KEYWORDS,
     numeric_batch_doc},
    {"generic_components_batch", graphs_entry<generic_components_batch_signature, generic_components_batch>(),
     METH_VARARGS | METH_KEYWORDS, generic_components_batch_doc},
    {"numeric_components_batch", graphs_entry<numeric_components_batch_signature, numeric_components_batch>(),
     METH_VARARGS | METH_KEYWORDS, numeric_components_batch_doc},
    {"motions", graphs_entry<motions_signature, motions>(), METH_VARARGS | METH_KEYWORDS, motions_doc},
    {"stresses", graphs_entry<stresses_signature, stresses>(), METH_VARARGS | METH_KEYWORDS, stresses_doc},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "telvora_graphs._native",  // m_name
    "The numeric routines behind telvora_graphs.",
    0,        // m_size
    nullptr,  // m_methods: functions are added one by one after creation
    nullptr, nullptr, nullptr, nullptr,
};

ModuleSlot module_slot;

}  // namespace
}  // namespace telvora::py

PyMODINIT_FUNC PyInit__native(void) {
    return telvora::py::call_guarded(telvora::py::system_error_class, [] {
        return telvora::py::initialise_module(telvora::py::module_slot, telvora::py::module_definition,
                                              telvora::py::function_table);
    });
}
