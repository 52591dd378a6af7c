#!/usr/bin/env bash
# Reference-leak hunt: builds the package for Debian's debug interpreter
# (python3.11-dbg, which has sys.gettotalrefcount) and runs the suite with
# --refleak (tests/refleak.py): every test runs 3 times to warm up and 3 times
# measured, and a test whose reference count or allocated blocks grow in every
# measured run fails.
#
#   bash .ci/refleak.sh                    # whole suite
#   bash .ci/refleak.sh tests/test_x.py    # any pytest arguments
#
# Installs what it needs (apt, as root) on first use; the venv lives in
# .venv-dbg and the CMake tree in build/refleak, so reruns are incremental.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
venv=$root/.venv-dbg
dbg=python3.11-dbg
started=$SECONDS
step() { printf '\n== refleak: %s (%ds)\n' "$*" $((SECONDS - started)); }

step "debug interpreter"
if ! command -v $dbg >/dev/null || [ ! -e /usr/include/python3.11d/Python.h ] \
        || ! $dbg -c 'import ensurepip' 2>/dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq python3.11-dbg python3.11-venv libpython3.11-dev >/dev/null
fi
$dbg -c 'import sys; print(sys.version, "totalrefcount", sys.gettotalrefcount())'

step "venv $venv"
if ! "$venv/bin/python" -c 'import sys; sys.gettotalrefcount' 2>/dev/null; then
    rm -rf "$venv"
    $dbg -m venv "$venv"
fi
py=$venv/bin/python
export PYTHONWARNINGS=ignore     # pip under a debug build warns about its own unclosed files
$py -m pip install -qq --upgrade pip    # Debian's venv pip predates -C
$py -m pip install -qq scikit-build-core cmake ninja 'pytest>=7' 'hypothesis>=6' 'PyYAML>=5.1'
unset PYTHONWARNINGS

step "build against $($py -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
# Debug build: assertions on, quick to compile; two jobs at most.  Debian's
# python3.11d/Python.h is a symlink into python3.11/, and GCC resolves system
# header paths, which would pick the release pyconfig.h (no Py_DEBUG): keep
# the path as given.
CMAKE_BUILD_PARALLEL_LEVEL=2 PYTHONWARNINGS=ignore $py -m pip install -qq --no-build-isolation --no-deps \
    -Cbuild-dir=build/refleak -Ccmake.build-type=Debug -Ccmake.define.TAVOX_WERROR=OFF \
    -Ccmake.define.CMAKE_CXX_FLAGS=-fno-canonical-system-headers .
site=$($py -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
suffix=$($py -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
shopt -s nullglob
built=("$site"/tavox/datastructures/*.so)
[ ${#built[@]} -gt 0 ] || { echo "refleak: no extension module was installed" >&2; exit 1; }
for so in "${built[@]}"; do
    # Built for this interpreter (d ABI) and with Py_REF_DEBUG, or its
    # reference counting would be invisible to the hunt.
    case $so in *"$suffix") ;; *) echo "refleak: $so is not a $suffix module" >&2; exit 1;; esac
    case $(nm -D --undefined-only "$so") in *_Py_RefTotal*) ;; *) false;; esac \
        || { echo "refleak: $so was not compiled with the debug headers" >&2; exit 1; }
done
echo "${#built[@]} modules: $(cd "$site/tavox/datastructures" && ls ./*.so | xargs -n1 basename | cut -d. -f1 | tr '\n' ' ')"

step "self-check: the hunt must catch a planted leak and pass clean code"
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
cat > "$probe/test_probe.py" <<'EOF'
import ctypes, re, typing, warnings
import pytest
from hypothesis import given, strategies as st

KEPT = []

def test_planted_list_leak():
    KEPT.append(object())

def test_planted_incref_leak():
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(object()))

def test_planted_memory_leak():
    ctypes.pythonapi.PyMem_Malloc.restype = ctypes.c_void_p
    ctypes.pythonapi.PyMem_Malloc(ctypes.c_size_t(24))

def test_clean(tmp_path):
    re.compile("x" * 3)
    typing.List[int]
    print("output")
    warnings.warn("noise")
    with pytest.raises(KeyError):
        {}["missing"]
    (tmp_path / "f").write_text("x")

@given(st.lists(st.tuples(st.integers(), st.text(max_size=3)), max_size=5))
def test_clean_hypothesis(xs):
    assert len(dict(xs)) <= len(xs)
EOF
printf '[pytest]\n' > "$probe/pytest.ini"
set +e
(cd "$probe" && PYTHONPATH=$root/tests $py -m pytest -p refleak --refleak -q -p no:cacheprovider test_probe.py) > "$probe/out" 2>&1
rc=$?
set -e
if [ $rc -ne 1 ] || ! grep -q 'LEAK test_probe.py::test_planted_list_leak' "$probe/out" \
        || ! grep -q 'LEAK test_probe.py::test_planted_incref_leak' "$probe/out" \
        || ! grep -q 'LEAK test_probe.py::test_planted_memory_leak: leaked memory blocks' "$probe/out" \
        || ! grep -q '3 failed, 2 passed' "$probe/out"; then
    cat "$probe/out"
    echo "refleak: the hunt itself is broken (exit $rc)" >&2
    exit 1
fi
echo "planted leaks caught, clean tests passed"

step "hunt"
[ $# -gt 0 ] || set -- tests
# A hung test dumps every thread's stack after 10 minutes.
HYPOTHESIS_PROFILE=instrumented timeout --signal=INT 25m $py -m pytest --refleak -p no:cacheprovider -o faulthandler_timeout=600 "$@"
step "done"
