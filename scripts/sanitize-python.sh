#!/bin/sh
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer, installs it into a venv of
# its own and runs the whole Python suite against it with the sanitizer runtime preloaded and leak
# detection on (scripts/lsan-python.supp names the interpreter's and NumPy's own allocations).
# Usage: scripts/sanitize-python.sh [python, default python3] [venv dir, default .venv-sanitize]
# Environment: VANDU_FUZZ_EXAMPLES (Hypothesis examples per fuzz test, default 150 here),
# CXX (the compiler whose runtime is preloaded, default c++).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
python=${1:-python3}
venv=${2:-"$root/.venv-sanitize"}
cxx=${CXX:-c++}

rm -rf "$venv"
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q numpy pytest hypothesis
"$venv/bin/python" -m pip install -q "$root" -C cmake.build-type=RelWithDebInfo \
  -C cmake.define.VANDU_SANITIZE=address,undefined -C cmake.define.CMAKE_CXX_COMPILER="$cxx" \
  -C build-dir="$root/build-sanitize-python"

# The interpreter is not instrumented: the runtime must come first, with the C++ library whose
# exception entry points it wraps. Python objects go through malloc, so that the sanitizer sees them.
LD_PRELOAD="$("$cxx" -print-file-name=libasan.so) $("$cxx" -print-file-name=libstdc++.so)"
PYTHONMALLOC=malloc
# Full stacks at every allocation: the interpreter has no frame pointers, and a leak's stack must
# reach the frames the suppressions name.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:allocator_may_return_null=1:fast_unwind_on_malloc=0:malloc_context_size=16
LSAN_OPTIONS=suppressions=$root/scripts/lsan-python.supp:print_suppressions=0
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
VANDU_FUZZ_EXAMPLES=${VANDU_FUZZ_EXAMPLES:-150}
export LD_PRELOAD PYTHONMALLOC ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS VANDU_FUZZ_EXAMPLES
cd "$root"
exec "$venv/bin/python" -m pytest -p no:cacheprovider -q tests/python
