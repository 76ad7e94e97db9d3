from ._binding import __initialize

Environment = __initialize()
__all__ = ["Environment"]
__doc__ = ""
# The package's submodules stay out of its namespace, which holds the class alone.
del __initialize, _binding, _ffi
