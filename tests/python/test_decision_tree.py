"""DecisionTree: fitted trees checked node by node against the data they were fitted on."""
import multiprocessing

import numpy as np
import pytest

import vandu
from conftest import expect_panic, running_stats, saved, tree_predict







def weighted_variance(count, m2):
    return 0.0 if count < 2 else (m2 / float(count)) * float(count)


def check_tree(record, x, y):
    """Every node's split and statistics follow from the samples that reach it."""
    depth = record["params"]["depth"]
    mss = record["params"]["min_samples_split"]
    rules = [r["split_info"] for r in record["splitters"]]
    routes = record["routes"]
    assert len(routes) == 2**depth
    assert all(r is not None for r in rules)
    seen = []

    def visit(node, samples, budget):
        seen.append(node)
        split = rules[node]
        f, t = split["feature"], split["threshold"]
        column = x[samples, f]
        assert column.min() <= t < column.max()
        right = column > t
        left_samples, right_samples = samples[~right], samples[right]
        cl, ml, ql = running_stats(y[left_samples])
        cr, mr, qr = running_stats(y[right_samples])
        assert split["values"] == [ml, mr]
        assert split["impurity"] == weighted_variance(cl, ql) + weighted_variance(cr, qr)
        for side, child_samples in ((0, left_samples), (1, right_samples)):
            child = routes[node][side]
            could_split = (
                budget > 1
                and len(child_samples) >= mss
                and np.ptp(x[child_samples], axis=0).max() > 0
            )
            assert (child >= 0) == could_split
            if child >= 0:
                assert child == len(seen)  # pre-order numbering
                visit(child, child_samples, budget - 1)

    if rules:
        visit(0, np.arange(len(y)), depth)
    assert seen == list(range(len(rules)))
    assert all(r == [-1, -1] for r in routes[len(rules):])




# The large shape is fitted on several threads: its large nodes' passes, then its small
# subtrees as tasks.
@pytest.fixture(params=[(300, 5), (6000, 12)], ids=["small", "large"])
def data(request):
    n, m = request.param
    rng = np.random.default_rng(3)
    x = rng.normal(size=(n, m))
    x[:, 3] = rng.integers(0, 3, size=n)  # ties
    y = np.sin(x[:, 0]) + x[:, 1] * x[:, 3] + rng.normal(scale=0.1, size=n)
    return x, y


@pytest.mark.parametrize("depth,mss", [(1, 2), (3, 2), (6, 2), (6, 40), (8, 0), (10, 1)])
def test_every_node_follows_from_its_samples(data, tmp_path, depth, mss):
    x, y = data
    tree = vandu.DecisionTree(depth, mss)
    tree.fit(x, y)
    record = saved(tree, tmp_path)
    check_tree(record, x, y)
    assert len(record["splitters"]) <= 2**depth - 1
    np.testing.assert_array_equal(tree.predict(x), tree_predict(record, x))
    held_out = np.random.default_rng(4).normal(size=(50, x.shape[1]))
    np.testing.assert_array_equal(tree.predict(held_out), tree_predict(record, held_out))


def test_depth_one_predicts_the_two_side_means(data):
    x, y = data
    tree = vandu.DecisionTree(depth=1)
    tree.fit(x, y)
    p = tree.predict(x)
    assert len(np.unique(p)) == 2
    for value in np.unique(p):
        assert running_stats(y[p == value])[1] == value


def test_root_splits_below_min_samples_split(tmp_path):
    x = np.arange(5.0).reshape(5, 1)
    y = np.arange(5.0)
    tree = vandu.DecisionTree(depth=4, min_samples_split=10)
    tree.fit(x, y)
    record = saved(tree, tmp_path)
    assert len(record["splitters"]) == 1
    assert len(record["routes"]) == 16


def test_refit_replaces_the_whole_tree(data, tmp_path):
    x, y = data
    tree = vandu.DecisionTree(depth=5)
    tree.fit(x, y)
    tree.fit(x[:20, :2], y[:20])
    record = saved(tree, tmp_path)
    check_tree(record, x[:20, :2], y[:20])


