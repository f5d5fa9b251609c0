#include "tree/decision_tree.hpp"

#include <unistd.h>

#include <new>

#include "core/failure.hpp"

namespace vandu {

std::size_t route_count(std::uint8_t depth) {
    // Two 64-bit entries per route: refuse a table larger than half this machine's memory.
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    const unsigned long long memory =
        pages > 0 && page_size > 0 ? static_cast<unsigned long long>(pages) * page_size : 1ull << 34;
    if (depth >= 60 || (sizeof(Route) << depth) > memory / 2) throw std::bad_alloc();
    return std::size_t{1} << depth;
}

class TreeFitterState {
public:
    explicit TreeFitterState(MatrixView x) : x(x) {}
    MatrixView x;
};

namespace {

struct Grower {
    DecisionTreeImpl& tree;
    MatrixView x;
    VectorView y;

    std::int64_t grow(Selection selection, std::uint8_t budget) {
        if (budget == 0) return NO_CHILD;
        if (y.size() == 0) return NO_CHILD;
        if (selection && selection->size() < tree.params.min_samples_split) return NO_CHILD;
        RandomSplitRule rule;
        if (!rule.fit(x, y, selection)) return NO_CHILD;
        auto [left, right] = rule.partition_samples(x, selection);
        const auto node = static_cast<std::int64_t>(tree.splitters.size());
        tree.splitters.push_back(std::move(rule));
        const std::int64_t l = grow(&left, budget - 1);
        const std::int64_t r = grow(&right, budget - 1);
        tree.routes[node] = {l, r};
        return node;
    }
};

}  // namespace

TreeFitter::TreeFitter(MatrixView x) : state_(new TreeFitterState(x)) {}
TreeFitter::~TreeFitter() { delete state_; }

void TreeFitter::fit(DecisionTreeImpl& tree, VectorView y, double* fitted) {
    tree.splitters.clear();
    tree.routes.clear();
    tree.routes.assign(route_count(tree.params.depth), Route{NO_CHILD, NO_CHILD});
    Grower{tree, state_->x, y}.grow(nullptr, tree.params.depth);
    if (fitted && state_->x.cols) {
        const Vector p = tree.predict(state_->x);
        std::copy(p.begin(), p.end(), fitted);
    }
}

void DecisionTreeImpl::fit(MatrixView x, VectorView y) { TreeFitter(x).fit(*this, y); }

void DecisionTreeImpl::add_predictions(MatrixView x, double* out) const {
    const std::size_t n_nodes = splitters.size();
    for (std::size_t s = 0; s < x.cols; ++s) {
        std::size_t node = 0;
        for (;;) {
            if (node >= n_nodes) fail(index_out_of_bounds(n_nodes, node));
            const auto& split = splitters[node].split_info;
            if (!split) fail(text::unwrap_none);
            if (split->feature >= x.rows) fail(index_out_of_bounds(x.rows, split->feature));
            const int side = side_of(x(split->feature, s), split->threshold);
            if (node >= routes.size()) fail(index_out_of_bounds(routes.size(), node));
            const std::int64_t next = routes[node][side];
            if (next < 0) {
                out[s] += split->values[side];
                break;
            }
            if (static_cast<std::uint64_t>(next) <= node)
                fail("invalid tree: node " + std::to_string(node) + " routes to node " +
                     std::to_string(next) + ", which is not below it");
            node = static_cast<std::size_t>(next);
        }
    }
}

Vector DecisionTreeImpl::predict(MatrixView x) const {
    Vector out(x.cols, 0.0);
    add_predictions(x, out.data());
    return out;
}

}  // namespace vandu
