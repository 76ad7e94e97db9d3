# shellcheck shell=bash
# shellcheck disable=SC2034  # the variables set here are read by the scripts sourcing this file
# Sourced by the release tools (wheels.sh, test_wheels.sh, interpreters.sh, cross_check.sh) and
# .ci/run: the platforms the release builds for, the pinned tools, compiler wrappers around zig's
# clang, and the scratch folder of a run.
#
#   kestrin_targets ARGS...      tools/targets.py ARGS...: the release's targets, as
#                                tools/targets.toml lists them (the one place they are named)
#   arch_info ARCH               sets debian_arch, triplet, zig_target, zig_cpu for ARCH
#   target_interpreter PYTHON SOURCE PATH
#                                prints the path of a target's interpreter (on the host for
#                                pyenv's, in its root otherwise); fails, saying why, when it is
#                                not here
#   kestrin_tools                makes or reuses the tools' virtual environment (kept between
#                                runs, made anew when tools/requirements/tools.lock changes);
#                                sets tools (its bin folder), zig, and zig's cache
#   kestrin_pin NAME             "NAME==VERSION" of a tool that tools.lock pins
#   interpreter_version PYTHON SOURCE PATH
#                                prints a target's interpreter's sys.version on one line: run,
#                                for pyenv's; as its root's marker recorded it, otherwise
#   zig_wrapper PATH COMMAND...  writes an executable script PATH that runs `zig COMMAND... "$@"`
#   profile_tools                installs Debian's LLVM of zig's clang when it is missing (as root);
#                                sets llvm_profdata and profile_runtime
#   debian_archive               prints the Debian archive this machine's apt uses
#   pyenv_python M.N             prints the path of pyenv's CPython M.N; fails, saying so, when
#                                pyenv has none
#   scratch_folder               sets work to a new temporary folder, removed if the script
#                                succeeds; if it fails, its background jobs are ended and the
#                                folder is kept, for its logs
#
# Every wheel is compiled by one toolchain, zig's clang with its C++ runtime linked into the
# module statically, so that a wheel needs nothing of the machine it runs on but its C library.

kestrin_cache=${XDG_CACHE_HOME:-$HOME/.cache}/kestrin
kestrin_tools_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# Every tool that the release installs, pinned with its hashes, so that a fresh machine and one
# with a warm cache build and test with the same: the tools' own (tools.lock, CPython 3.11), what
# each interpreter builds a wheel with (build.lock) and tests it with (test.lock). Each file says
# at its top how it is made again from its .in file.
kestrin_locks=$kestrin_tools_dir/requirements
# Where tools/interpreters.sh keeps its roots.
kestrin_interpreters=${KESTRIN_INTERPRETERS:-/var/cache/kestrin-interpreters}
# The LLVM that zig's clang is built from (`zig cc --version`): the x86-64 wheels are compiled
# with a profile of the module at work, which only that version's llvm-profdata merges and only
# its profile runtime records. Debian packages it as llvm-N and libclang-rt-N-dev.
kestrin_llvm=22

