// The result dictionary shared by simulate and generate_training_batch.
#include "results.hpp"

namespace telvora::py {

PyRef make_result_dict(std::uint64_t n_nodes, std::uint64_t d, std::vector<Edge>&& accepted_edges,
                       std::vector<std::uint8_t>&& labels, std::vector<double>&& distance_matrix,
                       std::uint64_t final_rank, std::uint64_t max_rank) {
    PyRef dict = new_dict();
    const std::uint64_t n_labels = labels.size();
    dict_insert(dict.get(), "labels", uint8_vector_from_buffer(std::move(labels), n_labels));
    const std::vector<Edge> edges = std::move(accepted_edges);
    dict_insert(dict.get(), "accepted_edges", new_edge_list(edges));
    dict_insert(dict.get(), "distance_matrix", float_matrix_from_buffer(std::move(distance_matrix), n_nodes, n_nodes));
    dict_insert(dict.get(), "final_rank", new_unsigned(final_rank));
    dict_insert(dict.get(), "max_rank", new_unsigned(max_rank));
    dict_insert(dict.get(), "is_rigid", new_bool(final_rank == max_rank));
    dict_insert(dict.get(), "n_nodes", new_unsigned(n_nodes));
    dict_insert(dict.get(), "d", new_unsigned(d));
    return dict;
}

}  // namespace telvora::py
