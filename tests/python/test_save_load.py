"""save() and load() of the three tree estimators: exact texts and bytes, round trips,
format names, file errors and the guarantees of a failed save or load."""
import json
import os
import re
import stat
import struct
from decimal import Decimal

import numpy as np
import pytest

import vandu
from conftest import expect_panic, panic_exception_type, run_python

UNWRAP = "called `Result::unwrap()` on an `Err` value: "
EOF_BINCODE = UNWRAP + 'Io(Error { kind: UnexpectedEof, message: "failed to fill whole buffer" })'

# Small settings keep the deep model's grid search quick.
MAKERS = {
    "DecisionTree": lambda: vandu.DecisionTree(depth=4),
    "GradientBoosting": lambda: vandu.GradientBoosting(depth=2, n_estimators=5, learning_rate=0.3),
    "DeepGradientBoosting": lambda: vandu.DeepGradientBoosting(n_estimators=2, layer_width=2),
}
CLASSES = list(MAKERS)

DEFAULT_TEXTS = {
    "DecisionTree": '{"params":{"depth":3,"min_samples_split":2},"splitters":[],"routes":[]}',
    "GradientBoosting": '{"params":{"est_params":{"depth":3,"min_samples_split":2},"n_estimators":100,'
                        '"learning_rate":0.1},"estimators":[],"mean":0.0}',
    "DeepGradientBoosting": '{"params":{"n_estimators":5,"layer_width":5,"learning_rate":0.25},"estimators":[]}',
}
DEFAULT_BYTES = {
    "DecisionTree": "03" + "02" + "00" * 7 + "00" * 16,
    "GradientBoosting": "03" + "02" + "00" * 7 + "64000000" + "9a9999999999b93f" + "00" * 16,
    "DeepGradientBoosting": "05000000" "05000000" "000000000000d03f" + "00" * 8,
}


def fitted(name, xy):
    model = MAKERS[name]()
    model.fit(*xy)
    return model


@pytest.fixture
def files(persistence):
    return persistence


@pytest.mark.parametrize("name", CLASSES)
def test_unfitted_defaults_have_exact_text_and_bytes(name, files):
    model = getattr(vandu, name)()
    model.save(str(files / "m.json"))
    assert (files / "m.json").read_bytes() == DEFAULT_TEXTS[name].encode()
    model.save(str(files / "m.bin"), "bincode")
    assert (files / "m.bin").read_bytes().hex() == DEFAULT_BYTES[name]


@pytest.mark.parametrize("name", CLASSES)
@pytest.mark.parametrize("fmt", [None, "json", "bincode"])
def test_round_trip_predicts_bit_for_bit(name, fmt, files, xy):
    model = fitted(name, xy)
    path = str(files / "m")
    if fmt is None:
        model.save(path)
    else:
        model.save(path, fmt)
    other = getattr(vandu, name)()
    other.load(path, format=fmt)
    x = xy[0]
    assert model.predict(x).view(np.uint64).tolist() == other.predict(x).view(np.uint64).tolist()
    if fmt != "bincode":
        json.loads((files / "m").read_text())  # no format or None means JSON


def python_layout(value):
    """The writer's float layout, derived independently from Python's shortest repr."""
    if value != value or value in (float("inf"), float("-inf")):
        return "null"
    sign = "-" if str(value).startswith("-") else ""
    if value == 0:
        return sign + "0.0"
    digits_tuple, exponent = Decimal(repr(abs(value))).normalize().as_tuple()[1:]
    digits = "".join(map(str, digits_tuple))
    n = len(digits) + exponent
    if len(digits) <= n <= 16:
        return sign + digits + "0" * (n - len(digits)) + ".0"
    if 1 <= n <= 16:
        return sign + digits[:n] + "." + digits[n:]
    if -4 <= n <= 0:
        return sign + "0." + "0" * -n + digits
    return sign + digits[0] + ("." + digits[1:] if len(digits) > 1 else "") + "e" + str(n - 1)


@pytest.mark.parametrize("name", CLASSES)
def test_json_text_is_compact_and_floats_follow_the_layout(name, files, xy):
    model = fitted(name, xy)
    model.save(str(files / "m.json"))
    text = (files / "m.json").read_text()
    assert not re.search(r"\s", text)
    floats = []
    parsed = json.loads(text, parse_float=lambda s: floats.append(s) or float(s))
    assert floats, "a fitted model holds floats"
    for written in floats:
        assert python_layout(float(written)) == written
    # the bincode image holds the same record
    model.save(str(files / "m.bin"), "bincode")
    data = (files / "m.bin").read_bytes()
    if name == "DecisionTree":
        assert data[0] == parsed["params"]["depth"] == 4
        assert struct.unpack_from("<Q", data, 9)[0] == len(parsed["splitters"])


def test_load_replaces_the_parameters(files):
    vandu.DecisionTree(depth=5).save(str(files / "m.json"))
    tree = vandu.DecisionTree(depth=1)
    tree.load(str(files / "m.json"))
    tree.save(str(files / "again.json"))
    assert json.loads((files / "again.json").read_text())["params"]["depth"] == 5