# The archive that the roots and Debian's source tarballs come from: the one that serves this
# machine's own release (its codename among a source's suites), as its apt sources name it, in
# the one-line or the deb822 form. Fails when there is none.
debian_archive() {
  local codename uri
  # shellcheck source=/dev/null  # the machine's own file
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$codename" ] || { echo "debian_archive: /etc/os-release names no codename" >&2; return 1; }
  local files=() file
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    if [ -f "$file" ]; then files+=("$file"); fi
  done
  [ ${#files[@]} -gt 0 ] || { echo "debian_archive: no apt sources" >&2; return 1; }
  uri=$(awk -v codename="$codename" '
      function found(uri) { if (!done) print uri; done = 1 }
      $1 == "deb" { n = 2; if ($n ~ /^\[/) while ($n !~ /\]$/) n++; if ($n ~ /^\[/ || $n ~ /\]$/) n++
                    if ($(n + 1) == codename) found($n) }
      /^URIs:/ { uri = $2 }
      /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == codename) suite = 1 }
      /^[[:space:]]*$/ { if (uri != "" && suite) found(uri); uri = ""; suite = 0 }
      END { if (uri != "" && suite) found(uri) }' "${files[@]}")
  [ -n "$uri" ] || { echo "debian_archive: no apt source serves $codename" >&2; return 1; }
  echo "${uri%/}"
}

# The table is read by pyenv's CPython 3.11 (the tools' own), or by the machine's python3 where
# pyenv has none; targets.py says so when that one has no tomllib.
kestrin_targets() {
  local python
  python=$(pyenv_python 3.11 2>/dev/null) || python=python3
  "$python" "$kestrin_tools_dir/targets.py" "$@"
}

arch_info() {
  local facts
  facts=$(kestrin_targets arch "$1") || return 1
  read -r debian_arch triplet zig_target zig_cpu <<<"$facts"
  [ "$zig_cpu" != - ] || zig_cpu=
}

target_interpreter() {
  local python=$1 source=$2 path=$3 root=$kestrin_interpreters/$2 why
  if [ "$source" = pyenv ]; then
    pyenv_python "$python"
    return
  fi
  if [ ! -f "$root/.kestrin-packages" ]; then
    why="no root $source in $kestrin_interpreters (tools/interpreters.sh ensure makes it)"
    # What the archive answered when the root was last tried.
    if [ -f "$kestrin_interpreters/$source.log" ] && grep -q '^E:' "$kestrin_interpreters/$source.log"; then
      why="$why; its last try: $(grep -m 1 '^E:' "$kestrin_interpreters/$source.log")"
    fi
    echo "$why" >&2
    return 1
  fi
  # Links in a root may be absolute, meant for inside it.
  if [ ! -e "$root$path" ] && [ ! -L "$root$path" ]; then
    echo "no $path in the root $source" >&2
    return 1
  fi
  echo "$path"
}

kestrin_tools() {
  local venv=$kestrin_cache/tools lock=$kestrin_locks/tools.lock python wanted
  python=${PYTHON:-$(pyenv_python 3.11 2>/dev/null || echo python3)}
  wanted="$(sha256sum <"$lock") $("$python" -V 2>&1)"
  if [ "$(cat "$venv/.requirements" 2>/dev/null)" != "$wanted" ]; then
    # Made where it stays (its scripts name their interpreter by its path); the lock's hash is
    # written last, so an install cut short is made again by the next run.
    rm -rf "$venv"
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --require-hashes -r "$lock"
    echo "$wanted" >"$venv/.requirements"
  fi
  tools=$venv/bin
  zig=$("$tools/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
  # zig's cache of compiled C and C++ runtimes, one per target, kept between runs.
  export ZIG_GLOBAL_CACHE_DIR=$kestrin_cache/zig
  mkdir -p "$ZIG_GLOBAL_CACHE_DIR"
}

# "NAME==VERSION" of a tool that tools.lock pins (tools/locked.py reads it; any Python 3 does).
kestrin_pin() {
  python3 "$kestrin_tools_dir/locked.py" pin "$kestrin_locks/tools.lock" "$1"
}

interpreter_version() {
  local python=$1 source=$2 path=$3 marker found
  if [ "$source" = pyenv ]; then
    "$path" -c 'import sys; print(" ".join(sys.version.split()))'
    return
  fi
  marker=$kestrin_interpreters/$source/.kestrin-packages
  # The marker's first line is what the root was made of; each line after it "PYTHON VERSION".
  found=$(tail -n +2 "$marker" 2>/dev/null | awk -v p="$python" '$1 == p { $1 = ""; print substr($0, 2); exit }')
  if [ -z "$found" ]; then
    echo "the root $source has no version of $python recorded (tools/interpreters.sh ensure records it)" >&2
    return 1
  fi
  echo "$found"
}

zig_wrapper() {
  local path=$1
  shift
  mkdir -p "$(dirname "$path")"
  {
    echo '#!/bin/sh'
    printf 'export ZIG_GLOBAL_CACHE_DIR=%q\n' "$ZIG_GLOBAL_CACHE_DIR"
    printf 'exec %q' "$zig"
    printf ' %q' "$@"
    printf ' "$@"\n'
  } >"$path"
  chmod +x "$path"
}

profile_tools() {
  local bin=/usr/lib/llvm-$kestrin_llvm/bin
  local runtime=/usr/lib/llvm-$kestrin_llvm/lib/clang/$kestrin_llvm/lib/linux/libclang_rt.profile-x86_64.a
  if [ ! -x "$bin/llvm-profdata" ] || [ ! -f "$runtime" ]; then
    [ "$(id -u)" -eq 0 ] ||
      { echo "profile_tools: needs llvm-$kestrin_llvm and libclang-rt-$kestrin_llvm-dev installed, or root" >&2; return 1; }
    apt-get install -y -q "llvm-$kestrin_llvm" "libclang-rt-$kestrin_llvm-dev" >/dev/null ||
      { apt-get update -q >/dev/null && apt-get install -y -q "llvm-$kestrin_llvm" "libclang-rt-$kestrin_llvm-dev" >/dev/null; }
  fi
  # A newer zig would write profiles that this llvm-profdata misreads, or that its clang refuses.
  if ! "$zig" cc --version | grep -q "clang version $kestrin_llvm\."; then
    echo "profile_tools: zig's clang is not LLVM $kestrin_llvm: $("$zig" cc --version | head -n 1)" >&2
    return 1
  fi
  llvm_profdata=$bin/llvm-profdata
  profile_runtime=$runtime
}

pyenv_python() {
  local prefix
  # `pyenv prefix` fails for a version it lacks: tested here, not left to abort the caller.
  if ! prefix=$(pyenv prefix "$1" 2>/dev/null) || [ ! -x "${prefix%%$'\n'*}/bin/python$1" ]; then
    echo "no CPython $1 from pyenv here" >&2
    return 1
  fi
  echo "${prefix%%$'\n'*}/bin/python$1"
}

scratch_folder() {
  work=$(mktemp -d)
  trap 'scratch_exit $?' EXIT
  # Stopped by a signal, bash would run the EXIT trap with the last command's status, a success.
  trap 'exit 129' HUP
  trap 'exit 130' INT
  trap 'exit 143' TERM
}

# The background jobs are started with job control on (set -m) by those that have any, each in a
# process group of its own: ending the group ends what the job started too (pip, pytest, an
# interpreter in a root), which would otherwise run on after the script.
scratch_exit() {
  local status=$1 pid
  trap - EXIT
  set +m  # no notice of each job ended here
  for pid in $(jobs -p); do
    kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null || true
  done
  wait
  if [ "$status" -eq 0 ]; then
    rm -rf "$work"
  else
    echo "failed (exit status $status): the logs and whatever else the run made are kept in $work" >&2
  fi
  exit "$status"
}
