#!/usr/bin/env bash
# The interpreters that pyenv does not have here, each in a root of its own outside the checkout,
# made once and reused by every later run; the host's own package sources are left alone. Which
# roots, and which interpreters in each, is the table of targets' (tools/targets.toml) to say:
#
#   x86_64-sid     CPython from Debian's unstable suite, and free-threaded builds (3.Xt)
#                  compiled from Debian's source packages: a full Debian root made with debootstrap
#   ARCH-SUITE     Debian's CPython of SUITE for another architecture, each root the
#                  interpreters' packages alone, unpacked with mmdebstrap; run under qemu's
#                  user-mode emulation (i686 natively)
#   musl-ARCH      CPython on musl: Debian's sources of CPython, zlib and libffi compiled with
#                  zig's clang, beside Debian's musl loader
#   pypy-x86_64    Debian bookworm's PyPy, unpacked as ARCH-SUITE is, with a shell, the core
#                  utilities and the C++ runtime for the build tools that run in it
#
#   bash tools/interpreters.sh ensure             make the roots, or bring them up to date
#   bash tools/interpreters.sh list               "VERSION PLATFORM ROOT PATH" per target whose
#                                                 interpreter is here
#   bash tools/interpreters.sh dir ROOT           the folder of ROOT
#   bash tools/interpreters.sh tsan               also a 3.13t built with ThreadSanitizer in
#                                                 x86_64-sid (tools/tsan.sh uses it); prints its path
#   bash tools/interpreters.sh run [--root ROOT] [--bind DIR]... -- COMMAND...
#                                                 run COMMAND in ROOT (default x86_64-sid), with
#                                                 each DIR (an absolute path) at the same path
#
# Needs root (debootstrap, mmdebstrap, chroot, mount, binfmt_misc). KESTRIN_INTERPRETERS sets the
# folder (default /var/cache/kestrin-interpreters). The first `ensure` takes about a quarter of an
# hour and 5 GB; a root that the archive cannot serve (a suite lacking packages for an
# architecture) is reported and left out, and `list` shows what there is (tools/wheels.sh fails
# when a required target's is missing).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=SCRIPTDIR/toolchain.sh
source "$here/toolchain.sh"
base=$kestrin_interpreters
native=$base/x86_64-sid
mirror=$(debian_archive)
packages=(ca-certificates build-essential xz-utils dpkg-dev cmake ninja-build valgrind libtsan2 libssl-dev zlib1g-dev libffi-dev
          libbz2-dev liblzma-dev libsqlite3-dev libmpdec-dev)
# The CPython of the sources below, and the Python that bookworm's PyPy implements: what the
# table may ask of musl-ARCH and pypy-x86_64.
musl_python=3.11
pypy_python=pp3.9
pypy_packages=(pypy3 pypy3-dev pypy3-venv dash coreutils libstdc++6)
# Debian's own source tarballs of what the musl CPython is built from, by their checksums.
musl_sources=(
  "p/python3.11/python3.11_3.11.2.orig.tar.gz 2411c74bda5bbcfcddaf4531f66d1adc73f247f529aee981b029513aefdbf849"
  "z/zlib/zlib_1.2.13.dfsg.orig.tar.bz2 71feb7947e3c00ef125f83b79a4e529bde31171e5babe48b391f06758d1ab0a1"
  "libf/libffi/libffi_3.4.4.orig.tar.gz d66c56ad259a82cf2a9dfc408b32bf5da52371500b84745f7fb8b645712df676"
)
# The archive's Release files can be older than their Valid-Until date.
no_valid_until='Acquire::Check-Valid-Until "false";'

say() { printf '[interpreters] %s\n' "$*" >&2; }

# A root's marker, .kestrin-packages, is written as the root's last step: its first line says
# what the root was made of (the suite and packages, or the sources), and a root whose line is
# not what the table and this script want now is made again. The lines after it record each
# interpreter's version (see record_versions).
made_of() {  # made_of ROOT-FOLDER: the first line of its marker
  head -n 1 "$1/.kestrin-packages" 2>/dev/null
}

