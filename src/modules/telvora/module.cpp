// The module telvora: its function table with documentation strings, the six entry
// routines, its fatal-error exception and the module's initialisation.
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "base/errors.hpp"
#include "frame.hpp"
#include "base/memory.hpp"
#include "base/node.hpp"
#include "pebble/component_pebble.hpp"
#include "pebble/pebble.hpp"
#include "base/random.hpp"
#include "frameworks/reconstruct.hpp"
#include "results.hpp"
#include "frameworks/rigidity.hpp"
#include "frameworks/simulation.hpp"
#include "base/traversal.hpp"

namespace telvora::py {
namespace {

constexpr const char* simulate_doc = R"doc(simulate(coords, d, tol=None)
--

Run the rigidity simulation using the fast-path algorithm.

Parameters
----------
coords : np.ndarray  shape (n, d)  — node coordinates
d      : int         — embedding dimension (2 or 3)
tol    : float, optional — tolerance for rank check (default 1e-9)

Returns
-------
dict with keys:
  "labels"           np.ndarray[u8]   1=independent, 0=redundant (GNN training signal)
  "accepted_edges"   list[(i,j)]      the independent edges
  "distance_matrix"  np.ndarray[f64]  shape (n,n), Euclidean distances
  "final_rank"       int
  "max_rank"         int              nd − d(d+1)/2
  "is_rigid"         bool
  "n_nodes"          int
  "d"                int)doc";

constexpr const char* gram_from_dist_doc = R"doc(gram_from_dist(dist)
--

Compute the Gram matrix from an Euclidean distance matrix using double-centering.

Formula:  G = −½ · H · D_sq · H   where H = I − (1/n)·11ᵀ

If G is positive semi-definite with rank ≤ d, the embedding is isometric (lossless).

Parameters
----------
dist : np.ndarray  shape (n,n)  — Euclidean distance matrix (NOT squared)

Returns
-------
np.ndarray  shape (n,n)  — Gram matrix G)doc";

constexpr const char* generate_training_batch_doc = R"doc(generate_training_batch(n_graphs, n_nodes, d, seed)
--

Generate a batch of random simulation results for GNN training.

Parameters
----------
n_graphs : int — number of graphs
n_nodes  : int — nodes per graph
d        : int — embedding dimension (2 or 3)
seed     : int — RNG seed (each graph gets seed+k)

Returns
-------
list[dict]  — same format as `simulate`, one dict per graph)doc";

constexpr const char* max_independent_doc = R"doc(max_independent(n, d)
--

Max independent edges for n nodes in d dimensions: nd − d(d+1)/2)doc";

constexpr const char* reconstruct_doc = R"doc(reconstruct(distance_matrix, d, tol=None)
--

Reconstruct node coordinates from a Euclidean distance matrix (Classical MDS).

Parameters
----------
distance_matrix : np.ndarray shape (n, n) — from simulate()["distance_matrix"]
d               : int — target dimension (2 or 3)
tol             : float, optional — stress threshold for is_isometric (default 1e-6)

Returns dict with keys:
  "coords"       np.ndarray[f64] shape (n, d) — recovered coordinates
  "stress"       float — Kruskal's normalized stress-1 (0.0 = lossless)
  "eigenvalues"  np.ndarray[f64] shape (d,) — top-d Gram matrix eigenvalues
  "is_isometric" bool — True when stress < tol)doc";

constexpr const char* pebble_game_doc = R"doc(pebble_game(coords, d)
--

Run the Pebble Game algorithm — O(n^2), deterministic, no matrix rank needed.

Parameters
----------
coords : np.ndarray shape (n, d) — node coordinates (only d=2 supported)
d      : int — must be 2

Returns dict with keys:
  "labels"          np.ndarray[u8]  1=independent, 0=redundant
  "accepted_edges"  list[(i,j)]
  "n_nodes"         int
  "d"               int)doc";

constexpr const char* fatal_error_doc =
    "Raised when a computation inside telvora meets a violated precondition.\n\n"
    "It derives directly from BaseException, so handlers for Exception do not swallow it.\n"
    "The module stays usable afterwards.";

// Created once, on first need, and kept for the life of the process.
PyObject* fatal_error_class() noexcept {
    static PyObject* cls = nullptr;
    if (cls == nullptr)
        cls = PyErr_NewExceptionWithDoc("telvora.FatalError", fatal_error_doc, PyExc_BaseException, nullptr);
    return cls;
}

