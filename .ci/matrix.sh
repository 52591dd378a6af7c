#!/usr/bin/env bash
# Build and test the package on every CPython from 3.7 to 3.13 that pyenv has here,
# each in a fresh virtual environment.  Usage: .ci/matrix.sh [version-prefix ...]
#
# Under CI=true (as .ci/run sets it) a version that is not installed fails the run;
# elsewhere it is skipped with a note.  A version whose build or tests fail does not
# stop the others: the script goes on and fails at the end, naming every failure.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
wanted=("$@")
[ ${#wanted[@]} -gt 0 ] || wanted=(3.7 3.8 3.9 3.10 3.11 3.12 3.13)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# One version, from the venv to the last test; any failing command ends it (errexit
# holds here because the caller runs it as a plain command, not as a condition).
build_and_test() {
    local python=$1 venv=$scratch/venv-$2
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
    "$venv/bin/python" -m pip install -q ".[test]"
    cd tests
    HYPOTHESIS_PROFILE=ci "$venv/bin/python" -m pytest -q -p no:cacheprovider .
}

failed=()
for minor in "${wanted[@]}"; do
    dir=$(ls -d "$root"/versions/"$minor".* 2>/dev/null | sort -V | tail -n 1 || true)
    if [ -z "$dir" ]; then
        if [ "${CI:-}" = true ]; then
            echo "== CPython $minor: not installed here, and CI needs every version: FAILED"
            failed+=("$minor (not installed)")
        else
            echo "== CPython $minor: not installed here, skipped (CI=true makes this a failure)"
        fi
        continue
    fi
    echo "== CPython $minor ($dir)"
    start=$SECONDS
    set +e
    (set -e; build_and_test "$dir/bin/python3" "$minor")
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
if [ ${#failed[@]} -gt 0 ]; then
    echo "matrix: failed: ${failed[*]}" >&2
    exit 1
fi
