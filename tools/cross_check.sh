#!/usr/bin/env bash
# Compiles every source with no warning and links the module for the systems that no machine
# here can run (tools/targets.toml's compile_checked: macOS on Apple silicon and on x86-64, and
# 64-bit Windows), with zig's clang through the project's own CMake build. Nothing is run: this
# shows that the sources and the build are ready for those systems, not that the module works
# there.
#
#   bash tools/cross_check.sh
#
# Against CPython 3.11's headers: pyenv's, with CPython's own PC/pyconfig.h for Windows (from
# Debian's source tarball of CPython 3.11), and an import library for python311.dll made from
# the names pyenv's libpython exports. No other version will do: its headers would meet 3.11's
# pyconfig.h.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=SCRIPTDIR/toolchain.sh
source tools/toolchain.sh
python=$(pyenv_python 3.11) || { echo "cross_check.sh needs pyenv's CPython 3.11" >&2; exit 1; }
scratch_folder
kestrin_tools
include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
libpython=$("$python" -c 'import os, sysconfig; print(os.path.join(sysconfig.get_config_var("LIBDIR"), sysconfig.get_config_var("INSTSONAME")))')
source_tarball=p/python3.11/python3.11_3.11.2.orig.tar.gz
source_sha256=2411c74bda5bbcfcddaf4531f66d1adc73f247f529aee981b029513aefdbf849

# Windows: CPython's own configuration header beside this machine's headers, and an import
# library naming what python311.dll exports (data as data, for the __imp_ references).
tarball=$kestrin_cache/sources/$(basename "$source_tarball")
mkdir -p "$(dirname "$tarball")"
if [ ! -f "$tarball" ] || ! echo "$source_sha256  $tarball" | sha256sum -c --status; then
  curl -sSf -o "$tarball" "$(debian_archive)/pool/main/$source_tarball"
  echo "$source_sha256  $tarball" | sha256sum -c --status || { echo "checksum mismatch: $tarball" >&2; exit 1; }
fi
cp -r "$include" "$work/windows-include"
tar -xzf "$tarball" -O --wildcards '*/PC/pyconfig.h' >"$work/windows-include/pyconfig.h"
{
  echo "LIBRARY python311.dll"
  echo "EXPORTS"
  nm -D --defined-only "$libpython" | awk '$3 ~ /^_?Py/ { print $3 ($2 ~ /[DBR]/ ? " DATA" : "") }'
} >"$work/python311.def"
"$zig" dlltool -d "$work/python311.def" -l "$work/libpython311.dll.a" -m i386:x86-64

zig_wrapper "$work/zig-ar" ar
zig_wrapper "$work/zig-ranlib" ranlib
compile_checked=$(kestrin_targets compile-checked)
failed=0
for target in $compile_checked; do
  printf '\n=== %s ===\n' "$target"
  cmake_args=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-Werror -DCMAKE_AR="$work/zig-ar"
              -DCMAKE_RANLIB="$work/zig-ranlib" -DPython_EXECUTABLE="$python")
  case $target in
    *-macos)
      # zig's Mach-O linker crashes making a bundle, what CMake makes of a module on macOS; it
      # makes the same code as a dynamic library, which Python loads alike.
      zig_wrapper "$work/zig-c++-$target" c++ -target "$target"
      # shellcheck disable=SC2016  # the wrapper's own variables
      printf '#!/bin/sh\nfor a; do shift; [ "$a" = -bundle ] && a=-shared; set -- "$@" "$a"; done\nexec %q "$@"\n' \
        "$work/zig-c++-$target" >"$work/c++-$target"
      cmake_args+=(-DCMAKE_SYSTEM_NAME=Darwin -DPython_INCLUDE_DIR="$include")
      ;;
    *-windows-gnu)
      # Without MS_WIN64 a GNU compiler gets the 32-bit configuration from PC/pyconfig.h.
      zig_wrapper "$work/c++-$target" c++ -target "$target" -DMS_WIN64
      cmake_args+=(-DCMAKE_SYSTEM_NAME=Windows -DPython_INCLUDE_DIR="$work/windows-include"
                   -DPython_LIBRARY="$work/libpython311.dll.a"
                   -D_Python_RUNTIME_LIBRARY_RELEASE="$work/python311.dll")
      ;;
    *) echo "no way here to compile for $target"; exit 1 ;;
  esac
  chmod +x "$work/c++-$target"
  if cmake -S . -B "$work/build-$target" -G Ninja -DCMAKE_CXX_COMPILER="$work/c++-$target" \
      "${cmake_args[@]}" >"$work/configure-$target.log" 2>&1 &&
      ninja -C "$work/build-$target" >"$work/build-$target.log" 2>&1; then
    module=$(find "$work/build-$target" -maxdepth 1 -name '_kestrin*' \( -name '*.so' -o -name '*.pyd' \))
    "$tools/python" - "$module" <<'EOF'
import struct, sys

def pe_exports(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    assert struct.unpack_from("<H", data, optional)[0] == 0x20B  # PE32+
    export_rva = struct.unpack_from("<I", data, optional + 112)[0]
    # each section: its size and address when loaded, its size and offset in the file
    table = [struct.unpack_from("<8xIIII", data, optional + optional_size + 40 * i) for i in range(sections)]

    def at(rva):
        return next(raw + rva - virtual for size, virtual, _, raw in table if virtual <= rva < virtual + size)

    directory = at(export_rva)
    count, names = struct.unpack_from("<I4xI", data, directory + 24)
    return [data[at(r):data.index(b"\0", at(r))].decode() for r in struct.unpack_from("<%dI" % count, data, at(names))]

path = sys.argv[1]
data = open(path, "rb").read()
name = path.rsplit("/", 1)[-1]
if data[:4] == b"\xcf\xfa\xed\xfe":
    # zig's Mach-O linker ignores the list of exports that Apple's linker honours, so only the
    # init function's presence is checked here.
    assert b"_PyInit__kestrin" in data
    print("%s: Mach-O 64-bit, %d bytes, defines _PyInit__kestrin" % (name, len(data)))
else:
    assert data[:2] == b"MZ", data[:4]
    exports = pe_exports(data)
    print("%s: PE32+ DLL, %d bytes, exports %s" % (name, len(data), exports))
    assert exports == ["PyInit__kestrin"], exports
EOF
    grep -c "warning:" "$work/build-$target.log" | sed 's/^/warnings: /' || true
  else
    failed=1
    tail -n 30 "$work/configure-$target.log" "$work/build-$target.log"
  fi
done
exit $failed
