#!/usr/bin/env bash
# The CPython versions that pyenv does not have here: 3.14 and 3.15 from Debian's unstable suite,
# and free-threaded builds (3.13t, and 3.14t/3.15t when the archive serves their sources),
# compiled from Debian's source packages. They live in a Debian root of their own, made with
# debootstrap outside the checkout and reused by every later run; the host's own package
# sources are left alone.
#
#   bash tools/interpreters.sh ensure             make the root, or bring it up to date
#   bash tools/interpreters.sh list               "VERSION PATH" per interpreter in the root
#   bash tools/interpreters.sh tsan               also a 3.13t built with ThreadSanitizer
#                                                 (tools/tsan.sh uses it); prints its path
#   bash tools/interpreters.sh run [--bind DIR]... -- COMMAND...
#                                                 run COMMAND in the root, with each DIR (an
#                                                 absolute path) at the same path inside it
#
# Needs root (debootstrap, chroot, mount). KESTRIN_INTERPRETERS sets the folder (default
# /var/cache/kestrin-interpreters); the first `ensure` takes a few minutes and about 2 GB.
set -euo pipefail
base=${KESTRIN_INTERPRETERS:-/var/cache/kestrin-interpreters}
root=$base/root
mirror=http://deb.debian.org/debian
minors=(3.14 3.15)
free_threaded=(3.13 3.14 3.15)
packages=(ca-certificates build-essential xz-utils dpkg-dev cmake ninja-build valgrind libtsan2 libssl-dev zlib1g-dev libffi-dev
          libbz2-dev liblzma-dev libsqlite3-dev libmpdec-dev)
for v in "${minors[@]}"; do packages+=("python$v" "python$v-dev" "python$v-venv"); done

say() { printf '[interpreters] %s\n' "$*" >&2; }

# Runs a command in the root: a clean environment (nothing of the host's PIP_* or PYTHON*
# settings), with /proc, /dev and the given folders mounted in a mount namespace of the run's
# own, so that they go with it and runs side by side do not meet.
in_root() {
  local binds=()
  while [ "$1" != "--" ]; do binds+=("$1"); shift; done
  shift
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  unshare --mount --propagation private /bin/bash -c '
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
      LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive chroot "$root" "$@"
  ' in_root "$root" "${#binds[@]}" "${binds[@]}" "$@"
}

make_base() {
  [ -f "$root/.kestrin-base" ] && return
  command -v debootstrap >/dev/null || {
    say "installing debootstrap on the host"
    apt-get install -y -q debootstrap >/dev/null || { apt-get update -q >/dev/null && apt-get install -y -q debootstrap >/dev/null; }
  }
  say "debootstrap: Debian unstable into $root"
  rm -rf "$root"
  mkdir -p "$base"
  debootstrap --variant=minbase sid "$root" "$mirror" >"$base/debootstrap.log" 2>&1 ||
    { tail -n 20 "$base/debootstrap.log" >&2; exit 1; }
  # The archive's Release files can be older than their Valid-Until date.
  echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99kestrin"
  echo "deb-src $mirror sid main" >>"$root/etc/apt/sources.list"
  touch "$root/.kestrin-base"
}

install_packages() {
  local wanted="${packages[*]}"
  [ "$(cat "$root/.kestrin-packages" 2>/dev/null)" = "$wanted" ] && return
  say "apt-get install ${#packages[@]} packages"
  # pip inside reaches PyPI through whatever certificates the host adds to the system's.
  mkdir -p "$root/usr/local/share/ca-certificates"
  cp /usr/local/share/ca-certificates/*.crt "$root/usr/local/share/ca-certificates/" 2>/dev/null || true
  in_root -- sh -c "apt-get update -q >/dev/null && apt-get install -y -q --no-install-recommends $wanted >/dev/null && update-ca-certificates >/dev/null"
  echo "$wanted" >"$root/.kestrin-packages"
}

# Builds CPython M.N with --disable-gil from the newest source package of python M.N that the
# archive serves; says so and goes on when it serves none. With "tsan" as the second argument,
# the same under ThreadSanitizer, into its own prefix.
build_free_threaded() {
  local minor=$1 variant=${2:-} prefix=/opt/cpython-$1t flags=""
  if [ "$variant" = tsan ]; then
    prefix=$prefix-tsan
    flags="--with-thread-sanitizer --with-mimalloc"
  fi
  if [ -x "$root$prefix/bin/python${minor}t" ]; then return; fi
  local versions version got=""
  if ls "$root/src/$minor"/python"${minor}"_*.orig.tar.* >/dev/null 2>&1; then
    got=$(cd "$root/src/$minor" && ls python"${minor}"_*.orig.tar.* | head -n 1)
  else
    versions=$(in_root -- apt-cache showsrc "python$minor" 2>/dev/null | sed -n 's/^Version: //p' | sort -rV)
    for version in $versions; do
      if in_root -- sh -c "rm -rf /src/$minor && mkdir -p /src/$minor && cd /src/$minor && apt-get source -q --download-only python$minor=$version" >/dev/null 2>&1; then
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
  in_root -- sh -c "set -e; cd /src/$minor; rm -rf build; mkdir build; cd build
    tar xf ../python${minor}_*.orig.tar.* --strip-components=1
    ./configure -q --disable-gil $flags --prefix=$prefix >../configure.log 2>&1
    make -s -j\$(nproc) >../make.log 2>&1
    make -s install >../install.log 2>&1
    cd / && rm -rf /src/$minor/build" || { say "building ${minor}t $variant failed"; exit 1; }
}

list() {
  local v
  for v in "${minors[@]}"; do
    [ -x "$root/usr/bin/python$v" ] && echo "$v /usr/bin/python$v"
  done
  for v in "${free_threaded[@]}"; do
    [ -x "$root/opt/cpython-${v}t/bin/python${v}t" ] && echo "${v}t /opt/cpython-${v}t/bin/python${v}t"
  done
  return 0
}

[ $# -ge 1 ] || { sed -n '2,18p' "$0" >&2; exit 2; }
command=$1
shift
case $command in
  ensure)
    [ "$(id -u)" -eq 0 ] || { say "needs root"; exit 1; }
    make_base
    install_packages
    for v in "${free_threaded[@]}"; do build_free_threaded "$v"; done
    list >&2
    ;;
  tsan)
    [ "$(id -u)" -eq 0 ] || { say "needs root"; exit 1; }
    make_base
    install_packages
    build_free_threaded 3.13 tsan
    echo /opt/cpython-3.13t-tsan/bin/python3.13t
    ;;
  list)
    list
    ;;
  run)
    binds=()
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do
      [ "$1" = "--bind" ] && [ $# -ge 2 ] || { say "usage: run [--bind DIR]... -- COMMAND..."; exit 2; }
      binds+=("$2")
      shift 2
    done
    [ $# -ge 2 ] || { say "usage: run [--bind DIR]... -- COMMAND..."; exit 2; }
    shift
    in_root "${binds[@]}" -- "$@"
    ;;
  *)
    sed -n '2,18p' "$0" >&2
    exit 2
    ;;
esac
