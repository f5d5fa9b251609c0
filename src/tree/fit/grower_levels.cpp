// The top levels of a tree grown a level at a time. Below the root a node's rows lie
// scattered over the matrix, and its own estimate pass gathers their codes through its
// positions: once the codes are beyond the caches, every node of a level touches most of
// their lines again (at 1,000,000 x 20 the four nodes of level 2 read 2.4 times the
// codes), and the gathers wait on memory. Here each sample carries a byte, its node in
// the level, and one pass over all the rows in sample order, reading the codes as they
// lie, adds every node's counts and sums (each node's in its own rows' order, as its own
// pass adds them; the estimate's bound would allow any). The draws are as many and serve
// the same features (which node draws first cannot be observed: no seed can be set); the
// partitions, the chains and so every stored bit are as node by node. On the team the pass
// runs by chunks of samples (grower_levels_team.cpp).
#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <limits>

#include "core/failure.hpp"
#include "tree/fit/grower.hpp"

namespace vandu {
namespace {

// Below, a node's gathered codes are near the core and streaming every row for each
// level saves nothing (400,000 x 20, 16 MB of codes, took as long as node by node).
constexpr std::size_t default_tag_bytes = std::size_t{8} << 20;
std::atomic<std::size_t> tag_bytes_for_testing{std::numeric_limits<std::size_t>::max()};

// Levels grown at once: as long as a level has at most max_tagged_nodes nodes.
constexpr std::size_t tagged_levels = 3;
static_assert(std::size_t{1} << (tagged_levels - 1) <= kernels::max_tagged_nodes);

constexpr std::uint8_t no_node = 0xff;

// What a node's draws leave in the scratch, kept in its level record until its pass.
template <class To, class From>
void copy_draws(To& to, const From& from) {
    to.threshold = from.threshold;
    to.drawn = from.drawn;
    to.code_above = from.code_above;
    to.code_tie = from.code_tie;
    to.code_exact = from.code_exact;
    to.code_side = from.code_side;
}

void save(LevelNode& to, const NodeScratch& sc) {
    copy_draws(to, sc);
    to.chunks = 0;
    to.above.assign(sc.above.size(), 0);
    to.sum_above.assign(sc.sum_above.size(), 0.0);
}

void restore(NodeScratch& sc, const LevelNode& from) {
    copy_draws(sc, from);
    sc.above = from.above;
    sc.sum_above = from.sum_above;
}

}  // namespace

bool levels_at_once(bool tags_pay, std::size_t code_bytes) {
    const std::size_t forced = tag_bytes_for_testing.load(std::memory_order_relaxed);
    if (forced != std::numeric_limits<std::size_t>::max()) return code_bytes >= forced;
    return tags_pay && code_bytes >= default_tag_bytes;
}

void set_level_tag_bytes_for_testing(std::size_t bytes) {
    tag_bytes_for_testing.store(bytes, std::memory_order_relaxed);
}

std::int64_t Grower::grow_levels(const NodeTask& root) {
    if (!coded()) fail("levels grown at once without codes");
    // A node of the level being grown, and where its result hangs: its parent's record.
    struct Open {
        NodeTask task;
        std::size_t parent;  // in `made`; none for the root
        int side;
    };
    constexpr std::size_t none = std::numeric_limits<std::size_t>::max();
    std::vector<Made> made;
    std::int64_t result = NO_CHILD;
    const auto hang = [&](const Open& o, std::int64_t child) {
        if (o.parent == none)
            result = child;
        else
            attach(made[o.parent], o.side, child);
    };
    // The children's ranges outlive the level buffer the next sibling's partition reuses.
    std::deque<RangeSet> ranges;
    std::vector<Open> level{{root, none, 0}}, next;
    std::vector<Open> live;
    std::vector<NodeSides> sides;
    std::vector<Draws> draws;
    std::vector<NodeTargets> summaries;
    const std::size_t words = kernels::side_words(st_.n_features);

    LeafTags& leaf_tags = sc_.leaf_tags;
    leaf_tags = LeafTags{};
    // A live node's split made; its children queued for the next level or grown below.
    // `tag`: the node's in st_.tags, where its children are leaves that fill_in_order fills.
    const auto place = [&](const Open& o, const Made& m, std::array<RangeSet, 2>& child_ranges,
                           std::size_t tag = LeafTags::none) {
        const NodeTask& t = o.task;
        made.push_back(m);
        const std::size_t at = made.size() - 1;
        hang(o, static_cast<std::int64_t>(m.node));
        if (tag != LeafTags::none && m.child_budget == 0) {
            leaf_tags.by_tag[tag].node = m.node;
            for (int side = 0; side < 2; ++side) attach(made[at], side, NO_CHILD, true);
            return;
        }
        for (int side = 0; side < 2; ++side) {
            NodeTask c{t.level + 1, m.bounds[side], m.bounds[side + 1], m.child_budget, false, m.children,
                       m.shifts[side], m.take_ranges ? &child_ranges[side] : nullptr};
            if (t.level + 1 < tagged_levels) {
                if (c.ranges) c.ranges = &ranges.emplace_back(*c.ranges);
                next.push_back({c, at, side});
            } else {
                attach(made[at], side, grow(c));
            }
        }
    };
    const auto split = [&](const Open& o, Choice& choice, NodeSides node_sides, bool large,
                           std::size_t tag = LeafTags::none) {
        place(o, make_node(o.task, choice, large, node_sides, true), sc_.levels[o.task.level + 1], tag);
    };
    // Set where a level's partitions in one pass tagged each row by its child's place in
    // `next` (untagged: none).
    bool tags_placed = false;
    std::vector<std::size_t> live_at;
    std::vector<Choice> choices;
    std::vector<char> found;
    std::vector<LevelSplit> splits;
    std::vector<std::array<RangeSet, 2>> split_ranges;

    for (; !level.empty(); level.swap(next)) {
        next.clear();
        live.clear();
        live_at.clear();
        const bool tags_in_place = tags_placed;
        tags_placed = false;
        for (std::size_t j = 0; j < level.size(); ++j) {
            const Open& o = level[j];
            const NodeTask& t = o.task;
            if (t.budget == 0 || st_.n_samples == 0 || (!t.root && t.end - t.begin < params_.min_samples_split)) {
                hang(o, NO_CHILD);
            } else {
                live.push_back(o);
                live_at.push_back(j);
            }
        }
        std::size_t rows = 0;
        bool placed = true;  // every node's samples known, to tag them
        for (const Open& o : live) {
            rows += o.task.end - o.task.begin;
            placed = placed && o.task.data.indexed && o.task.data.positions;
        }
        // One pass over every row pays where the level's nodes hold most of them.
        const bool tagged =
            placed && live.size() >= 2 && live.size() <= kernels::max_tagged_nodes && 2 * rows >= st_.n_samples;
        sides.clear();
        for (const Open& o : live)
            sides.push_back(o.task.root && root_listed(o.task.budget) ? root_sides()
                                                                       : side_words(o.task.begin, o.task.budget, !tagged));
        if (!tagged) {
            for (std::size_t i = 0; i < live.size(); ++i) {
                const NodeTask& t = live[i].task;
                // On the team, large nodes as grow takes them.
                const bool large = deferred_ && (t.end - t.begin) * st_.stride >= large_node_values;
                if (large) split_into_chunks(t.end - t.begin, t.budget > 1);
                Choice choice;
                if (find_split(t.begin, t.end - t.begin, t.data, t.root, large, t.shift, t.ranges, sides[i], choice))
                    split(live[i], choice, sides[i], large);
                else
                    hang(live[i], NO_CHILD);
            }
            continue;
        }
        // Every node draws, in level order; each keeps its draws until its partition.
        if (sc_.level_nodes.size() < live.size()) sc_.level_nodes.resize(live.size());
        draws.assign(live.size(), Draws{});
        std::vector<char> drew(live.size(), 0);
        for (std::size_t i = 0; i < live.size(); ++i) {
            const NodeTask& t = live[i].task;
            drew[i] = draw_split(t.begin, t.end - t.begin, t.data, t.root, false, t.ranges, draws[i]);
            save(sc_.level_nodes[i], sc_);
        }
        summaries.assign(live.size(), NodeTargets{});
        std::vector<std::size_t> of_node;  // the live nodes the one-thread pass tagged
        // On the team, each live node's tag (its place in the pass) where it has one.
        std::vector<std::size_t> team_tag(live.size(), LeafTags::none);
        if (deferred_) {
            std::vector<TaggedTask> team_level;
            for (std::size_t i = 0; i < live.size(); ++i)
                if (drew[i] && draws[i].any && draws[i].pending == Pending::none) {
                    team_tag[i] = team_level.size();
                    team_level.push_back({&live[i].task, &sc_.level_nodes[i], sides[i].words, &summaries[i]});
                }
            if (!team_level.empty()) tagged_on_team(team_level);
        } else {
            // Each sample's node; the rows of none (leaves above, nodes that draw nothing) are skipped.
            std::uint8_t* tags = st_.tags.data();
            if (!tags_in_place) std::memset(tags, no_node, st_.n_samples);
            // Where the level before tagged the rows by their place in `level`: each place's tag here.
            std::uint8_t of_place[256];
            std::fill(std::begin(of_place), std::end(of_place), no_node);
            std::vector<kernels::TaggedNode> nodes;
            for (std::size_t i = 0; i < live.size(); ++i) {
                if (!drew[i] || !draws[i].any || draws[i].pending != Pending::none) continue;
                const NodeTask& t = live[i].task;
                LevelNode& n = sc_.level_nodes[i];
                const auto tag = static_cast<std::uint8_t>(nodes.size());
                if (tags_in_place)
                    of_place[live_at[i]] = tag;
                else
                    t.data.positions.visit([&](const auto* sample) {
                        for (std::size_t s = t.begin; s < t.end; ++s) tags[sample[s]] = tag;
                    });
                nodes.push_back({{n.code_above.data(), n.code_tie.data(), n.code_exact.data(), n.threshold.data()},
                                 t.shift, n.above.data(), n.sum_above.data(), sides[i].words});
                of_node.push_back(i);
            }
            if (tags_in_place) {
                bool same = true;
                for (std::size_t j = 0; j < level.size(); ++j) same = same && of_place[j] == j;
                if (!same)
                    for (std::size_t s = 0; s < st_.n_samples; ++s) tags[s] = of_place[tags[s]];
            }
            if (!nodes.empty()) {
                const kernels::CodeRows code_rows{st_.codes.codes(), st_.codes.pitch(), st_.source, st_.stride,
                                                  nullptr,           0,                  st_.n_features};
                st_.code_kernels.tagged_sums(code_rows, st_.stride, st_.n_samples, st_.root_targets, tags,
                                             nodes.data(), nodes.size());
            }
            for (std::size_t k = 0; k < of_node.size(); ++k) {
                const std::size_t i = of_node[k];
                const NodeTask& t = live[i].task;
                const std::size_t count = t.end - t.begin;
                LevelNode& n = sc_.level_nodes[i];
                st_.kernels.masked_sums(t.data.rows, t.data.positions + t.begin, st_.stride, 0, count,
                                        t.data.targets + t.begin, t.shift, n.threshold.data(), n.above.data(),
                                        n.sum_above.data(), &summaries[i], nullptr);
            }
        }
        // Every node's choice first, then their partitions in one pass where it applies (a
        // node's held-back failure keeps them node by node, so that it comes where it did).
        // One thread only: on the team the partitions of large nodes run by chunks.
        bool at_once = !deferred_;
        for (std::size_t i = 0; i < live.size(); ++i)
            at_once = at_once && (!drew[i] || draws[i].pending == Pending::none);
        if (at_once) {
            choices.assign(live.size(), Choice{});
            found.assign(live.size(), 0);
            splits.clear();
            split_ranges.resize(of_node.size());
            for (std::size_t k = 0; k < of_node.size(); ++k) {
                const std::size_t i = of_node[k];
                const NodeTask& t = live[i].task;
                restore(sc_, sc_.level_nodes[i]);
                const double* rows = t.data.indexed ? t.data.rows : t.data.rows + t.begin * st_.stride;
                const ConstPositionPtr index = t.data.indexed ? t.data.positions + t.begin : nullptr;
                found[i] = certified_pick(rows, index, t.end - t.begin, t.data.targets + t.begin, t.shift,
                                          draws[i].stop, summaries[i], choices[i]);
                for (RangeSet& r : split_ranges[k])
                    if (r.min.size() != st_.stride) r.size(st_.stride);
                splits.push_back(
                    {&t, found[i] ? &choices[i] : nullptr, &sc_.level_nodes[i], split_ranges[k].data(), {}});
            }
            if (partition_level(splits)) {
                for (std::size_t i = 0, k = 0; i < live.size(); ++i) {
                    if (!found[i]) {
                        hang(live[i], NO_CHILD);
                        continue;
                    }
                    while (of_node[k] != i) ++k;
                    Made& m = splits[k].made;
                    record_node(live[i].task, choices[i], sc_.level_nodes[i].threshold[choices[i].feature], true, m);
                    place(live[i], m, split_ranges[k]);
                }
                tags_placed = true;
                continue;
            }
            // The last level: its leaves' samples are filled in order, by their tags.
            const bool leaves = fitted_ && live[0].task.budget == 1 && sides[0].words;
            if (leaves) {
                leaf_tags = LeafTags{};
                leaf_tags.tags = of_node.size();
                leaf_tags.per_row = words;
            }
            for (std::size_t i = 0, k = 0; i < live.size(); ++i) {
                if (!found[i]) {
                    hang(live[i], NO_CHILD);
                    continue;
                }
                while (of_node[k] != i) ++k;
                if (leaves) leaf_tags.by_tag[k] = {LeafTags::none, sides[i].words, choices[i].feature};
                restore(sc_, sc_.level_nodes[i]);
                leaves_by_tags_ = leaves;
                split(live[i], choices[i], sides[i], false, leaves ? k : LeafTags::none);
                leaves_by_tags_ = false;
            }
            continue;
        }
        for (std::size_t i = 0; i < live.size(); ++i) {
            const NodeTask& t = live[i].task;
            if (!drew[i]) {
                hang(live[i], NO_CHILD);
                continue;
            }
            restore(sc_, sc_.level_nodes[i]);
            const Draws& d = draws[i];
            Choice choice;
            bool found = false;
            if (d.any && d.pending == Pending::none) {
                const double* rows = t.data.indexed ? t.data.rows : t.data.rows + t.begin * st_.stride;
                const ConstPositionPtr index = t.data.indexed ? t.data.positions + t.begin : nullptr;
                found = certified_pick(rows, index, t.end - t.begin, t.data.targets + t.begin, t.shift, d.stop,
                                       summaries[i], choice);
            }
            raise(d.pending);
            if (!found) {
                hang(live[i], NO_CHILD);
                continue;
            }
            // The team's last level: its leaves' samples are filled in order by chunks, by their tags.
            const std::size_t tag = fitted_ && t.budget == 1 && sides[i].words ? team_tag[i] : LeafTags::none;
            if (tag != LeafTags::none) {
                const LevelNode& n = sc_.level_nodes[i];
                leaf_tags.tags = std::max(leaf_tags.tags, tag + 1);
                leaf_tags.per_row = words;
                leaf_tags.chunks = n.chunks;
                leaf_tags.by_tag[tag] = {LeafTags::none, sides[i].words, choice.feature, n.chunk_start.data()};
            }
            leaves_by_tags_ = tag != LeafTags::none;
            split(live[i], choice, sides[i], deferred_ && level_chunks(sc_.level_nodes[i], t.end - t.begin), tag);
            leaves_by_tags_ = false;
        }
    }
    for (const Made& m : made) piece_[m.node].done = true;
    return result;
}

}  // namespace vandu
