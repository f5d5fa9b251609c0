"""Arbitrary arguments thrown at every constructor and method (Hypothesis): any Python objects,
arrays of every kind, and objects whose __index__, __float__, __str__ or __eq__ re-enter an
instance or raise. Only the documented exceptions may come out, and every instance stays
usable. VANDU_FUZZ_EXAMPLES sets the number of examples per test (CI raises it)."""
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import vandu
from conftest import panic_exception_type

EXAMPLES = int(os.environ.get("VANDU_FUZZ_EXAMPLES", "60"))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, database=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                       HealthCheck.filter_too_much, HealthCheck.large_base_example,
                                       HealthCheck.function_scoped_fixture])

CLASSES = ["DecisionRule", "DecisionTree", "GradientBoosting", "DeepGradientBoosting"]
PARAMETERS = ["depth", "min_samples_split", "n_estimators", "layer_width", "learning_rate",
              "x", "y", "filename", "format"]
# Failures that would mean a fault of the module, whatever the arguments.
FAULTS = ("Python API call failed", "unknown internal failure", "internal failure")


class Boom(Exception):
    """Raised by the arguments' own methods: must come out unchanged."""


def allowed(error):
    if isinstance(error, (TypeError, ValueError, OverflowError, OSError, MemoryError, Boom)):
        return True
    if type(error).__module__ == "pyo3_runtime":
        if type(error) is panic_exception_type():
            return not any(str(error).startswith(fault) for fault in FAULTS)
        return type(error).__name__ in ("PyBorrowError", "PyBorrowMutError")
    return False


def call_checked(call):
    try:
        call()
    except BaseException as error:  # noqa: B036 - PanicException is a BaseException
        if not allowed(error):
            raise AssertionError(f"undocumented exception {type(error).__name__}: {error!r}") from error


class World:
    """The instances and the file the re-entering arguments reach for."""

    def __init__(self, directory):
        self.directory = directory
        self.path = str(directory / "reentry.json")
        self.instances = []
        x = np.arange(12.0).reshape(6, 2)
        self.x, self.y = x, x[:, 0] * 0.5

    def reenter(self, which, method):
        if not self.instances:
            return
        model = self.instances[which % len(self.instances)]
        calls = {
            "fit": lambda: model.fit(self.x, self.y),
            "predict": lambda: model.predict(self.x),
            "save": lambda: model.save(self.path),
            "load": lambda: model.load(self.path),
        }
        if method in calls and hasattr(model, method):
            call_checked(calls[method])


WORLD = []  # the current example's World


class Tricky:
    """Converts (or fails to) after re-entering an instance."""

    def __init__(self, which, method, result):
        self.which, self.method, self.result = which, method, result

    def _act(self):
        if WORLD:
            WORLD[0].reenter(self.which, self.method)
        if self.result == "raise":
            raise Boom()
        return self.result

    def __index__(self):
        return self._act()

    def __float__(self):
        return self._act()

    def __str__(self):
        return self._act()

    def __repr__(self):
        return f"Tricky({self.which}, {self.method!r}, {self.result!r})"


class TrickyKey(str):
    """A keyword name that hashes as `str` does, but compares by re-entering."""

    def __new__(cls, text, which, method, equal):
        key = super().__new__(cls, text)
        key.tricky = Tricky(which, method, equal)
        return key

    def __hash__(self):
        return str.__hash__(self)

    def __eq__(self, other):
        return bool(self.tricky._act())

    def __str__(self):
        return str(self.tricky._act())


reentries = st.builds(Tricky, st.integers(0, 4), st.sampled_from(["fit", "predict", "save", "load", "none"]),
                      st.one_of(st.integers(-2, 300), st.integers(), st.floats(), st.just("raise"),
                                st.just("text"), st.none()))

floats = st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True)
special_floats = st.sampled_from([0.0, -0.0, 5e-324, -5e-324, 1.7976931348623157e308, -1e308,
                                  float("inf"), float("-inf"), float("nan")])


@st.composite
def arrays(draw):
    """Arrays of any element type, dimension count, byte order, strides and alignment."""
    dtype = draw(st.one_of(hnp.scalar_dtypes(), st.sampled_from(["<f8", ">f8", "=f8", "f8"]).map(np.dtype),
                           st.just(np.dtype(object)), st.just(np.dtype([("a", "<f8")]))))
    shape = draw(hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=6))
    if dtype.kind == "f" and dtype.itemsize == 8:
        elements = st.one_of(floats, special_floats)
        array = draw(hnp.arrays(dtype, shape, elements=elements))
    elif dtype.kind == "O":
        array = np.empty(shape, dtype=object)
    else:
        array = draw(hnp.arrays(dtype, shape))
    layout = draw(st.sampled_from(["plain", "fortran", "transpose", "reversed", "every_other",
                                   "misaligned", "broadcast", "readonly", "subclass"]))
    if layout == "fortran":
        array = np.asfortranarray(array)
    elif layout == "transpose":
        array = array.T
    elif layout == "reversed" and array.ndim:
        array = array[::-1]
    elif layout == "every_other" and array.ndim:
        array = np.concatenate([array, array])[::2] if array.size else array
    elif layout == "misaligned" and array.size and dtype.kind != "O":
        buffer = bytearray(array.nbytes + 1)
        moved = np.frombuffer(buffer, dtype=dtype, offset=1, count=array.size).reshape(array.shape)
        moved[...] = array
        array = moved
    elif layout == "broadcast" and array.ndim and array.shape[0]:
        array = np.broadcast_to(array[:1], (draw(st.integers(0, 8)),) + array.shape[1:])
    elif layout == "readonly":
        array.flags.writeable = False
    elif layout == "subclass":
        array = array.view(np.ma.MaskedArray) if dtype.kind != "V" else array
    return array


