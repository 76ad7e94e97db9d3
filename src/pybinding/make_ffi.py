"""Writes the binding's description of the C interface (_ffi.py), read from the declarations
between the header's two marker lines: cffi parses them here, at build time, so that importing
the module parses nothing.

    python make_ffi.py kestrin_abi.h _ffi.py
"""

import re
import sys

import cffi


def declarations(header_text):
    block = re.search(r"/\* cdef begin \*/(.*?)/\* cdef end \*/", header_text, re.S).group(1)
    return re.sub(r"/\*.*?\*/", "", block, flags=re.S).replace("KESTRIN_ABI ", "")


def main(header, out):
    with open(header, encoding="utf-8") as f:
        text = f.read()
    ffi = cffi.FFI()
    ffi.cdef(declarations(text))
    ffi.set_source("_kestrin._ffi", None)
    ffi.emit_python_code(out)


if __name__ == "__main__":
    main(*sys.argv[1:])