constexpr FunctionDescription simulate_signature{"simulate", {"coords", "d", "tol"}, 3, 2};
constexpr FunctionDescription gram_from_dist_signature{"gram_from_dist", {"dist"}, 1, 1};
constexpr FunctionDescription generate_training_batch_signature{
    "generate_training_batch", {"n_graphs", "n_nodes", "d", "seed"}, 4, 4};
constexpr FunctionDescription max_independent_signature{"max_independent", {"n", "d"}, 2, 2};
constexpr FunctionDescription reconstruct_signature{"reconstruct", {"distance_matrix", "d", "tol"}, 3, 2};
constexpr FunctionDescription pebble_game_signature{"pebble_game", {"coords", "d"}, 2, 2};

constexpr double default_rank_tolerance = 1e-9;
constexpr double default_stress_tolerance = 1e-6;

// ---- simulate ---------------------------------------------------------------------------

PyRef simulate(const ArgumentSlots& slots) {
    const MatrixArgument coords = convert_float_matrix(slots[0], "coords");
    const std::uint64_t d = convert_unsigned(slots[1], "d");
    const double tol = convert_tolerance(slots[2], default_rank_tolerance, "tol");

    check_coords(coords.view, d);
    require_simulation_memory(coords.view.n_rows, d);
    const NodeList nodes = nodes_from_coords(coords.view, d);

    SimulationResult result =
        without_lock([&] { return simulate_nodes(nodes, d, tol, LabellingOptions{.prefix_shortcut = true}); });
    return make_result_dict(result.n_nodes, result.d, std::move(result.accepted_edges), std::move(result.labels),
                            std::move(result.distance_matrix), result.final_rank, result.max_rank);
}

// ---- generate_training_batch --------------------------------------------------------------

// Bytes one framework's result holds until its dictionary is built.
std::uint64_t framework_bytes(std::uint64_t n_nodes, std::uint64_t d) {
    const std::uint64_t n_edges = edge_count(n_nodes);
    std::uint64_t bytes = checked_multiply(checked_multiply(n_nodes, n_nodes), sizeof(double));
    bytes = checked_add(bytes, checked_multiply(n_edges, 1 + sizeof(Edge)));
    bytes = checked_add(bytes, checked_multiply(std::min(max_rank(n_nodes, d), n_edges), sizeof(Edge)));
    return checked_add(bytes, sizeof(SimulationResult));
}

PyRef generate_training_batch(const ArgumentSlots& slots) {
    const std::uint64_t n_graphs = convert_unsigned(slots[0], "n_graphs");
    const std::uint64_t n_nodes = convert_unsigned(slots[1], "n_nodes");
    const std::uint64_t d = convert_unsigned(slots[2], "d");
    const std::uint64_t seed = convert_unsigned(slots[3], "seed");

    std::vector<SimulationResult> results;
    {
        LockReleased unlocked;
        if (n_graphs > 0) {
            check_framework_shape(n_nodes, d);
            require_allocatable(n_graphs, framework_bytes(n_nodes, d));
        }
        results.reserve(n_graphs);
        for (std::uint64_t k = 0; k < n_graphs; ++k) {
            Lcg64 rng(seed + k);  // wraps modulo 2^64
            const NodeList nodes = random_nodes(n_nodes, d, rng);
            results.push_back(simulate_nodes(nodes, d, default_rank_tolerance));
            results.back().edges = {};  // the dictionaries do not need the candidate list
        }
    }

    PyRef list = checked_creation(PyList_New(0));
    for (SimulationResult& result : results) {
        PyRef dict = make_result_dict(result.n_nodes, result.d, std::move(result.accepted_edges),
                                      std::move(result.labels), std::move(result.distance_matrix),
                                      result.final_rank, result.max_rank);
        if (PyList_Append(list.get(), dict.get()) < 0) throw PythonErrorPending{};
        result = SimulationResult{};  // frees what is left of this framework at once
    }
    return list;
}

// ---- max_independent ----------------------------------------------------------------------

PyRef max_independent(const ArgumentSlots& slots) {
    const std::uint64_t n = convert_unsigned(slots[0], "n");
    const std::uint64_t d = convert_unsigned(slots[1], "d");
    return new_unsigned(max_rank(n, d));
}

// ---- gram_from_dist, reconstruct ----------------------------------------------------------

PyRef gram_from_dist(const ArgumentSlots& slots) {
    const MatrixArgument dist = convert_float_matrix(slots[0], "dist");
    if (dist.view.n_rows != dist.view.n_cols) throw InvalidInput("Distance matrix must be square");
    const std::uint64_t n = dist.view.n_rows;
    return float_matrix_from_buffer(gram_matrix(dist.view), n, n);  // the lock stays held
}

