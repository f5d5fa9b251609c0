"""Binding arguments to parameters, with the exact messages of every binding failure."""
import numpy as np
import pytest

import vandu

X = np.arange(12.0).reshape(6, 2)
Y = np.arange(6.0)


def binding_error(call):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert len(info.value.args) == 1
    return info.value.args[0]


ESTIMATORS = ["DecisionRule", "DecisionTree", "GradientBoosting", "DeepGradientBoosting"]


@pytest.mark.parametrize("cls", ESTIMATORS)
@pytest.mark.parametrize("call, message", [
    (lambda m: m.fit(X), "fit() missing required positional argument: y"),
    (lambda m: m.fit(), "fit() missing required positional argument: x"),
    (lambda m: m.fit(y=Y), "fit() missing required positional argument: x"),
    (lambda m: m.fit(X, Y, x=X), "fit() got multiple values for argument: x"),
    (lambda m: m.fit(X, 1, y=Y), "fit() got multiple values for argument: y"),
    (lambda m: m.fit(X, Y, w=1), "fit() got an unexpected keyword argument: w"),
    (lambda m: m.fit(X, Y, b=1, a=2), "fit() got an unexpected keyword argument: b"),
    (lambda m: m.fit(X, Y, **{"w\0z": 1}), "fit() got an unexpected keyword argument: w\0z"),
    (lambda m: m.fit(X, Y, 3), "fit() takes at most 2 positional arguments (3 given)"),
    (lambda m: m.predict(X, 1), "predict() takes at most 1 positional argument (2 given)"),
    (lambda m: m.predict(), "predict() missing required positional argument: x"),
    (lambda m: m.predict(X, x=X), "predict() got multiple values for argument: x"),
    (lambda m: m.predict(X, y=Y), "predict() got an unexpected keyword argument: y"),
    # Keywords are checked before surplus positionals.
    (lambda m: m.predict(X, 1, z=0), "predict() got an unexpected keyword argument: z"),
])
def test_method_binding_messages(cls, call, message):
    model = getattr(vandu, cls)()
    assert binding_error(lambda: call(model)) == f"{cls}.{message}"


@pytest.mark.parametrize("cls", ["DecisionTree", "GradientBoosting", "DeepGradientBoosting"])
@pytest.mark.parametrize("call, message", [
    (lambda m: m.save(), "save() missing required positional argument: filename"),
    (lambda m: m.load(format="json"), "load() missing required positional argument: filename"),
    (lambda m: m.save("a", "json", 1), "save() takes at most 2 positional arguments (3 given)"),
    (lambda m: m.load("a", filename="b"), "load() got multiple values for argument: filename"),
    (lambda m: m.save("a", fmt="json"), "save() got an unexpected keyword argument: fmt"),
])
def test_file_method_binding_messages(cls, call, message, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    model = getattr(vandu, cls)()
    assert binding_error(lambda: call(model)) == f"{cls}.{message}"
    assert list(tmp_path.iterdir()) == []  # refused before any file is touched


@pytest.mark.parametrize("call, message", [
    (lambda: vandu.DecisionTree(1, 2, 3),
     "DecisionTree.__new__() takes at most 2 positional arguments (3 given)"),
    (lambda: vandu.DecisionTree(3, depth=3),
     "DecisionTree.__new__() got multiple values for argument: depth"),
    (lambda: vandu.DecisionTree(n_estimators=3),
     "DecisionTree.__new__() got an unexpected keyword argument: n_estimators"),
    (lambda: vandu.GradientBoosting(2, 2, 10, 0.5, 1),
     "GradientBoosting.__new__() takes at most 4 positional arguments (5 given)"),
    (lambda: vandu.GradientBoosting(2, 2, 10, learning_rate=0.5, layer_width=1),
     "GradientBoosting.__new__() got an unexpected keyword argument: layer_width"),
    (lambda: vandu.DeepGradientBoosting(depth=3),
     "DeepGradientBoosting.__new__() got an unexpected keyword argument: depth"),
    (lambda: vandu.DeepGradientBoosting(1, 2, 0.1, 4),
     "DeepGradientBoosting.__new__() takes at most 3 positional arguments (4 given)"),
    # Binding comes before conversion: the bad depth is never looked at.
    (lambda: vandu.DecisionTree(-1, 2, 3),
     "DecisionTree.__new__() takes at most 2 positional arguments (3 given)"),
])
def test_constructor_binding_messages(call, message):
    assert binding_error(call) == message


def test_decision_rule_constructor_accepts_anything():
    rule = vandu.DecisionRule(5, "x", None, depth=1, anything=object())
    assert type(rule) is vandu.DecisionRule
    with pytest.raises(BaseException, match="Option::unwrap"):
        rule.predict(X)  # an ordinary unfitted rule


def test_keyword_binding_in_any_order():
    rule = vandu.DecisionRule()
    assert rule.fit(y=Y, x=X) is None
    assert rule.predict(x=X).shape == (6,)


def test_unexpected_keyword_is_named_by_str():
    class Key(str):
        def __str__(self):
            return "shown"

    message = binding_error(lambda: vandu.DecisionRule().fit(X, Y, **{Key("w"): 1}))
    assert message == "DecisionRule.fit() got an unexpected keyword argument: shown"


def test_failing_str_of_a_keyword_is_passed_on():
    class Key(str):
        def __str__(self):
            raise LookupError("no name")

    with pytest.raises(LookupError, match="no name"):
        vandu.DecisionRule().fit(X, Y, **{Key("w"): 1})

