#!/usr/bin/env bash
# Test every release wheel as shipped: for each CPython from 3.7 to 3.13 that pyenv has
# here, install that interpreter's own wheel from dist/ (with the test extra) into a
# fresh virtual environment and run the whole test suite against it.
#
#   bash .ci/matrix.sh [version-prefix ...]       e.g. bash .ci/matrix.sh 3.8 3.12
#
# The wheels come from .ci/dist.sh.  When dist/ lacks the wheel of a version asked for,
# or a source file is newer than the oldest wheel there, this runs .ci/dist.sh first.
# The tests run from tests/, where only the installed package is importable (the
# source tree's python/ holds no compiled modules and is not on the path); each venv
# checks that before its run.
#
# On 3.13, tests/test_hostile.py and tests/test_nomemory.py run a second time under
# `python -X tavox-shortcuts=off`, the modules with their shortcuts switched off.
#
# Under CI=true (as .ci/run sets it) a version that is not installed fails the run;
# elsewhere it is skipped with a note.  A version whose install or tests fail does not
# stop the others: the script goes on and fails at the end, naming every failure.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
repo=$PWD
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
wanted=("$@")
[ ${#wanted[@]} -gt 0 ] || wanted=(3.7 3.8 3.9 3.10 3.11 3.12 3.13)
shortcuts_off=3.13
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
started=$SECONDS

# The newest pyenv CPython $1.x here, or nothing.
interpreter_of() {
    ls -d "$root"/versions/"$1".* 2>/dev/null | sort -V | tail -n 1 || true
}

# The wheel of CPython $1 (3.7 -> cp37) in dist/, or nothing.
wheel_of() {
    local tag=cp${1/./}
    ls dist/tavox_datastructures-*-"$tag"-"$tag"*-manylinux*.whl 2>/dev/null || true
}

rebuild=
for minor in "${wanted[@]}"; do
    if [ -n "$(interpreter_of "$minor")" ] && [ "$(wheel_of "$minor" | wc -l)" -ne 1 ]; then
        rebuild="dist/ has no single wheel for CPython $minor"
        break
    fi
done
if [ -z "$rebuild" ] && oldest=$(ls -tr dist/tavox_datastructures-*.whl 2>/dev/null | head -n 1) \
        && [ -n "$oldest" ]; then
    newer=$(find common datastructures python CMakeLists.txt pyproject.toml -type f -newer "$oldest" -print -quit)
    [ -z "$newer" ] || rebuild="$newer is newer than $oldest"
fi
if [ -n "$rebuild" ]; then
    echo "== $rebuild: building the wheels first (.ci/dist.sh)"
    bash .ci/dist.sh
fi

# One version, from the venv to the last test; any failing command ends it (errexit
# holds here because the caller runs it as a plain command, not as a condition).
install_and_test() {
    local python=$1 minor=$2 wheel=$3 venv=$scratch/venv-$2
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
    "$venv/bin/python" -m pip install -q "$repo/$wheel[test]"
    cd "$repo/tests"
    "$venv/bin/python" - "$venv" <<'EOF'
import os, sys
import tavox.datastructures.dotbag as dotbag
where = os.path.realpath(dotbag.__file__)
if not where.startswith(os.path.realpath(sys.argv[1]) + os.sep):
    sys.exit("matrix: the tests would import %s, not the installed wheel" % where)
print("testing", where)
EOF
    HYPOTHESIS_PROFILE=ci "$venv/bin/python" -m pytest -q -p no:cacheprovider .
    if [ "$minor" = "$shortcuts_off" ]; then
        echo "-- CPython $minor: hostile code and allocation failures again, -X tavox-shortcuts=off"
        HYPOTHESIS_PROFILE=ci "$venv/bin/python" -X tavox-shortcuts=off -m pytest -q -p no:cacheprovider \
            test_hostile.py test_nomemory.py
    fi
}

failed=()
for minor in "${wanted[@]}"; do
    dir=$(interpreter_of "$minor")
    if [ -z "$dir" ]; then
        if [ "${CI:-}" = true ]; then
            echo "== CPython $minor: not installed here, and CI needs every version: FAILED"
            failed+=("$minor (not installed)")
        else
            echo "== CPython $minor: not installed here, skipped (CI=true makes this a failure)"
        fi
        continue
    fi
    wheel=$(wheel_of "$minor")
    echo "== CPython $minor ($dir): $wheel"
    start=$SECONDS
    set +e
    (set -e; install_and_test "$dir/bin/python3" "$minor" "$wheel")
    rc=$?
    set -e
    rm -rf "${scratch:?}/venv-$minor"
    if [ $rc -eq 0 ]; then
        echo "-- CPython $minor passed in $((SECONDS - start)) s"
    else
        echo "-- CPython $minor FAILED (exit $rc)"
        failed+=("$minor")
    fi
done
echo "matrix: $((SECONDS - started)) s"
if [ ${#failed[@]} -gt 0 ]; then
    echo "matrix: failed: ${failed[*]}" >&2
    exit 1
fi
