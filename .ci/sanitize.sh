#!/usr/bin/env bash
# AddressSanitizer (with LeakSanitizer) + UndefinedBehaviorSanitizer: builds
# the package with -DTAVOX_SANITIZE=ON and runs the suite in an interpreter
# with libasan preloaded.  Any report fails the run; so does any test failure.
#
#   bash .ci/sanitize.sh                    # whole suite
#   bash .ci/sanitize.sh tests/test_x.py    # any pytest arguments
#
# The venv lives in .venv-asan and the CMake tree in build/sanitize, so
# reruns are incremental.  The run's log is kept in build/sanitize-reports/.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
venv=$root/.venv-asan
reports=$root/build/sanitize-reports
started=$SECONDS
step() { printf '\n== sanitize: %s (%ds)\n' "$*" $((SECONDS - started)); }

step "toolchain"
export CXX=${CXX:-g++}
asan=$($CXX -print-file-name=libasan.so)
if [ ! -e "$asan" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq g++ >/dev/null
    asan=$($CXX -print-file-name=libasan.so)
fi
[ -e "$asan" ] || { echo "sanitize: no libasan.so for $CXX" >&2; exit 1; }
asan=$(readlink -f "$asan")
# libstdc++ goes in with it: the interpreter does not link it, and ASan's
# __cxa_throw interceptor must find the real one at start-up, or the first
# C++ exception in a module aborts.
stdcxx=$(readlink -f "$($CXX -print-file-name=libstdc++.so)")
echo "$($CXX --version | head -1); preload $asan $stdcxx"

step "venv $venv"
if ! "$venv/bin/python" -c '' 2>/dev/null; then
    rm -rf "$venv"
    python3 -m venv "$venv"
fi
py=$venv/bin/python
$py -m pip install -qq --upgrade pip
$py -m pip install -qq scikit-build-core cmake ninja 'pytest>=7' 'hypothesis>=6' 'PyYAML>=5.1'

step "build with TAVOX_SANITIZE=ON"
CMAKE_BUILD_PARALLEL_LEVEL=2 $py -m pip install -qq --no-build-isolation --no-deps \
    -Cbuild-dir=build/sanitize -Ccmake.build-type=RelWithDebInfo \
    -Ccmake.define.TAVOX_SANITIZE=ON -Ccmake.define.TAVOX_WERROR=OFF .
site=$($py -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
shopt -s nullglob
built=("$site"/tavox/datastructures/*.so)
[ ${#built[@]} -gt 0 ] || { echo "sanitize: no extension module was installed" >&2; exit 1; }
for so in "${built[@]}"; do
    case $(nm -D --undefined-only "$so") in *__asan_init*__ubsan_handle*|*__ubsan_handle*__asan_init*) ;; *)
        echo "sanitize: $so is not instrumented" >&2; exit 1;; esac
done
echo "${#built[@]} instrumented modules"

# abort_on_error: the faulthandler then prints the Python stack of the test
# that hit a report.  allocator_may_return_null: a huge request must become
# MemoryError, not a report.  detect_leaks: at exit LeakSanitizer reports
# memory that nothing points to any more (C++ allocations, lost Python
# objects); tests/lsan-suppressions.txt is for the interpreter's own, if any.
# PYTHONMALLOC=malloc: objects come from malloc, so ASan sees their bounds.
sanitized=(LD_PRELOAD="$asan $stdcxx" PYTHONMALLOC=malloc
    ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:allocator_may_return_null=1:detect_stack_use_after_return=1"
    LSAN_OPTIONS="suppressions=$root/tests/lsan-suppressions.txt:print_suppressions=0"
    UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1")

step "self-check: a read past a Python object and a lost allocation must be reported"
probe=$(env "${sanitized[@]}" $py -c 'import ctypes; ctypes.string_at(id(object()), 1 << 16)' 2>&1 || true)
case $probe in
    *"ERROR: AddressSanitizer"*) echo "read caught" ;;
    *) echo "$probe"; echo "sanitize: ASan is not active in the interpreter" >&2; exit 1 ;;
esac
probe=$(env "${sanitized[@]}" $py -c 'import ctypes; f = ctypes.pythonapi.PyMem_Malloc
f.restype = ctypes.c_void_p
for _ in range(3): f(ctypes.c_size_t(24))' 2>&1 || true)
case $probe in
    *"ERROR: LeakSanitizer"*) echo "leak caught" ;;
    *) echo "$probe"; echo "sanitize: LeakSanitizer is not active" >&2; exit 1 ;;
esac

rm -rf "$reports"
mkdir -p "$reports"
# One pytest run under the sanitizers: $1 names its log, the rest goes to the interpreter.
# --capture=sys: reports are written to file descriptor 2, which must reach the log
# even when the process dies inside a test.
sanitized_pytest() {
    local log=$reports/$1.log rc
    shift
    set +e
    timeout --signal=INT 20m env "${sanitized[@]}" HYPOTHESIS_PROFILE=instrumented \
        $py "$@" 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    set -e
    if grep -qE 'runtime error:|ERROR: (Address|Leak)Sanitizer|Sanitizer: CHECK failed' "$log"; then
        echo "sanitize: sanitizer report(s) above (also in $log)" >&2
        exit 1
    fi
    [ $rc -eq 0 ] || { echo "sanitize: pytest exited $rc" >&2; exit $rc; }
}
pytest_options=(-m pytest -p no:cacheprovider --capture=sys)

step "suite under ASan + UBSan (the hostile kit and the allocation-failure sweep included)"
if [ $# -gt 0 ]; then
    sanitized_pytest pytest "${pytest_options[@]}" "$@"
else
    sanitized_pytest pytest "${pytest_options[@]}" tests
    step "the hostile kit and the allocation-failure sweep again, every shortcut off"
    sanitized_pytest pytest-off -X tavox-shortcuts=off "${pytest_options[@]}" tests/test_hostile.py tests/test_nomemory.py
fi
step "done: no sanitizer reports"