PyRef reconstruct_coords(const ArgumentSlots& slots) {
    const MatrixArgument distance_matrix = convert_float_matrix(slots[0], "distance_matrix");
    const std::uint64_t d = convert_unsigned(slots[1], "d");
    const double tol = convert_tolerance(slots[2], default_stress_tolerance, "tol");
    const MatrixView& view = distance_matrix.view;
    if (view.n_rows != view.n_cols) throw InvalidInput("distance_matrix must be square");
    const std::uint64_t n = view.n_rows;

    // The values are copied so that the array is not read while the lock is released. The copy,
    // the Gram matrix and the two matrices of the eigen-decomposition are alive together.
    require_allocatable(checked_multiply(checked_multiply(n, n), 4), sizeof(double));
    std::vector<double> copy(n * n);
    for (std::uint64_t i = 0; i < n; ++i)
        for (std::uint64_t j = 0; j < n; ++j) copy[i * n + j] = view.at(i, j);

    ReconstructionResult result;
    {
        LockReleased unlocked;
        result = classical_mds(copy, n, d, tol);
        copy = {};
    }
    PyRef dict = new_dict();
    dict_insert(dict.get(), "coords", float_matrix_from_buffer(std::move(result.coords), n, d));
    dict_insert(dict.get(), "stress", new_float(result.stress));
    const std::uint64_t n_values = result.eigenvalues.size();
    dict_insert(dict.get(), "eigenvalues", float_vector_from_buffer(std::move(result.eigenvalues), n_values));
    dict_insert(dict.get(), "is_isometric", new_bool(result.is_isometric));
    return dict;
}

// ---- pebble_game ---------------------------------------------------------------------------

PyRef pebble_game(const ArgumentSlots& slots) {
    const MatrixArgument coords = convert_float_matrix(slots[0], "coords");
    const std::uint64_t d = convert_unsigned(slots[1], "d");
    if (d != 2) throw InvalidInput("pebble_game only supports d=2");
    const std::uint64_t n = coords.view.n_rows;  // the coordinate values are never read

    PebbleGameOutcome outcome = without_lock([&] { return complete_graph_pebble_game(n); });
    PyRef dict = new_dict();
    const std::uint64_t n_labels = outcome.labels.size();
    dict_insert(dict.get(), "labels", uint8_vector_from_buffer(std::move(outcome.labels), n_labels));
    dict_insert(dict.get(), "accepted_edges", new_edge_list(outcome.accepted_edges));
    dict_insert(dict.get(), "n_nodes", new_unsigned(n));
    dict_insert(dict.get(), "d", new_unsigned(d));
    return dict;
}

// ---- registration -------------------------------------------------------------------------

// The frame's entry routine, raising telvora.FatalError for a violated precondition.
template <const FunctionDescription& description, PyRef (*call)(const ArgumentSlots&)>
constexpr PyCFunction telvora_entry() {
    return entry_pointer<fatal_error_class, description, call>();
}

// Method definitions must outlive every function object made from them.
PyMethodDef function_table[] = {
    {"simulate", telvora_entry<simulate_signature, simulate>(), METH_VARARGS | METH_KEYWORDS, simulate_doc},
    {"gram_from_dist", telvora_entry<gram_from_dist_signature, gram_from_dist>(), METH_VARARGS | METH_KEYWORDS,
     gram_from_dist_doc},
    {"generate_training_batch", telvora_entry<generate_training_batch_signature, generate_training_batch>(),
     METH_VARARGS | METH_KEYWORDS, generate_training_batch_doc},
    {"max_independent", telvora_entry<max_independent_signature, max_independent>(), METH_VARARGS | METH_KEYWORDS,
     max_independent_doc},
    {"reconstruct", telvora_entry<reconstruct_signature, reconstruct_coords>(), METH_VARARGS | METH_KEYWORDS,
     reconstruct_doc},
    {"pebble_game", telvora_entry<pebble_game_signature, pebble_game>(), METH_VARARGS | METH_KEYWORDS, pebble_game_doc},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "telvora",  // m_name
    "",         // m_doc
    0,          // m_size
    nullptr,    // m_methods: functions are added one by one after creation
    nullptr, nullptr, nullptr, nullptr,
};

ModuleSlot module_slot;

}  // namespace
}  // namespace telvora::py

PyMODINIT_FUNC PyInit_telvora(void) {
    return telvora::py::call_guarded(telvora::py::fatal_error_class, [] {
        return telvora::py::initialise_module(telvora::py::module_slot, telvora::py::module_definition,
                                              telvora::py::function_table);
    });
}
