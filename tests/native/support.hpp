// Helpers shared by the native tests.
#pragma once

#include <vector>

#include "base/node.hpp"
#include "base/traversal.hpp"

namespace telvora::testing_support {

// A node list whose node i has the coordinates points[i].
inline NodeList make_nodes(const std::vector<std::vector<double>>& points) {
    NodeList nodes;
    for (std::size_t i = 0; i < points.size(); ++i) nodes.push_back(Node{points[i]});
    return nodes;
}

// The double banana: two copies of K5 minus an edge glued at the ends of the missing edge
// (vertices 0 and 1); 8 vertices, 18 edges, flexible in space although it has 3n - 6 of them.
inline std::vector<Edge> double_banana() {
    std::vector<Edge> edges;
    for (const std::vector<std::uint64_t>& part : {std::vector<std::uint64_t>{0, 1, 2, 3, 4},
                                                   std::vector<std::uint64_t>{0, 1, 5, 6, 7}})
        for (std::size_t a = 0; a < 5; ++a)
            for (std::size_t b = a + 1; b < 5; ++b)
                if (!(a == 0 && b == 1)) edges.push_back({part[a], part[b]});
    return edges;
}

}  // namespace telvora::testing_support
