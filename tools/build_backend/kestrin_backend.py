"""The build backend: scikit-build-core, keeping its build folder across isolated builds.

pip builds every `pip install .` in a new isolated environment, and
scikit-build-core throws its CMake cache and object files away whenever the
path of its own isolated copy differs from the one recorded in the build
folder, so a persistent `build-dir` alone still recompiles everything. Every
value scikit-build-core hands CMake is set again (with FORCE) on each
configure, and the Ninja path is passed on the command line, so the only thing
the old environment leaves behind is that recorded path. Before a wheel is
built, it is brought up to date in each build folder made from this source
tree by the same scikit-build-core version with a CMake that still exists;
anything else (a moved tree, another version, a CMake from a deleted
environment) is left for scikit-build-core to throw away as usual.
"""

import json
import os
from pathlib import Path

import scikit_build_core
from scikit_build_core.build import *  # noqa: F401,F403 - the hooks this backend passes on
from scikit_build_core.build import __all__ as _hooks
from scikit_build_core.build import build_wheel as _build_wheel

__all__ = list(_hooks)

# The part of tool.scikit-build.build-dir in pyproject.toml before "/{wheel_tag}".
BUILD_ROOT = "build-pip"


def _adopt_build_folders():
    package = os.fspath(Path(scikit_build_core.__file__).parent.resolve())
    version = getattr(scikit_build_core, "__version__", None)
    source = Path.cwd().resolve()
    for info_path in source.joinpath(BUILD_ROOT).glob("*/.skbuild-info.json"):
        try:
            info = json.loads(info_path.read_text(encoding="utf-8"))
            if (
                not isinstance(info, dict)
                or info.get("skbuild_path") == package
                or Path(info.get("source_dir", "")) != source
                or info.get("skbuild_version") != version
                or not os.path.isfile(info.get("cmake_path", ""))
            ):
                continue
            info["skbuild_path"] = package
            info_path.write_text(json.dumps(info, indent=2), encoding="utf-8")
        except (OSError, ValueError, TypeError):
            continue  # scikit-build-core decides about this folder itself


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    _adopt_build_folders()
    return _build_wheel(wheel_directory, config_settings, metadata_directory)
