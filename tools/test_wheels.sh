#!/usr/bin/env bash
# Tests every wheel in OUTDIR (as tools/wheels.sh made them) on its own platform: each is
# installed with its test extra into a fresh virtual environment of its own interpreter (pyenv's
# CPython, or one of the roots of tools/interpreters.sh, other architectures under emulation),
# and the suite and the docs' examples run from a copy of them, so that `import _kestrin` can
# only find the installed wheel. Two wheels are tested at a time.
#
#   bash tools/test_wheels.sh [--full] OUTDIR
#
# Each wheel must be one of a target of tools/targets.toml, and every required target must have
# its wheel there, and its interpreter here: otherwise the run fails before any test starts,
# saying why. An optional target without a wheel is listed as missing at the end. By default
# (what CI runs) each wheel runs what its target's `tests` says: the whole suite, or the
# byte-level tables (parsing, rendering, the signature, the differential test against the
# reference model) and the docs' examples. --full runs the whole suite everywhere, as before a
# release (a few hours). Any failure fails the run; then the tests still running are ended, and
# the logs are kept (the run says where).
#
# The test tools are tools/requirements/test.lock's, fetched here for each interpreter version
# and installed from that folder alone, with their hashes checked. When OUTDIR holds the
# MANIFEST.json that wheels.sh wrote, each wheel's interpreter must be the one it names.
set -euo pipefail
full=0
[ "${1:-}" = --full ] && { full=1; shift; }
[ $# -eq 1 ] || { echo "usage: bash tools/test_wheels.sh [--full] OUTDIR" >&2; exit 2; }
out=$(cd "$1" && pwd)
cd "$(dirname "$0")/.."
# shellcheck source=SCRIPTDIR/toolchain.sh
source tools/toolchain.sh
scratch_folder
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
tables=(tests/test_sequents.py tests/test_rendering.py tests/test_signature.py tests/test_differential.py
        tests/test_recorded_outcomes.py tests/test_docs.py)

# Runs the suite or the tables for one wheel; its output goes to a log of its own.
# `test_one WHEEL VERSION PLATFORM SOURCE PYTHON SCOPE EXPECTED`: SOURCE as the table says, PYTHON
# the interpreter's path (in its root, for any but pyenv's), EXPECTED its sys.version as the
# manifest records it (empty without one).
test_one() {
  local wheel=$1 version=$2 platform=$3 id=$2-${3##*_}${3%%_*} run=() py=$5 root="" scope=$6 expected=$7
  local suite=$work/suite-$id venv=$work/venv-$id
  if [ "$4" != pyenv ]; then
    root=$4
    run=(bash tools/interpreters.sh run --root "$root" --bind "$work" --bind "$out" --)
  fi
  [ $full -eq 0 ] || scope=whole
  mkdir "$suite"
  cp -r tests examples docs README.md "$suite/"
  # Interpreters in a root start in its top folder: this runs a module from the suite's folder.
  cat >"$suite/in_suite.py" <<'EOF'
import os, runpy, sys
os.chdir(os.path.dirname(os.path.abspath(__file__)))
sys.argv = sys.argv[1:]
runpy.run_module(sys.argv[0], run_name="__main__", alter_sys=True)
EOF
  echo "testing $(basename "$wheel") with CPython $version${root:+ in $root}: $scope"
  "${run[@]}" "$py" -m venv "$venv"
  local said
  said=$("${run[@]}" "$venv/bin/python" -c 'import sys; print(" ".join(sys.version.split()))')
  echo "interpreter: $said"
  if [ -n "$expected" ] && [ "$said" != "$expected" ]; then
    echo "MANIFEST.json says this wheel is tested on $expected"
    return 1
  fi
  # The test tools, from the folder of the lock's wheels alone: the same whatever the index
  # serves today, and within reach of the roots that reach no index (those of other
  # architectures have no certificates, the musl CPython no _ssl). The test extra then finds
  # everything it asks for installed; anything the lock lacks fails here.
  local house=$work/wheelhouse/${version%t}
  "${run[@]}" "$venv/bin/python" -m pip install -q --no-index --find-links "$house" --require-hashes -r "$house.txt"
  "${run[@]}" "$venv/bin/python" -m pip install -q --no-index "${wheel}[test]"
  "${run[@]}" "$venv/bin/python" -c '
import sys, sysconfig, _kestrin
site = sysconfig.get_paths()["platlib"]
print("testing", _kestrin.__file__)
assert _kestrin.__file__.startswith(site + "/"), (_kestrin.__file__, site)
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    # Importing the module keeps the GIL off.
    print("free-threaded: sys._is_gil_enabled() after the import:", sys._is_gil_enabled())
    assert not sys._is_gil_enabled()
'
  if [[ $version == *t ]]; then
    # ... and says nothing.
    said=$("${run[@]}" "$venv/bin/python" -c 'import _kestrin' 2>&1)
    [ -z "$said" ] || { echo "importing on a free-threaded interpreter said: $said"; return 1; }
  fi
  local selection=(tests)
  [ "$scope" = tables ] && selection=("${tables[@]}")
  # The docs' examples run as part of the suite (tests/test_docs.py).
  "${run[@]}" "$venv/bin/python" "$suite/in_suite.py" pytest -q -p no:cacheprovider "${selection[@]}"
}

wheels=("$out"/*.whl)
[ -f "${wheels[0]}" ] || { echo "no wheels in $out"; exit 1; }
targets=$(kestrin_targets list)

# Each wheel's interpreter version and platform, from its name, before any test starts: a name
# of no target stops the run here, with nothing left running.
versions=() platforms=()
for wheel in "${wheels[@]}"; do
  IFS=- read -r _ _ python abi tags <<<"$(basename "$wheel" .whl)"
  version=${python#[cp][py]}  # cp311 or pp39
  version=${python:0:2}${version:0:1}.${version:1}
  version=${version#cp}
  [[ $abi == *t ]] && version=${version}t
  platform=""
  for tag in ${tags//./ }; do
    if awk -v v="$version" -v p="$tag" '$1 == v && $2 == p { found = 1 } END { exit !found }' <<<"$targets"; then
      platform=$tag
    fi
  done
  if [ -z "$platform" ]; then
    echo "$(basename "$wheel"): the wheel of no target of tools/targets.toml, so no platform here to test it on"
    exit 1
  fi
  versions+=("$version") platforms+=("$platform")
done

# Each target's wheel, and its interpreter here; a required target without either stops the run
# here too. sources, pythons and scopes follow wheels.
sources=() pythons=() scopes=() missing=() missing_optional=()
while read -r python platform source path tests need; do
  wheel=""
  for i in "${!wheels[@]}"; do
    if [ "${versions[$i]} ${platforms[$i]}" = "$python $platform" ]; then
      [ -z "$wheel" ] || missing+=("$python $platform: two wheels, $(basename "${wheels[$wheel]}") and $(basename "${wheels[$i]}")")
      wheel=$i
    fi
  done
  if [ -z "$wheel" ]; then
    if [ "$need" = required ]; then missing+=("$python $platform: no wheel in $out"); else missing_optional+=("$python $platform"); fi
    continue
  fi
  if ! found=$(target_interpreter "$python" "$source" "$path" 2>"$work/why"); then
    missing+=("$python $platform ($source): $(cat "$work/why")")
    continue
  fi
  sources[wheel]=$source pythons[wheel]=$found scopes[wheel]=$tests
done <<<"$targets"
if [ ${#missing[@]} -gt 0 ]; then
  echo "targets that cannot be tested here:"
  printf '  %s\n' "${missing[@]}"
  exit 1
fi

# pip download, its warnings about a configured location that does not exist left out; a failed
# download fails the run, with pip's output.
download() {
  local log=$work/download.log
  if ! "$tools/python" -m pip download -q --only-binary :all: --implementation py --abi none "$@" >"$log" 2>&1; then
    cat "$log"
    echo "pip download failed: $*"
    exit 1
  fi
  grep -v "^WARNING: Location" "$log" || true
}

# The test tools, as wheels that any interpreter installs: pure Python, per version (PyPy's by
# the Python version it implements), the lock's pins for that version (tools/locked.py picks
# them, as pip would read their conditions for its own version) with their hashes.
kestrin_tools
mkdir "$work/wheelhouse"
while read -r version; do
  "$tools/python" tools/locked.py select "$kestrin_locks/test.lock" "$version" >"$work/wheelhouse/$version.txt"
  download --platform any --python-version "${version#pp}" -d "$work/wheelhouse/$version" \
    --no-deps --require-hashes -r "$work/wheelhouse/$version.txt"
done < <(for i in "${!wheels[@]}"; do echo "${versions[$i]%t}"; done | sort -u)

# What the manifest says each wheel is tested on, by its file's name.
declare -A expected=()
if [ -f "$out/MANIFEST.json" ]; then
  while IFS=$'\t' read -r name python; do
    expected[$name]=$python
  done < <("$tools/python" -c '
import json, sys
for wheel in json.load(open(sys.argv[1]))["wheels"]:
    print(wheel["file"], wheel["tested_on"]["python"], sep="\t")' "$out/MANIFEST.json")
fi

# Job control puts each test in a process group of its own, which a failure of this script
# ends whole (see scratch_exit in toolchain.sh). It also leaves a job this script's input,
# where without it a job reads /dev/null: each is given /dev/null again.
set -m
started=$SECONDS
# The longest first, so that neither core waits at the end for one long test: PyPy's whole suite,
# then what runs under emulation (the whole suite before the tables), then the rest.
order=()
for rank in 0 1 2 3; do
  for i in "${!wheels[@]}"; do
    arch=${sources[$i]#musl-}
    arch=${arch%%-*}
    case ${versions[$i]}/$arch/${scopes[$i]} in
      pp*) r=0 ;;
      */x86_64/* | */i686/* | */pyenv/*) r=3 ;;
      */whole) r=1 ;;
      *) r=2 ;;
    esac
    [ $r -ne $rank ] || order+=("$i")
  done
done
pending=() logs=() names=() failed=0
for i in "${order[@]}"; do
  wheel=${wheels[$i]} version=${versions[$i]} platform=${platforms[$i]}
  name=$(basename "$wheel" .whl)
  log=$work/$name.log
  # A job of its own, which the first failing step ends (errexit holds in it: the function is
  # called as a plain command).
  (
    begun=$SECONDS
    trap '[ $? -eq 0 ] || echo "FAILED after $((SECONDS - begun)) s" >>"$log"' EXIT
    test_one "$wheel" "$version" "$platform" "${sources[$i]}" "${pythons[$i]}" "${scopes[$i]}" \
      "${expected[$(basename "$wheel")]:-}" >"$log" 2>&1
    echo "passed in $((SECONDS - begun)) s" >>"$log"
  ) </dev/null &
  pending+=($!) logs+=("$log") names+=("$name")
  # Two at a time: the machine's two cores.
  while [ "$(jobs -rp | wc -l)" -ge 2 ]; do wait -n || true; done
done
for i in "${!pending[@]}"; do
  status=0
  wait "${pending[$i]}" || status=$?
  printf '\n=== %s (done at %d s) ===\n' "${names[$i]}" $((SECONDS - started))
  if [ $status -ne 0 ]; then
    failed=$((failed + 1))
    cat "${logs[$i]}"
  else
    grep -E '^testing |^interpreter: |^free-threaded|passed|failed|skipped' "${logs[$i]}" | grep -v '^testing /' || true
  fi
done
echo
echo "wheels tested: ${#pending[@]}, failed: $failed, in $((SECONDS - started)) s"
if [ ${#missing_optional[@]} -gt 0 ]; then
  echo "optional targets without a wheel:"
  printf '  %s\n' "${missing_optional[@]}"
fi
[ $failed -eq 0 ]
