"""DecisionRule end to end: a fitted rule is one threshold split with the side means."""
import numpy as np
import pytest

import vandu
from conftest import expect_panic, running_mean

UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"




def single_feature_problem(rng, n_features, feature, n=40):
    """Only `feature` varies, so it is the only one a rule can split on."""
    x = np.tile(rng.normal(size=n_features), (n, 1))
    x[:, feature] = rng.normal(size=n)
    y = np.where(x[:, feature] > 0, 5.0, -5.0) + rng.normal(size=n)
    return x, y


@pytest.mark.parametrize("n_features, feature", [(1, 0), (3, 0), (3, 2), (5, 3)])
def test_split_follows_from_the_training_data(n_features, feature, rng):
    x, y = single_feature_problem(rng, n_features, feature)
    rule = vandu.DecisionRule()
    assert rule.fit(x, y) is None
    p = rule.predict(x)
    values = x[:, feature]
    right_value = p[np.argmax(values)]  # the largest value always goes right
    right = p == right_value
    left = ~right
    assert left.any() and right.any()
    # One threshold: every left value is at most every right value.
    assert values[left].max() < values[right].min()
    # Predictions are exactly the running means of each side's targets.
    assert right_value == running_mean(y[right].tolist())
    assert set(p[left].tolist()) == {running_mean(y[left].tolist())}
    # New points: below the smallest value go left, above the largest go right, and
    # the other features do not matter.
    probe = np.tile(x[0], (2, 1))
    probe[:, feature] = [values.min() - 1.0, values.max() + 1.0]
    probe[:, [f for f in range(n_features) if f != feature]] = 123.0
    assert rule.predict(probe).tolist() == [p[left][0], right_value]


def test_best_feature_wins(rng):
    # Feature 1 separates the targets perfectly whatever its threshold; feature 0 is noise
    # with tiny spread in the targets it separates.
    n = 50
    x = np.column_stack([rng.normal(size=n), np.r_[np.zeros(n // 2), np.ones(n // 2)]])
    y = np.r_[np.zeros(n // 2), np.full(n // 2, 100.0)]
    rule = vandu.DecisionRule()
    rule.fit(x, y)
    assert rule.predict(x).tolist() == y.tolist()


def test_fit_without_a_split_keeps_the_previous_one(rng):
    x, y = single_feature_problem(rng, 2, 1)
    rule = vandu.DecisionRule()
    rule.fit(x, y)
    expected = rule.predict(x)
    assert rule.fit(np.ones((10, 2)), rng.normal(size=10)) is None  # all features constant
    assert np.array_equal(rule.predict(x), expected)


def test_refit_replaces_the_split(rng):
    x1, y1 = single_feature_problem(rng, 2, 0)
    x2, y2 = single_feature_problem(rng, 2, 1)
    y2 = y2 + 1000.0
    rule = vandu.DecisionRule()
    rule.fit(x1, y1)
    rule.fit(x2, y2)
    p = rule.predict(x2)
    assert p.min() > 900.0  # nothing left of the first fit
    for value in set(p.tolist()):
        assert value == running_mean(y2[p == value].tolist())


def test_unfitted_rule_cannot_predict():
    expect_panic(lambda: vandu.DecisionRule().predict(np.zeros((3, 2))), UNWRAP_NONE)


def test_too_few_columns(rng):
    x, y = single_feature_problem(rng, 3, 2)
    rule = vandu.DecisionRule()
    rule.fit(x, y)
    expect_panic(lambda: rule.predict(x[:, :2]), "assertion failed: index < dim")
    # More columns than at fit time are fine: only the split's feature is read.
    assert rule.predict(np.hstack([x, x])).shape == (len(x),)


def test_panic_leaves_the_rule_usable(rng):
    x, y = single_feature_problem(rng, 3, 2)
    rule = vandu.DecisionRule()
    rule.fit(x, y)
    expected = rule.predict(x)
    expect_panic(lambda: rule.predict(x[:, :1]), "assertion failed: index < dim")
    expect_panic(lambda: rule.fit(x, y[:-1]),
                 f"assertion failed: `(left == right)`\n  left: `{len(x)}`,\n right: `{len(x) - 1}`")
    assert np.array_equal(rule.predict(x), expected)