def test_saving_twice_keeps_only_the_second(files, xy):
    path = str(files / "m.json")
    fitted("GradientBoosting", xy).save(path)
    vandu.DecisionTree().save(path)
    assert (files / "m.json").read_text() == DEFAULT_TEXTS["DecisionTree"]
    assert sorted(os.listdir(files)) == ["m.json"]  # no temporary file left behind


@pytest.mark.parametrize("fmt", ["JSON", "Json", " json", "json ", "", "xml"])
def test_unknown_format_touches_no_file(fmt, files):
    message = f'Incorrect format: `{fmt}`. Please, use one of: ["json", "bincode"]'
    with pytest.raises(ValueError) as info:
        vandu.DecisionTree().save(str(files / "new.json"), fmt)
    assert info.value.args == (message,)
    assert not (files / "new.json").exists()
    (files / "old.json").write_text("keep")
    with pytest.raises(ValueError):
        vandu.DecisionTree().save(str(files / "old.json"), fmt)
    assert (files / "old.json").read_text() == "keep"


def test_load_with_unknown_format_keeps_the_state(files, xy):
    model = fitted("DecisionTree", xy)
    before = model.predict(xy[0])
    model.save(str(files / "m.json"))
    with pytest.raises(ValueError, match="Incorrect format: `bin`"):
        vandu.DecisionTree().load(str(files / "m.json"), "bin")
    with pytest.raises(ValueError):
        model.load(str(files / "m.json"), "bin")
    assert np.array_equal(model.predict(xy[0]), before)


def test_missing_file_is_reported_before_the_format(files):
    with pytest.raises(FileNotFoundError) as info:
        vandu.DecisionTree().load(str(files / "missing.json"), "xml")
    assert str(info.value).endswith("(os error 2)")
    with pytest.raises(FileNotFoundError):
        vandu.GradientBoosting().save(str(files / "no" / "dir.json"))


def test_binding_failures_touch_no_file(files):
    with pytest.raises(TypeError) as info:
        vandu.DecisionTree().save(str(files / "m.json"), fmt="json")
    assert str(info.value) == "DecisionTree.save() got an unexpected keyword argument: fmt"
    with pytest.raises(TypeError) as info:
        vandu.DecisionTree().save(bytes(files / "m.json"))
    assert info.value.args == ()
    assert os.listdir(files) == []


@pytest.mark.parametrize("writer, reader, field", [
    ("DecisionTree", "GradientBoosting", "est_params"),
    ("DecisionTree", "DeepGradientBoosting", "n_estimators"),
    ("GradientBoosting", "DecisionTree", "depth"),
    ("DeepGradientBoosting", "DecisionTree", "depth"),
    ("GradientBoosting", "DeepGradientBoosting", "layer_width"),
    ("DeepGradientBoosting", "GradientBoosting", "est_params"),
])
def test_json_of_another_class_names_the_missing_field(writer, reader, field, files):
    path = str(files / "m.json")
    getattr(vandu, writer)().save(path)
    text = DEFAULT_TEXTS[writer]
    second = "splitters" if writer == "DecisionTree" else "estimators"
    column = text.index('},"' + second) + 1  # the end of the "params" object
    expect_panic(lambda: getattr(vandu, reader)().load(path),
                 UNWRAP + f'Error("missing field `{field}`", line: 1, column: {column})')


@pytest.mark.parametrize("content, message", [
    (b"", 'Error("EOF while parsing a value", line: 1, column: 0)'),
    (b'{"params":{"depth":256,"min_samples_split":2},"splitters":[],"routes":[]}',
     'Error("invalid value: integer `256`, expected u8", line: 1, column: 22)'),
    (b'{"params":{"depth":3.0,"min_samples_split":2},"splitters":[],"routes":[]}',
     'Error("invalid type: floating point `3`, expected u8", line: 1, column: 22)'),
    (DEFAULT_TEXTS["DecisionTree"].encode() + b"\n x",
     'Error("trailing characters", line: 2, column: 2)'),
])
def test_bad_json_is_a_panic_and_keeps_the_state(content, message, files, xy):
    model = fitted("DecisionTree", xy)
    before = model.predict(xy[0])
    (files / "bad.json").write_bytes(content)
    expect_panic(lambda: model.load(str(files / "bad.json")), UNWRAP + message)
    assert np.array_equal(model.predict(xy[0]), before)


def test_json_reads_reordered_keys_extra_keys_and_integer_floats(files):
    text = ('{"extra":[1,{"a":null}],"routes":[],"splitters":[],'
            '"params":{"min_samples_split":2,"est_params":{"depth":3,"min_samples_split":2},"depth":3}}')
    (files / "m.json").write_text(text)
    tree = vandu.DecisionTree(depth=7)
    tree.load(str(files / "m.json"))
    tree.save(str(files / "m.json"))
    assert (files / "m.json").read_text() == DEFAULT_TEXTS["DecisionTree"]
    (files / "g.json").write_text(DEFAULT_TEXTS["GradientBoosting"].replace("0.1", "1"))
    model = vandu.GradientBoosting()
    model.load(str(files / "g.json"))
    model.save(str(files / "g.json"))
    assert '"learning_rate":1.0' in (files / "g.json").read_text()


