"""The module object and its four class objects."""
import importlib
import sys
import weakref

import pytest

import vandu
from conftest import run_python

CLASSES = ["DecisionRule", "DecisionTree", "GradientBoosting", "DeepGradientBoosting"]
METHODS = {
    "DecisionRule": ["fit", "predict"],
    "DecisionTree": ["fit", "predict", "save", "load"],
    "GradientBoosting": ["fit", "predict", "save", "load"],
    "DeepGradientBoosting": ["fit", "predict", "save", "load"],
}


def test_module_attributes():
    assert vandu.__all__ == ["__doc__", *CLASSES]
    assert vandu.__doc__ == ""
    own = {k for k in vars(vandu) if not k.startswith("__")}
    assert own == set(CLASSES)


def test_star_import_binds_doc_too():
    namespace = {}
    exec("from vandu import *", namespace)
    assert namespace["__doc__"] == ""
    assert all(namespace[name] is getattr(vandu, name) for name in CLASSES)


@pytest.mark.parametrize("name", CLASSES)
def test_class_settings(name):
    cls = getattr(vandu, name)
    assert cls.__module__ == "vandu"
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__doc__ is None
    assert cls.__bases__ == (object,)
    assert [k for k in vars(cls) if not k.startswith("__")] == METHODS[name]
    for method in METHODS[name]:
        assert getattr(cls, method).__doc__ is None


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_closed(name):
    cls = getattr(vandu, name)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    instance = cls()
    with pytest.raises(AttributeError):
        instance.foo = 1
    with pytest.raises(AttributeError):
        instance.__dict__
    with pytest.raises(TypeError):
        weakref.ref(instance)
    with pytest.raises(TypeError):
        cls.foo = 1


def test_method_of_one_class_refuses_an_instance_of_another(xy):
    with pytest.raises(TypeError):
        vandu.DecisionTree.fit(vandu.DecisionRule(), *xy)


def test_reimport_runs_init_again_and_shares_the_classes():
    first = sys.modules.pop("vandu")
    try:
        again = importlib.import_module("vandu")
        assert again is not first
        assert again.__all__ == first.__all__
        for name in CLASSES:
            assert getattr(again, name) is getattr(first, name)
    finally:
        sys.modules["vandu"] = first


def test_import_does_not_import_numpy():
    result = run_python("import sys, vandu; print('numpy' in sys.modules)")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "False"


def test_keeper_type_is_internal(fitted_rule, xy):
    result = fitted_rule.predict(xy[0])
    keeper = type(result.base)
    assert keeper.__name__ == "SliceBox"
    assert isinstance(keeper.__doc__, str) and keeper.__doc__
    assert not hasattr(vandu, "SliceBox")
    with pytest.raises(TypeError):
        keeper()


def test_instances_are_released(xy):
    # Each instance holds the only reference to itself; refcounts must come back down.
    rule = vandu.DecisionRule()
    assert sys.getrefcount(rule) == 2
    rule.fit(*xy)
    rule.predict(xy[0])
    assert sys.getrefcount(rule) == 2
    x, y = xy
    before = (sys.getrefcount(x), sys.getrefcount(y))
    for _ in range(3):
        rule.fit(x, y)
        rule.predict(x)
        with pytest.raises(TypeError):
            rule.fit(x, y, w=1)
    assert (sys.getrefcount(x), sys.getrefcount(y)) == before
