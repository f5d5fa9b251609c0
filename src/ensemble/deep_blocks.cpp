#include "ensemble/deep_blocks.hpp"

#include <algorithm>
#include <type_traits>
#include <utility>

#include "core/interrupt.hpp"
#include "core/worker_pool.hpp"
#include "tree/kernels/walk_kernels.hpp"

namespace vandu {

namespace {

// Fewer samples than this take the layers one after another (see DeepLayout).
constexpr std::size_t block_samples = 32;
// Split over the team from this many samples, in this many shares per thread.
constexpr std::size_t team_samples = 64;
constexpr std::size_t shares_per_thread = 4;
// Ranking a sample costs a search per feature; the ranked kernel saves a little work on
// every node, so the blocks are ranked from about this many nodes per feature.
constexpr std::size_t ranked_nodes_per_feature = 32;
// A block of about 16 KiB stays in the first-level cache.
constexpr std::size_t block_bytes = 16384;

template <class Visit>
void each_split(std::span<const AverageEnsemble> layers, Visit&& visit) {
    for (const AverageEnsemble& layer : layers)
        for (const GradientBoostingImpl& model : layer.estimators)
            for (const DecisionTreeImpl& tree : model.estimators)
                for (const auto& splitter : tree.splitters)
                    if (splitter.split_info) visit(splitter.split_info->feature, splitter.split_info->threshold);
}

}  // namespace

std::shared_ptr<const walk::ThresholdRanks> DeepBlocks::block_ranks(std::span<const AverageEnsemble> layers,
                                                                     const walk::Kernels& kernels) {
    if (!kernels.ranked) return nullptr;
    std::vector<std::uint64_t> features;
    std::vector<double> thresholds;
    each_split(layers, [&](std::uint64_t f, double t) {
        features.push_back(f);
        thresholds.push_back(t);
    });
    std::optional<walk::ThresholdRanks> ranks = walk::ThresholdRanks::build(features, thresholds);
    if (!ranks || features.size() < ranked_nodes_per_feature * ranks->used().size()) return nullptr;
    return std::make_shared<const walk::ThresholdRanks>(std::move(*ranks));
}

std::optional<DeepBlocks> DeepBlocks::lay_out(const std::vector<std::vector<Member>>& members,
                                              std::shared_ptr<const walk::ThresholdRanks> ranks,
                                              const walk::Kernels& kernels) {
    DeepBlocks blocks;
    blocks.kernels_ = &kernels;
    std::vector<std::uint64_t>& features = blocks.features_;
    for (const std::vector<Member>& layer : members) {
        if (layer.empty()) return std::nullopt;
        for (const Member& m : layer) {
            if (!m.trees) return std::nullopt;
            const std::optional<LaidOutTrees::Complete> complete = m.trees->complete();
            if (!complete) return std::nullopt;
            for (const std::uint64_t f : complete->features)
                if (f != LaidOutTrees::no_feature) features.push_back(f);
        }
        std::sort(features.begin(), features.end());
        features.erase(std::unique(features.begin(), features.end()), features.end());
    }
    if (features.empty()) features.push_back(0);  // only padding: any feature will do
    if (!kernels.ranked || (ranks && !std::ranges::equal(features, ranks->used()))) ranks = nullptr;
    const std::size_t cell = ranks ? sizeof(std::int16_t) : sizeof(double);
    const std::size_t quantum = walk::block_quantum;
    blocks.width_ = std::clamp<std::size_t>(block_bytes / (cell * features.size()) / quantum * quantum, quantum, 256);
    for (const std::vector<Member>& layer : members) {
        Layer& laid = blocks.layers_.emplace_back();
        for (const Member& m : layer) {
            std::optional<BlockForest> forest = BlockForest::lay_out(*m.trees, features, blocks.width_, ranks.get());
            if (!forest || (ranks && !forest->ranked())) return std::nullopt;
            const std::optional<LaidOutTrees::Complete> complete = m.trees->complete();
            for (const std::uint64_t f : complete->features)
                if (f != LaidOutTrees::no_feature) laid.reads = std::max(laid.reads, f + 1);
            laid.forests.push_back(std::move(*forest));
            laid.rates.push_back(m.rate);
            laid.means.push_back(m.mean);
        }
    }
    blocks.ranks_ = std::move(ranks);
    return blocks;
}

std::optional<Vector> DeepBlocks::predict(MatrixView x, double rate) const {
    if (x.cols < block_samples) return std::nullopt;
    // A layer's members read x's features and the predictions of every earlier member.
    std::uint64_t rows = x.rows;
    for (const Layer& layer : layers_) {
        if (layer.reads > rows) return std::nullopt;
        rows += layer.forests.size();
    }
    Vector out(x.cols);
    const auto run = [&](std::size_t begin, std::size_t end) {
        if (ranks_)
            predict_samples<std::int16_t>(x, rate, begin, end, out.data());
        else
            predict_samples<double>(x, rate, begin, end, out.data());
    };
    // Equal shares of whole groups, a few per thread, taken by whichever thread is free: a
    // thread the system holds back delays the call by its share at most.
    const std::size_t team = x.cols >= team_samples ? team_size() : 1;
    const std::size_t quantum = walk::block_quantum;
    const std::size_t groups = (x.cols + quantum - 1) / quantum;
    const std::size_t tasks = std::max((x.cols + width_ - 1) / width_, std::min(shares_per_thread * team, groups));
    const std::size_t share = (groups + tasks - 1) / tasks * quantum;
    if (team > 1 && tasks > 1)
        parallel_team((x.cols + share - 1) / share,
                      [&](std::size_t t) { run(t * share, std::min(x.cols, (t + 1) * share)); });
    else
        run(0, x.cols);
    return out;
}

template <class Cell>
void DeepBlocks::predict_samples(MatrixView x, double rate, std::size_t begin, std::size_t end,
                                 double* out) const {
    const walk::Kernels& kernels = *kernels_;
    const std::size_t width = width_;
    // The block's row of each member's prediction (or none), members numbered across
    // layers; x's features come first in the numbering of the features.
    std::vector<std::size_t> grown_row;
    constexpr std::size_t none = SIZE_MAX;
    std::vector<std::pair<std::size_t, std::uint64_t>> x_rows;  // (row, feature)
    for (std::size_t row = 0; row < features_.size(); ++row)
        if (features_[row] < x.rows) x_rows.emplace_back(row, features_[row]);
    for (const Layer& layer : layers_)
        for (std::size_t k = 0; k < layer.forests.size(); ++k) {
            const std::uint64_t f = x.rows + grown_row.size();
            const auto at = std::lower_bound(features_.begin(), features_.end(), f);
            grown_row.push_back(at != features_.end() && *at == f ? static_cast<std::size_t>(at - features_.begin())
                                                                   : none);
        }

    std::vector<Cell> block(features_.size() * width, Cell{});
    std::vector<double> sums(width), predictions, result(width);
    std::vector<std::int16_t> ranked(width);
    std::size_t widest = 0;
    for (const Layer& layer : layers_) widest = std::max(widest, layer.forests.size());
    predictions.resize(widest * width);
    // One row of the block from n values.
    const auto fill = [&](std::size_t row, const double* from, std::ptrdiff_t stride, std::size_t n) {
        Cell* to = block.data() + row * width;
        if constexpr (std::is_same_v<Cell, std::int16_t>) {
            ranks_->rank_values(row, from, stride, n, ranked.data());
            for (std::size_t r = 0; r < n; ++r) to[walk::ranked_place(r)] = ranked[r];
        } else {
            for (std::size_t r = 0; r < n; ++r) to[r] = from[static_cast<std::ptrdiff_t>(r) * stride];
        }
    };

    for (std::size_t b = begin; b < end; b += width) {
        const std::size_t n = std::min(width, end - b);
        for (const auto& [row, f] : x_rows) {
            const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(f) * x.row_stride +
                                      static_cast<std::ptrdiff_t>(b) * x.col_stride;
            fill(row, x.data + at, x.col_stride, n);
        }
        std::size_t member = 0;
        for (std::size_t i = 0; i < layers_.size(); ++i) {
            check_interrupt();
            const Layer& layer = layers_[i];
            for (std::size_t k = 0; k < layer.forests.size(); ++k, ++member) {
                if constexpr (std::is_same_v<Cell, std::int16_t>)
                    layer.forests[k].sum_ranked(block.data(), n, sums.data(), kernels);
                else
                    layer.forests[k].sum(block.data(), n, sums.data(), kernels);
                // As GradientBoostingImpl::predict finishes its sums.
                double* p = predictions.data() + k * width;
                const double member_rate = layer.rates[k], mean = layer.means[k];
                for (std::size_t r = 0; r < n; ++r) p[r] = sums[r] * member_rate + mean;
                if (grown_row[member] != none) fill(grown_row[member], p, 1, n);
            }
            // The layer's mean in member order, added as DeepBoostingImpl::predict adds it.
            const double count = static_cast<double>(layer.forests.size());
            for (std::size_t r = 0; r < n; ++r) {
                double s = 0.0;
                for (std::size_t k = 0; k < layer.forests.size(); ++k) s = s + predictions[k * width + r];
                const double mean = s / count;
                result[r] = i == 0 ? mean : result[r] + (rate * mean);
            }
        }
        std::copy(result.begin(), result.begin() + static_cast<std::ptrdiff_t>(n), out + b);
    }
}

std::size_t DeepBlocks::bytes() const {
    std::size_t total = sizeof(*this) + features_.capacity() * sizeof(std::uint64_t) +
                        layers_.capacity() * sizeof(Layer);
    for (const Layer& layer : layers_) {
        total += layer.forests.capacity() * sizeof(BlockForest) +
                 (layer.rates.capacity() + layer.means.capacity()) * sizeof(double);
        for (const BlockForest& f : layer.forests) total += f.bytes() - sizeof(BlockForest);
    }
    return total;
}

}  // namespace vandu
