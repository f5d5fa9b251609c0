"""Constructor argument conversion and what the constructors store."""

import numpy as np
import pytest

import vandu
from conftest import expect_panic, saved


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Float:
    def __float__(self):
        return 0.75




def no_message(error):
    return error.args == () and str(error) == ""


# (constructor, keyword) for every integer parameter, with its kind.
U8 = [(vandu.DecisionTree, "depth"), (vandu.GradientBoosting, "depth")]
U64 = [(vandu.DecisionTree, "min_samples_split"), (vandu.GradientBoosting, "min_samples_split")]
U32 = [(vandu.GradientBoosting, "n_estimators"), (vandu.DeepGradientBoosting, "n_estimators"),
       (vandu.DeepGradientBoosting, "layer_width")]
F64 = [(vandu.GradientBoosting, "learning_rate"), (vandu.DeepGradientBoosting, "learning_rate")]
INTEGERS = U8 + U64 + U32


@pytest.mark.parametrize("cls, name", INTEGERS)
@pytest.mark.parametrize("value", [0, 1, 255, True, False, np.int64(7), np.uint8(9), Index(4), None])
def test_integer_parameters_accept_index_values(cls, name, value):
    assert type(cls(**{name: value})) is cls


@pytest.mark.parametrize("cls, name", INTEGERS)
@pytest.mark.parametrize("value", [3.0, "3", b"3", np.float64(2.0), [1], Index(1.5)])
def test_integer_parameters_refuse_non_integers(cls, name, value):
    with pytest.raises(TypeError):
        cls(**{name: value})


@pytest.mark.parametrize("cls, name", U8)
@pytest.mark.parametrize("value", [256, -1, -(2**40), 2**40])
def test_u8_out_of_range_overflows_without_message(cls, name, value):
    with pytest.raises(OverflowError) as info:
        cls(**{name: value})
    assert no_message(info.value)


@pytest.mark.parametrize("cls, name", U8 + U64 + U32)
def test_values_beyond_the_host_integers_give_the_host_overflow(cls, name):
    with pytest.raises(OverflowError) as info:
        cls(**{name: 2**80})
    assert str(info.value) != ""


@pytest.mark.parametrize("cls, name", U64 + U32)
def test_negative_unsigned_gives_the_host_overflow(cls, name):
    with pytest.raises(OverflowError) as info:
        cls(**{name: -1})
    assert str(info.value) != ""


@pytest.mark.parametrize("cls, name", U32)
def test_u32_range(cls, name):
    assert type(cls(**{name: 2**32 - 1})) is cls
    with pytest.raises(OverflowError) as info:
        cls(**{name: 2**32})
    assert no_message(info.value)


@pytest.mark.parametrize("cls, name", U64)
def test_u64_range(cls, name):
    assert type(cls(**{name: 2**64 - 1})) is cls
    with pytest.raises(OverflowError):
        cls(**{name: 2**64})


@pytest.mark.parametrize("cls, name", F64)
@pytest.mark.parametrize("value", [1, 0.5, -2, Float(), np.float32(0.5), True, None])
def test_float_parameters_accept_numbers(cls, name, value):
    assert type(cls(**{name: value})) is cls


@pytest.mark.parametrize("cls, name", F64)
@pytest.mark.parametrize("value", ["0.1", [0.1], object()])
def test_float_parameters_refuse_other_objects(cls, name, value):
    with pytest.raises(TypeError):
        cls(**{name: value})


def test_conversion_stops_at_the_first_bad_parameter_in_order():
    # n_estimators comes before learning_rate whatever the keyword order.
    with pytest.raises(OverflowError):
        vandu.GradientBoosting(learning_rate="a", n_estimators=-1)
    with pytest.raises(TypeError):
        vandu.GradientBoosting(learning_rate="a", n_estimators=1)
    with pytest.raises(OverflowError):
        vandu.DecisionTree(min_samples_split="a", depth=-1)


def test_errors_raised_by_index_are_passed_on():
    class Broken:
        def __index__(self):
            raise ZeroDivisionError("from __index__")

    with pytest.raises(ZeroDivisionError, match="from __index__"):
        vandu.DecisionTree(depth=Broken())


@pytest.mark.parametrize("args, kwargs, params", [
    ((), {}, {"depth": 3, "min_samples_split": 2}),
    ((None, None), {}, {"depth": 3, "min_samples_split": 2}),
    ((7,), {"min_samples_split": 11}, {"depth": 7, "min_samples_split": 11}),
    ((0, 2**64 - 1), {}, {"depth": 0, "min_samples_split": 2**64 - 1}),
    ((True,), {}, {"depth": 1, "min_samples_split": 2}),
])
def test_decision_tree_stores_its_parameters(args, kwargs, params, persistence):
    assert saved(vandu.DecisionTree(*args, **kwargs), persistence)["params"] == params


@pytest.mark.parametrize("args, kwargs, params", [
    ((), {}, {"est_params": {"depth": 3, "min_samples_split": 2},
              "n_estimators": 100, "learning_rate": 0.1}),
    ((None, None, None, None), {}, {"est_params": {"depth": 3, "min_samples_split": 2},
                                    "n_estimators": 100, "learning_rate": 0.1}),
    ((1, 5), {"learning_rate": 1}, {"est_params": {"depth": 1, "min_samples_split": 5},
                                    "n_estimators": 100, "learning_rate": 1.0}),
    ((), {"n_estimators": 0, "learning_rate": -0.5},
     {"est_params": {"depth": 3, "min_samples_split": 2},
      "n_estimators": 0, "learning_rate": -0.5}),
])
def test_gradient_boosting_stores_its_parameters(args, kwargs, params, persistence):
    assert saved(vandu.GradientBoosting(*args, **kwargs), persistence)["params"] == params


@pytest.mark.parametrize("args, kwargs, params", [
    ((), {}, {"n_estimators": 5, "layer_width": 5, "learning_rate": 0.25}),
    ((0, 0, Float()), {}, {"n_estimators": 0, "layer_width": 0, "learning_rate": 0.75}),
    ((), {"layer_width": 2**32 - 1}, {"n_estimators": 5, "layer_width": 2**32 - 1,
                                      "learning_rate": 0.25}),
])
def test_deep_gradient_boosting_stores_its_parameters(args, kwargs, params, persistence):
    assert saved(vandu.DeepGradientBoosting(*args, **kwargs), persistence)["params"] == params


def test_learning_rate_one_is_stored_as_a_float(persistence):
    path = persistence / "gb.json"
    vandu.GradientBoosting(learning_rate=1).save(str(path))
    assert '"learning_rate":1.0' in path.read_text()


def test_unfitted_tree_has_no_nodes():
    expect_panic(lambda: vandu.DecisionTree().predict(np.zeros((2, 2))),
                 "index out of bounds: the len is 0 but the index is 0")


@pytest.mark.parametrize("depth, most", [(1, 2), (2, 4)])
def test_depth_bounds_the_distinct_predictions(depth, most, xy):
    tree = vandu.DecisionTree(depth=depth)
    tree.fit(*xy)
    assert 2 <= len(set(tree.predict(xy[0]).tolist())) <= most


def test_each_instance_has_its_own_state(xy):
    a, b = vandu.DecisionRule(), vandu.DecisionRule()
    a.fit(*xy)
    a.predict(xy[0])
    expect_panic(lambda: b.predict(xy[0]), "called `Option::unwrap()` on a `None` value")
