#!/usr/bin/env bash
# Build and test the package on every CPython from 3.7 to 3.13 that pyenv has here,
# each in a fresh virtual environment.  Usage: .ci/matrix.sh [version-prefix ...]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
wanted=("$@")
[ ${#wanted[@]} -gt 0 ] || wanted=(3.7 3.8 3.9 3.10 3.11 3.12 3.13)

status=0
for minor in "${wanted[@]}"; do
  dir=$(ls -d "$root"/versions/"$minor".* 2>/dev/null | sort -V | tail -n 1 || true)
  if [ -z "$dir" ]; then
    echo "== CPython $minor: not installed here, skipped"
    continue
  fi
  venv=$(mktemp -d)/venv
  echo "== CPython $minor ($dir)"
  start=$SECONDS
  "$dir/bin/python3" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null 2>&1 || true
  if "$venv/bin/python" -m pip install -q ".[test]" && \
     (cd tests && HYPOTHESIS_PROFILE=ci "$venv/bin/python" -m pytest -q -p no:cacheprovider . ); then
    echo "-- CPython $minor passed in $((SECONDS - start)) s"
  else
    echo "-- CPython $minor FAILED"
    status=1
  fi
  rm -rf "$(dirname "$venv")"
done
exit $status
