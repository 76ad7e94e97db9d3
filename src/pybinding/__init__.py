from ._binding import __initialize

Environment = __initialize()
__all__ = ["Environment"]
__doc__ = ""
del __initialize, _binding
