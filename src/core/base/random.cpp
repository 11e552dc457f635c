// Random frameworks drawn from the seeded generator.
#include "base/random.hpp"

#include "base/memory.hpp"

namespace telvora {

NodeList random_nodes(std::uint64_t n_nodes, std::uint64_t d, Lcg64& rng) {
    require_allocatable(n_nodes, checked_add(sizeof(Node), checked_multiply(d, sizeof(double))));
    NodeList nodes;
    nodes.reserve(n_nodes);
    for (std::uint64_t i = 0; i < n_nodes; ++i) {
        Node node;
        node.coordinates.reserve(d);
        for (std::uint64_t k = 0; k < d; ++k) node.coordinates.push_back(rng.next_coordinate());
        nodes.push_back(std::move(node));
    }
    return nodes;
}

}  // namespace telvora