def test_non_finite_floats_are_written_as_null_and_refused_on_load(files):
    vandu.GradientBoosting(learning_rate=float("nan")).save(str(files / "m.json"))
    assert '"learning_rate":null' in (files / "m.json").read_text()
    text = (files / "m.json").read_text()
    column = text.index("null") + 4
    expect_panic(lambda: vandu.GradientBoosting().load(str(files / "m.json")),
                 UNWRAP + f'Error("invalid type: null, expected f64", line: 1, column: {column})')
    # bincode keeps them bit for bit
    vandu.GradientBoosting(learning_rate=float("-inf")).save(str(files / "m.bin"), "bincode")
    model = vandu.GradientBoosting()
    model.load(str(files / "m.bin"), "bincode")
    model.save(str(files / "again.bin"), "bincode")
    assert (files / "again.bin").read_bytes() == (files / "m.bin").read_bytes()


def test_bincode_ignores_appended_bytes_and_refuses_short_files(files, xy):
    model = fitted("GradientBoosting", xy)
    model.save(str(files / "m.bin"), "bincode")
    data = (files / "m.bin").read_bytes()
    (files / "long.bin").write_bytes(data + b"\x07" * 9)
    other = vandu.GradientBoosting()
    other.load(str(files / "long.bin"), "bincode")
    assert np.array_equal(other.predict(xy[0]), model.predict(xy[0]))
    for cut in (0, 1, 20, len(data) // 2, len(data) - 1):
        (files / "short.bin").write_bytes(data[:cut])
        expect_panic(lambda: other.load(str(files / "short.bin"), "bincode"), EOF_BINCODE)
    assert np.array_equal(other.predict(xy[0]), model.predict(xy[0]))


def test_bincode_bad_tag_and_huge_count(files):
    header = bytes.fromhex("03" + "02" + "00" * 7)
    (files / "tag.bin").write_bytes(header + struct.pack("<Q", 1) + b"\x02")
    expect_panic(lambda: vandu.DecisionTree().load(str(files / "tag.bin"), "bincode"),
                 UNWRAP + "InvalidTagEncoding(2)")
    (files / "huge.bin").write_bytes(header + struct.pack("<Q", 2**64 - 1) + b"\x00" * 3)
    expect_panic(lambda: vandu.DecisionTree().load(str(files / "huge.bin"), "bincode"), EOF_BINCODE)
    # a JSON file read as bincode fails where its bytes do not fit
    vandu.DecisionTree().save(str(files / "m.json"))
    with pytest.raises(BaseException) as info:
        vandu.DecisionTree().load(str(files / "m.json"), "bincode")
    assert type(info.value) is panic_exception_type()


def test_new_file_gets_plain_create_permissions(files):
    old = os.umask(0o022)
    try:
        vandu.DecisionTree().save(str(files / "m.json"))
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(files / "m.json").st_mode) == 0o644


def test_write_failure_is_a_panic():
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    expect_panic(lambda: vandu.DecisionTree().save("/dev/full"),
                 UNWRAP + 'Error("No space left on device (os error 28)", line: 0, column: 0)')
    expect_panic(lambda: vandu.DecisionTree().save("/dev/full", "bincode"),
                 UNWRAP + 'Io(Os { code: 28, kind: StorageFull, message: "No space left on device" })')


@pytest.mark.skipif(hasattr(os, "geteuid") and os.geteuid() == 0, reason="permissions do not bind root")
def test_read_only_directory_is_os_error_and_keeps_the_old_file(files):
    vandu.DecisionTree().save(str(files / "m.json"))
    os.chmod(files, 0o500)
    try:
        with pytest.raises(OSError) as info:
            vandu.DecisionTree(depth=9).save(str(files / "m.json"))
        assert type(info.value) is OSError  # not PermissionError
    finally:
        os.chmod(files, 0o700)
    assert (files / "m.json").read_text() == DEFAULT_TEXTS["DecisionTree"]
    assert os.listdir(files) == ["m.json"]


def test_fifos_never_block(files):
    """A FIFO without a writer loads as an empty file; one without a reader refuses the save."""
    fifo = files / "pipe"
    os.mkfifo(fifo)
    code = (
        "import vandu\n"
        "t = vandu.DecisionTree()\n"
        "try:\n"
        "    t.load(%r)\n"
        "except BaseException as e:\n"
        "    print(type(e).__name__, e)\n"
        "try:\n"
        "    t.save(%r)\n"
        "except BaseException as e:\n"
        "    print(type(e).__name__, e)\n" % (str(fifo), str(fifo))
    )
    result = run_python(code)  # a hang fails through the subprocess timeout
    assert result.stdout.splitlines() == [
        'PanicException called `Result::unwrap()` on an `Err` value: '
        'Error("EOF while parsing a value", line: 1, column: 0)',
        "OSError No such device or address (os error 6)",
    ]