@pytest.mark.parametrize(
    "layout",
    [np.ascontiguousarray, np.asfortranarray, lambda a: a[::-1][::-1], lambda a: np.repeat(a, 2, axis=0)[::2]],
)
def test_layout_of_x_does_not_change_the_fit_checks(data, tmp_path, layout):
    x, y = data
    xs = layout(x)
    tree = vandu.DecisionTree(depth=4)
    tree.fit(xs, y)
    check_tree(saved(tree, tmp_path), x, y)




@pytest.mark.parametrize(
    "x,message",
    [
        (np.array([[0.0, 1.0], [1.0, np.nan], [2.0, 0.0]]), "called `Option::unwrap()` on a `None` value"),
        (np.array([[0.0, 1.0], [1.0, np.inf], [2.0, 0.0]]), "Uniform::sample_single: low and high must be finite"),
    ],
)
def test_non_finite_features_abandon_the_fit(x, message):
    expect_panic(lambda: vandu.DecisionTree(2).fit(x, np.arange(3.0)), message)


def test_a_feature_of_one_repeated_infinity_is_constant(tmp_path):
    x = np.array([[np.inf, 0.0], [np.inf, 1.0], [np.inf, 2.0]])
    tree = vandu.DecisionTree(2)
    tree.fit(x, np.arange(3.0))
    assert saved(tree, tmp_path)["splitters"][0]["split_info"]["feature"] == 1


@pytest.mark.parametrize("fit", [False, True])
def test_predict_without_nodes_fails(fit):
    tree = vandu.DecisionTree(depth=0 if fit else 3)
    if fit:
        tree.fit(np.ones((4, 2)), np.arange(4.0))
    expect_panic(lambda: tree.predict(np.ones((3, 2))), "index out of bounds: the len is 0 but the index is 0")
    assert tree.predict(np.ones((0, 2))).shape == (0,)


def test_predict_with_too_few_features_fails_only_on_the_paths_that_need_them(tmp_path):
    x = np.array([[0.0, 5.0], [1.0, 6.0], [2.0, 7.0], [3.0, 8.0]])
    tree = vandu.DecisionTree(depth=1)
    for _ in range(50):
        tree.fit(x, np.arange(4.0))
        if saved(tree, tmp_path)["splitters"][0]["split_info"]["feature"] == 1:
            break
    else:
        pytest.skip("feature 1 never won")
    expect_panic(lambda: tree.predict(x[:, :1]), "index out of bounds: the len is 1 but the index is 1")


@pytest.mark.parametrize("depth", [40, 63, 64, 65, 255])
def test_unholdable_route_tables_raise_memory_error(depth):
    tree = vandu.DecisionTree(depth=depth)
    with pytest.raises(MemoryError):
        tree.fit(np.arange(4.0).reshape(4, 1), np.arange(4.0))
    # The instance stays usable.
    tree2 = vandu.DecisionTree(depth=2)
    tree2.fit(np.arange(4.0).reshape(4, 1), np.arange(4.0))


def threshold_in_child(x, y, directory, queue):
    queue.put(saved(fit_stump(x, y), directory, "child.json")["splitters"][0]["split_info"]["threshold"])


def fit_stump(x, y):
    tree = vandu.DecisionTree(depth=1)
    tree.fit(x, y)
    return tree


def test_forked_child_does_not_replay_the_parents_buffered_draws(rng, tmp_path):
    """One draw from a fresh block leaves most of it buffered when the process forks."""
    x = rng.normal(size=(30, 1))
    y = rng.normal(size=30)
    context = multiprocessing.get_context("fork")
    # Each round moves this thread's place in its block: one of two rounds forks mid-block.
    for _ in range(2):
        vandu.DecisionRule().fit(x, y)
        queue = context.Queue()
        child = context.Process(target=threshold_in_child, args=(x, y, tmp_path, queue))
        child.start()
        mine = saved(fit_stump(x, y), tmp_path)["splitters"][0]["split_info"]["threshold"]
        theirs = queue.get(timeout=60)
        child.join(timeout=60)
        assert child.exitcode == 0
        assert theirs != mine