# Runs a command in a root: a clean environment (nothing of the host's PIP_* or PYTHON*
# settings), with /proc, /dev and the given folders mounted in a mount namespace of the run's
# own, so that they go with it and runs side by side do not meet. `env` and `chroot` are the
# host's: the roots of other architectures hold no shell.
in_root() {
  local root=$1 binds=()
  shift
  while [ "$1" != "--" ]; do binds+=("$1"); shift; done
  shift
  [ -d "$root/etc" ] && cp /etc/resolv.conf "$root/etc/resolv.conf"
  # Debian's arm64 code signs return addresses (pointer authentication) since trixie, and qemu
  # works each signature out with the architecture's own cipher: CPython 3.13 there ran ten
  # times slower than 3.11 of bookworm. On a processor without the feature those instructions
  # do nothing, as they do on the older ones that the code is built to run on too.
  local cpu=""
  case ${root##*/} in *aarch64*) cpu=max,pauth=off ;; esac
  # shellcheck disable=SC2016  # the script expands its own arguments
  KESTRIN_QEMU_CPU=$cpu unshare --mount --propagation private /bin/bash -c '
    set -e
    root=$1 count=$2
    shift 2
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    for ((i = 0; i < count; i++)); do
      mkdir -p "$root$1"
      mount --bind "$1" "$root$1"
      shift
    done
    exec env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
      LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive ${KESTRIN_QEMU_CPU:+QEMU_CPU=$KESTRIN_QEMU_CPU} \
      chroot "$root" "$@"
  ' in_root "$root" "${#binds[@]}" "${binds[@]}" "$@"
}

host_packages() {  # installs the host packages named, when a command of theirs is missing
  local missing=()
  while [ $# -ge 2 ]; do
    command -v "$1" >/dev/null || [ -e "$1" ] || missing+=("$2")
    shift 2
  done
  [ ${#missing[@]} -eq 0 ] && return
  say "installing ${missing[*]} on the host"
  apt-get install -y -q "${missing[@]}" >/dev/null ||
    { apt-get update -q >/dev/null && apt-get install -y -q "${missing[@]}" >/dev/null; }
}

make_native() {
  if [ ! -f "$native/.kestrin-base" ]; then
    host_packages debootstrap debootstrap
    say "debootstrap: Debian unstable into $native"
    rm -rf "$native"
    mkdir -p "$base"
    debootstrap --variant=minbase sid "$native" "$mirror" >"$base/debootstrap.log" 2>&1 ||
      { tail -n 20 "$base/debootstrap.log" >&2; exit 1; }
    echo "$no_valid_until" >"$native/etc/apt/apt.conf.d/99kestrin"
    echo "deb-src $mirror sid main" >>"$native/etc/apt/sources.list"
    touch "$native/.kestrin-base"
  fi
  local wanted="${packages[*]}"
  [ "$(made_of "$native")" = "$wanted" ] && return
  say "apt-get upgrade, and install ${#packages[@]} packages"
  # pip inside reaches PyPI through whatever certificates the host adds to the system's.
  mkdir -p "$native/usr/local/share/ca-certificates"
  cp /usr/local/share/ca-certificates/*.crt "$native/usr/local/share/ca-certificates/" 2>/dev/null || true
  # The whole root is brought up to date with what it is to hold, so that the interpreters and
  # the libraries that they and the compilers use come from one day's archive.
  in_root "$native" -- sh -c "apt-get update -q >/dev/null && apt-get upgrade -y -q >/dev/null && apt-get install -y -q --no-install-recommends $wanted >/dev/null && update-ca-certificates >/dev/null"
  echo "$wanted" >"$native/.kestrin-packages"
}

# The version of the source package that apt-get fetched into DIR, when every file that its .dsc
# lists is there with the checksum given: a fetch cut short or a damaged file fails this.
cached_source() {  # cached_source DIR
  local dscs=("$1"/*.dsc)
  [ ${#dscs[@]} -eq 1 ] && [ -f "${dscs[0]}" ] || return 1
  awk '/^Checksums-Sha256:/ { on = 1; next } /^[^ ]/ { on = 0 } on && NF == 3 { print $1 "  " $3 }' \
    "${dscs[0]}" | (cd "$1" && sha256sum --check --status) || return 1
  sed -n 's/^Version: //p' "${dscs[0]}"
}

# Builds CPython M.N with --disable-gil from the newest source package of python M.N that the
# archive serves; says so and goes on when it serves none. With "tsan" as the second argument,
# the same under ThreadSanitizer, into its own prefix. It installs into a folder of its own and
# moves the result to the prefix as its last step: `make install` writes the interpreter before
# the standard library, and an install cut short must not pass for a whole one.
build_free_threaded() {
  local minor=$1 variant=${2:-} prefix=/opt/cpython-$1t flags=""
  if [ "$variant" = tsan ]; then
    prefix=$prefix-tsan
    flags="--with-thread-sanitizer --with-mimalloc"
  fi
  if [ -x "$native$prefix/bin/python${minor}t" ]; then return; fi
  local versions version got=""
  if ! got=$(cached_source "$native/src/$minor"); then
    got=""
    # An empty folder is left where the archive served no source: only a kept file is news.
    [ -z "$(ls -A "$native/src/$minor" 2>/dev/null)" ] ||
      say "the source of python$minor kept in $native/src/$minor is not whole: fetching it again"
    versions=$(in_root "$native" -- apt-cache showsrc "python$minor" 2>/dev/null | sed -n 's/^Version: //p' | sort -rV)
    for version in $versions; do
      if in_root "$native" -- sh -c "rm -rf /src/$minor && mkdir -p /src/$minor && cd /src/$minor && apt-get source -q --download-only python$minor=$version" >/dev/null 2>&1; then
        got=$version
        break
      fi
    done
  fi
  if [ -z "$got" ]; then
    say "the archive serves no source of python$minor: no ${minor}t"
    return
  fi
  say "building CPython ${minor}t${variant:+ ($variant)} from $got (minutes; with tsan, a quarter of an hour)"
  in_root "$native" -- sh -c "set -e; cd /src/$minor; rm -rf build stage; mkdir build; cd build
    tar xf ../python${minor}_*.orig.tar.* --strip-components=1
    ./configure -q --disable-gil $flags --prefix=$prefix >../configure.log 2>&1
    make -s -j\$(nproc) >../make.log 2>&1
    make -s install DESTDIR=/src/$minor/stage >../install.log 2>&1
    rm -rf $prefix
    mkdir -p ${prefix%/*}
    mv /src/$minor/stage$prefix $prefix
    cd / && rm -rf /src/$minor/build /src/$minor/stage" ||
    { say "building ${minor}t${variant:+ ($variant)} failed: see the logs in $native/src/$minor"; exit 1; }
}

# User-mode emulation for the other architectures: qemu's static emulators, registered with the
# kernel so that they are found from inside a root too.
enable_emulation() {
  host_packages /usr/libexec/qemu-binfmt/aarch64-binfmt-P qemu-user-static update-binfmts binfmt-support
  [ -e /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  local arch
  for arch in aarch64 arm s390x ppc64le; do
    [ -e "/proc/sys/fs/binfmt_misc/qemu-$arch" ] || update-binfmts --enable "qemu-$arch" >/dev/null
  done
}

# A root of Debian's CPython packages of one architecture and suite, unpacked without running
# their scripts (which would take minutes under emulation): Debian's interpreters need none.
make_foreign() {
  local arch=$1 suite=$2 root=$base/$1-$2 pkgs=() v
  shift 2
  for v in "$@"; do pkgs+=("python$v" "python$v-venv" "libpython$v-dev"); done
  local wanted="$suite ${pkgs[*]}"
  [ "$(made_of "$root")" = "$wanted" ] && { certificates "$root"; return; }
  arch_info "$arch"
  say "mmdebstrap: CPython $* for $debian_arch from $suite into $root"
  rm -rf "$root" "$root.new"
  if ! mmdebstrap --mode=root --variant=extract --aptopt="$no_valid_until" \
      --architectures="$debian_arch" --include="$(IFS=,; echo "${pkgs[*]}")" \
      "$suite" "$root.new" "$mirror" >"$base/$arch-$suite.log" 2>&1; then
    say "the archive cannot serve $suite for $debian_arch ($(grep -m 1 '^E:' "$base/$arch-$suite.log")): no CPython $* there"
    rm -rf "$root.new"
    return
  fi
  merge_usr "$root.new"
  mkdir -p "$root.new/proc" "$root.new/dev" "$root.new/tmp"
  chmod 1777 "$root.new/tmp"
  mv "$root.new" "$root"
  echo "$wanted" >"$root/.kestrin-packages"
  certificates "$root"
}

# Debian's newer pip loads the system's certificate bundle as it starts, and fails without one,
# even when it reaches no index (as from these roots): the host's, as unpacking the packages
# would not make it.
certificates() {
  [ -s "$1/etc/ssl/certs/ca-certificates.crt" ] && return
  host_packages /etc/ssl/certs/ca-certificates.crt ca-certificates
  mkdir -p "$1/etc/ssl/certs"
  cp /etc/ssl/certs/ca-certificates.crt "$1/etc/ssl/certs/"
}

# Links /bin, /lib, ... to the folders under /usr where a root holds only those: unpacking the
# packages does not merge /usr, as installing them would.
merge_usr() {
  local d
  for d in bin sbin lib lib32 lib64 libx32; do
    [ -e "$1/$d" ] || [ ! -d "$1/usr/$d" ] || ln -s "usr/$d" "$1/$d"
  done
}

make_pypy() {
  local root=$base/pypy-x86_64 wanted="bookworm ${pypy_packages[*]}"
  [ "$(made_of "$root")" = "$wanted" ] && return
  say "mmdebstrap: PyPy for amd64 from bookworm into $root"
  rm -rf "$root" "$root.new"
  mmdebstrap --mode=root --variant=extract --aptopt="$no_valid_until" --architectures=amd64 \
    --include="$(IFS=,; echo "${pypy_packages[*]}")" bookworm "$root.new" "$mirror" \
    >"$base/pypy-x86_64.log" 2>&1 || { tail -n 5 "$base/pypy-x86_64.log" >&2; exit 1; }
  merge_usr "$root.new"
  ln -sf dash "$root.new/bin/sh"  # what the shell package's own script would do
  mkdir -p "$root.new/proc" "$root.new/dev" "$root.new/tmp"
  chmod 1777 "$root.new/tmp"
  mv "$root.new" "$root"
  echo "$wanted" >"$root/.kestrin-packages"
}

fetch_source() {  # fetch_source POOL-PATH SHA256 DIR: a source tarball of Debian's, checked
  local file
  file=$3/$(basename "$1")
  if [ ! -f "$file" ] || ! echo "$2  $file" | sha256sum -c --status; then
    curl -sSf -o "$file" "$mirror/pool/main/$1"
    echo "$2  $file" | sha256sum -c --status || { say "checksum mismatch: $file"; exit 1; }
  fi
  echo "$file"
}

# CPython on musl, cross-compiled with zig for ARCH and run with Debian's musl loader (from
# trixie, the musl release whose headers zig compiles against). It has no _ssl: pip installs
# from a folder of wheels.
make_musl() {
  local arch=$1 root=$base/musl-$1 wanted zig_pin
  zig_pin=$(kestrin_pin ziglang)
  wanted="${musl_sources[*]} $zig_pin"
  [ "$(made_of "$root")" = "$wanted" ] && return
  arch_info "$arch"
  kestrin_tools
  say "CPython $musl_python on musl for $arch, compiled with zig (minutes)"
  rm -rf "$root" "$root.new"
  mmdebstrap --mode=root --variant=extract --aptopt="$no_valid_until" --architectures="$debian_arch" \
    --include=musl trixie "$root.new" "$mirror" >"$base/musl-$arch.log" 2>&1 ||
    { tail -n 5 "$base/musl-$arch.log" >&2; exit 1; }
  merge_usr "$root.new"  # the loader's path is /lib/ld-musl-*.so.1
  mkdir -p "$root.new/proc" "$root.new/dev" "$root.new/tmp" "$base/sources"
  chmod 1777 "$root.new/tmp"
  local build=$base/musl-$arch.build entry pool sha256 sources=()
  for entry in "${musl_sources[@]}"; do
    read -r pool sha256 <<<"$entry"
    sources+=("$(fetch_source "$pool" "$sha256" "$base/sources")")
  done
  rm -rf "$build"
  mkdir -p "$build/deps"
  # setup.py asks the compiler for its search folders with `-E -v -`, which zig answers with the
  # build machine's own; answering nothing keeps the host's headers out.
  zig_wrapper "$build/zig-cc" cc -target "$arch-linux-musl"
  printf '#!/bin/sh\ncase " $* " in *" -E -v - "*) exit 1;; esac\nexec %q "$@"\n' "$build/zig-cc" >"$build/cc"
  chmod +x "$build/cc"
  zig_wrapper "$build/ar" ar
  zig_wrapper "$build/ranlib" ranlib
  local build_python status
  build_python=$(pyenv_python "$musl_python") ||
    { say "cross-compiling CPython $musl_python needs pyenv's CPython $musl_python here"; exit 1; }
  # The steps run in a subshell of their own, with errexit, as a plain command: bash ignores
  # errexit inside the left side of `||` or `&&`, and would go on past a failing step. Each
  # step's output goes to a log in the build folder, which a failure keeps.
  set +e
  (
    set -e
    export CC=$build/cc AR=$build/ar RANLIB=$build/ranlib
    cd "$build"
    tar xf "${sources[1]}"
    cd zlib-*/
    CFLAGS="-O2 -fPIC" ./configure --static --prefix="$build/deps" >"$build/zlib.log" 2>&1
    make -s -j2 >>"$build/zlib.log" 2>&1
    make -s install >>"$build/zlib.log" 2>&1
    cd "$build"
    tar xf "${sources[2]}"
    cd libffi-*/
    CFLAGS="-O2 -fPIC" ./configure -q --host="$arch-linux-musl" --build=x86_64-linux-gnu \
      --disable-shared --enable-static --disable-docs --disable-multi-os-directory \
      --disable-exec-static-tramp --prefix="$build/deps" >"$build/libffi.log" 2>&1
    make -s -j2 >>"$build/libffi.log" 2>&1
    make -s install >>"$build/libffi.log" 2>&1
    cd "$build"
    tar xf "${sources[0]}"
    cd Python-*/
    # 3.11 names the platform after the build machine's C library when cross-compiling. sed
    # succeeds whether it changed anything or not: the line is looked for first.
    # shellcheck disable=SC2016  # configure's own variables, not this script's
    grep -q 'case "$build_os" in' configure ||
      { say "the configure script of CPython $musl_python has no line to patch"; exit 1; }
    # shellcheck disable=SC2016
    sed -i 's/case "$build_os" in/case "$host_os" in/' configure
    printf '%s\n' ac_cv_file__dev_ptmx=yes ac_cv_file__dev_ptc=no ac_cv_buggy_getaddrinfo=no \
      ac_cv_header_stropts_h=no >config.site
    # Position-independent throughout: a musl loader meets a fixed-address python's copied
    # `environ` badly, and the modules are shared objects.
    CONFIG_SITE=$PWD/config.site READELF=/usr/bin/readelf CFLAGS="-O2 -fPIC -Wno-error=date-time" \
      CPPFLAGS="-I$build/deps/include" LDFLAGS="-dynamic -L$build/deps/lib" \
      LIBFFI_CFLAGS="-I$build/deps/include" LIBFFI_LIBS="-L$build/deps/lib -lffi" \
      ZLIB_CFLAGS="-I$build/deps/include" ZLIB_LIBS="-L$build/deps/lib -lz" \
      ./configure -q --host="$arch-linux-musl" --build=x86_64-linux-gnu \
      --with-build-python="$build_python" --prefix="/opt/python$musl_python" \
      --with-ensurepip=no --without-doc-strings >"$build/configure.log" 2>&1
    make -s -j2 LINKFORSHARED="-Xlinker -export-dynamic -pie" >"$build/make.log" 2>&1
    make -s install DESTDIR="$root.new" >"$build/install.log" 2>&1
  )
  status=$?
  set -e
  [ $status -eq 0 ] || { say "building CPython on musl for $arch failed: see the logs in $build"; exit 1; }
  rm -rf "$build"
  mv "$root.new" "$root"
  echo "$wanted" >"$root/.kestrin-packages"
}

# Each interpreter's version, sys.version on one line, in its root's marker after the first line
# ("PYTHON VERSION"), for the release's manifest (tools/wheels.sh): run once per interpreter,
# when one that the root holds has no line yet. A root is made again with its marker's first line
# alone, so a new root, or one brought up to date, has its versions read anew; one made before
# versions were kept gets them here, in place.
record_versions() {  # record_versions ROOT PYTHON...
  local name=$1 root=$base/$1 marker=$base/$1/.kestrin-packages python path version lines=() stale=0
  shift
  [ -f "$marker" ] || return 0  # a root that the archive cannot serve
  for python; do
    path=$(awk -v r="$name" -v p="$python" '$3 == r && $1 == p { print $4 }' <<<"$listing")
    # An interpreter that the archive could not serve (a free-threaded one) has no line.
    if [ -z "$path" ] || { [ ! -e "$root$path" ] && [ ! -L "$root$path" ]; }; then continue; fi
    if version=$(tail -n +2 "$marker" | awk -v p="$python" '$1 == p { $1 = ""; print substr($0, 2); exit }') &&
        [ -n "$version" ]; then
      lines+=("$python $version")
      continue
    fi
    stale=1
    version=$(in_root "$root" -- "$path" -c 'import sys; print(" ".join(sys.version.split()))') ||
      { say "$python in $name does not run"; exit 1; }
    lines+=("$python $version")
  done
  [ $stale -eq 1 ] || return 0
  say "$name: ${lines[*]}"
  { made_of "$root"; printf '%s\n' "${lines[@]}"; } >"$marker.new"
  mv "$marker.new" "$marker"
}

list() {
  local targets python platform source path
  targets=$(kestrin_targets list)
  while read -r python platform source path _; do
    [ "$source" != pyenv ] || continue
    if target_interpreter "$python" "$source" "$path" >/dev/null 2>&1; then
      echo "$python $platform $source $path"
    fi
  done <<<"$targets"
}

# One run at a time makes or changes the roots: a second waits for the first, then finds its work
# done. The lock goes with the process, however it ends.
lock_roots() {
  mkdir -p "$base"
  exec {lock}>"$base/.lock"
  if ! flock --nonblock "$lock"; then
    say "another run is making the roots in $base: waiting for it"
    flock "$lock"
  fi
}

[ $# -ge 1 ] || { sed -n '2,30p' "$0" >&2; exit 2; }
command=$1
shift
case $command in
  ensure)
    [ "$(id -u)" -eq 0 ] || { say "needs root"; exit 1; }
    wanted=$(kestrin_targets roots)
    lock_roots
    # The native root first: the free-threaded builds are made in it.
    native_versions=$(awk '$1 == "x86_64-sid" { $1 = ""; print }' <<<"$wanted")
    for v in $native_versions; do
      [[ $v == *t ]] || packages+=("python$v" "python$v-dev" "python$v-venv")
    done
    make_native
    for v in $native_versions; do
      [[ $v != *t ]] || build_free_threaded "${v%t}"
    done
    listing=$(kestrin_targets list)
    # shellcheck disable=SC2086  # one word per version
    record_versions x86_64-sid $native_versions
    host_packages mmdebstrap mmdebstrap curl curl
    enable_emulation
    while read -r root versions; do
      read -ra versions <<<"$versions"
      case $root in
        x86_64-sid) ;;
        pypy-x86_64)
          [ "${versions[*]}" = "$pypy_python" ] ||
            { say "the table asks PyPy ${versions[*]} of $root; bookworm's is $pypy_python"; exit 1; }
          make_pypy
          ;;
        musl-*)
          [ "${versions[*]}" = "$musl_python" ] ||
            { say "the table asks CPython ${versions[*]} of $root; the sources here are $musl_python's"; exit 1; }
          make_musl "${root#musl-}"
          ;;
        *) make_foreign "${root%-*}" "${root##*-}" "${versions[@]}" ;;
      esac
      [ "$root" = x86_64-sid ] || record_versions "$root" "${versions[@]}"
    done <<<"$wanted"
    list >&2
    ;;
  tsan)
    [ "$(id -u)" -eq 0 ] || { say "needs root"; exit 1; }
    lock_roots
    make_native
    build_free_threaded 3.13 tsan
    echo /opt/cpython-3.13t-tsan/bin/python3.13t
    ;;
  list)
    list
    ;;
  dir)
    if [ $# -ne 1 ] || [ ! -d "$base/$1" ]; then say "no root ${1:-}"; exit 2; fi
    echo "$base/$1"
    ;;
  run)
    root=$native binds=()
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do
      case $1 in
        --root)
          if [ $# -lt 2 ] || [ ! -d "$base/$2" ]; then say "no root ${2:-}"; exit 2; fi
          root=$base/$2
          ;;
        --bind) [ $# -ge 2 ] || { say "usage: run [--root ROOT] [--bind DIR]... -- COMMAND..."; exit 2; }; binds+=("$2") ;;
        *) say "usage: run [--root ROOT] [--bind DIR]... -- COMMAND..."; exit 2 ;;
      esac
      shift 2
    done
    [ $# -ge 2 ] || { say "usage: run [--root ROOT] [--bind DIR]... -- COMMAND..."; exit 2; }
    shift
    in_root "$root" "${binds[@]}" -- "$@"
    ;;
  *)
    sed -n '2,30p' "$0" >&2
    exit 2
    ;;
esac
