#!/usr/bin/env bash
# Distribution check: `pip wheel .` gives a wheel that installs into a fresh virtual
# environment and runs the tour; `python -m build --sdist` gives a source
# distribution that builds and installs.
set -euo pipefail
cd "$(dirname "$0")/.."
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

python3 -m pip wheel -q --no-deps -w "$out/wheel" .
python3 -m venv "$out/wheel-venv"
"$out/wheel-venv/bin/pip" install -q "$out"/wheel/*.whl
(cd "$out" && "$out/wheel-venv/bin/python" "$OLDPWD/examples/tour.py" >/dev/null)
echo "wheel: $(basename "$out"/wheel/*.whl) installs and runs the tour"

python3 -m pip install -q build
python3 -m build --sdist -o "$out/sdist" . >/dev/null
python3 -m venv "$out/sdist-venv"
"$out/sdist-venv/bin/pip" install -q "$out"/sdist/*.tar.gz
(cd "$out" && "$out/sdist-venv/bin/python" "$OLDPWD/examples/tour.py" >/dev/null)
echo "sdist: $(basename "$out"/sdist/*.tar.gz) builds, installs and runs the tour"