@st.composite
def problems(draw):
    """float64 x and y that fit, with any values."""
    rows = draw(st.integers(0, 10))
    cols = draw(st.integers(0, 3))
    elements = st.one_of(st.floats(-1e3, 1e3), special_floats)
    x = draw(hnp.arrays("f8", (rows, cols), elements=elements))
    y = draw(hnp.arrays("f8", (draw(st.sampled_from([rows, rows, rows + 1])),), elements=elements))
    return x, y


scalars = st.one_of(st.none(), st.booleans(), st.integers(), st.integers(-3, 300), floats, special_floats,
                    st.text(), st.sampled_from(["json", "bincode", "json\0", "\udc80", ""]), st.binary(),
                    reentries, st.just(object()), st.just(np.float64(2.0)), st.just(np.int64(3)))
anything = st.one_of(scalars, arrays(), st.lists(scalars, max_size=3), st.tuples(scalars),
                     st.dictionaries(st.text(max_size=3), scalars, max_size=2))


def keywords(values):
    names = st.one_of(st.sampled_from(PARAMETERS), st.text(max_size=4),
                      st.builds(TrickyKey, st.sampled_from(PARAMETERS), st.integers(0, 4),
                                st.sampled_from(["fit", "predict", "none"]),
                                st.one_of(st.booleans(), st.just("raise"))))
    # Distinct texts, so that building the dictionary never compares two keys.
    pairs = st.lists(st.tuples(names, values), max_size=3, unique_by=lambda kv: str.__str__(kv[0]))
    return pairs.map(dict)


@pytest.fixture
def world(tmp_path):
    created = World(tmp_path)
    for name in CLASSES:
        created.instances.append(getattr(vandu, name)())
    created.instances[1].fit(created.x, created.y)
    created.instances[1].save(created.path)
    WORLD[:] = [created]
    yield created
    WORLD.clear()


def not_borrowed(call):
    """`call` may fail, but never because an earlier call left its instance borrowed."""
    try:
        call()
    except BaseException as error:  # noqa: B036
        assert type(error).__module__ != "pyo3_runtime" or type(error) is panic_exception_type(), error
        assert allowed(error), error


def still_usable(model, world):
    """The borrow ended and the state is whole: a new fit works."""
    model.fit(world.x, world.y)
    assert model.predict(world.x).shape == (6,)


@FUZZ
@given(cls=st.sampled_from(CLASSES), args=st.lists(anything, max_size=5), kwargs=keywords(anything))
def test_constructors_take_any_arguments(world, cls, args, kwargs):
    call_checked(lambda: getattr(vandu, cls)(*args, **kwargs))
    for model in world.instances:
        if not isinstance(model, vandu.DeepGradientBoosting):  # fitted by another test
            still_usable(model, world)


# Small enough that every fit ends at once; the arguments of the calls are what is fuzzed.
safe_models = st.one_of(
    st.builds(vandu.DecisionRule),
    st.builds(vandu.DecisionTree, st.sampled_from([0, 1, 2, 5, 48, 255]), st.sampled_from([0, 1, 2, 2**64 - 1])),
    st.builds(vandu.GradientBoosting, st.integers(0, 4), st.integers(0, 3), st.integers(0, 5), st.one_of(floats, special_floats)),
    st.builds(vandu.DeepGradientBoosting, st.integers(0, 1), st.integers(0, 1), floats),
)
methods = st.sampled_from(["fit", "predict", "save", "load"])
method_arguments = st.one_of(anything, problems().map(lambda p: p[0]), problems().map(lambda p: p[1]))


@FUZZ
@given(model=safe_models, calls=st.lists(st.tuples(methods, st.lists(method_arguments, max_size=3),
                                                   keywords(method_arguments)), min_size=1, max_size=4),
       problem=problems())
def test_methods_take_any_arguments(world, model, calls, problem):
    world.instances.append(model)
    for method, args, kwargs in calls:
        if method in ("save", "load"):
            # File names and formats: any text, in the scratch directory.
            args = [os.path.join(str(world.directory), a) if isinstance(a, str) and i == 0 else a
                    for i, a in enumerate(args)]
        if hasattr(model, method):
            call_checked(lambda: getattr(model, method)(*args, **kwargs))
    call_checked(lambda: model.fit(*problem))
    call_checked(lambda: model.predict(problem[0]))
    if not isinstance(model, vandu.DecisionRule):
        call_checked(lambda: model.save(world.path))
    # Whatever happened, no instance is left borrowed.
    for instance in world.instances:
        not_borrowed(lambda: instance.predict(world.x))
    world.instances.pop()
