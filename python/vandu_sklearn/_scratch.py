"""Native models to and from their bincode bytes (the native model reads and writes files only), through one
private folder per process."""
from __future__ import annotations

import atexit
import itertools
import os
import shutil
import tempfile
import threading
import zlib
from typing import Any, Dict, Type, Union

import vandu

NativeModel = Union[vandu.DecisionTree, vandu.GradientBoosting, vandu.DeepGradientBoosting]


# One private folder per process for the conversions to and from bytes (the native model reads and
# writes files only): made when first needed, emptied after every conversion and removed at exit. A
# process killed before its exit leaves its folder; the next process to make one removes it.
_SCRATCH_PREFIX = "vandu-scratch-"
_scratch_lock = threading.Lock()
_scratch: Dict[str, Any] = {"pid": None, "path": None}
_scratch_names = itertools.count()


def scratch_tag() -> str:
    # Containers sharing a temporary directory have their own process numbers: tell hosts apart.
    return format(zlib.crc32(os.uname().nodename.encode()), "08x")


def remove_scratch() -> None:
    if _scratch["pid"] == os.getpid() and _scratch["path"]:
        shutil.rmtree(_scratch["path"], ignore_errors=True)
        _scratch["path"] = None


def _remove_orphans(directory: str, tag: str) -> None:
    try:
        names = os.listdir(directory)
    except OSError:
        return
    for name in names:
        parts = name[len(_SCRATCH_PREFIX):].split("-")
        if not name.startswith(_SCRATCH_PREFIX) or len(parts) != 3 or parts[0] != tag:
            continue
        try:
            pid = int(parts[1])
            if pid == os.getpid() or os.stat(os.path.join(directory, name)).st_uid != os.getuid():
                continue
            os.kill(pid, 0)
        except ProcessLookupError:
            shutil.rmtree(os.path.join(directory, name), ignore_errors=True)
        except (ValueError, OSError):
            continue


def _scratch_path() -> str:
    """A fresh file name in this process's private folder."""
    with _scratch_lock:
        pid = os.getpid()
        path = _scratch["path"]
        if _scratch["pid"] != pid or path is None or not os.path.isdir(path):
            # A forked child makes its own: the parent removes the one it inherits.
            tag = scratch_tag()
            directory = tempfile.gettempdir()
            _remove_orphans(directory, tag)
            path = tempfile.mkdtemp(prefix=f"{_SCRATCH_PREFIX}{tag}-{pid}-", dir=directory)
            if _scratch["pid"] is None:
                atexit.register(remove_scratch)
            _scratch["pid"], _scratch["path"] = pid, path
    return os.path.join(path, f"{threading.get_ident()}-{next(_scratch_names)}.bin")


def model_bytes(model: NativeModel) -> bytes:
    path = _scratch_path()
    try:
        model.save(path, "bincode")
        with open(path, "rb") as file:
            return file.read()
    finally:
        try:
            os.unlink(path)
        except OSError:
            pass


def model_from_bytes(native_class: Type[NativeModel], data: bytes) -> NativeModel:
    if not isinstance(data, bytes):
        raise TypeError(f"a saved {native_class.__name__} must be bytes, not {type(data).__name__}")
    model = native_class()
    path = _scratch_path()
    try:
        with open(path, "wb") as file:
            file.write(data)
        model.load(path, "bincode")
    finally:
        try:
            os.unlink(path)
        except OSError:
            pass
    return model
