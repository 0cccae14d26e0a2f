"""Finding and loading libdimlink, and the C declarations of what the package calls."""

from __future__ import annotations

import ctypes
import os
import sys

INSTALL_HINT = ("install the libdimlink1 package, or put dimlink.dll beside the dimlink package folder"
                if sys.platform == "win32" else "install the libdimlink1 package")
FILE_NAME = "dimlink.dll" if sys.platform == "win32" else "libdimlink.so.1"


class ResultStruct(ctypes.Structure):
    """struct dimlink_result."""

    _fields_ = [
        ("status", ctypes.c_int),
        ("verdict", ctypes.c_char_p),
        ("message", ctypes.c_char * 512),
        ("error", ctypes.c_long),
        ("sent", ctypes.c_int),
        ("answered", ctypes.c_int),
        ("answer", ctypes.c_ubyte * 64),
        ("answer_length", ctypes.c_size_t),
        ("raw", ctypes.c_ubyte * 64),
        ("raw_length", ctypes.c_size_t),
    ]


class SupplyInfoStruct(ctypes.Structure):
    """struct dimlink_supply_info."""

    _fields_ = [("path", ctypes.c_char * 512), ("serial", ctypes.c_char * 256), ("name", ctypes.c_char * 256)]


def _declare(library: ctypes.CDLL) -> None:
    """Gives each function its C prototype; AttributeError when one is missing."""
    result = ctypes.POINTER(ResultStruct)
    prototypes = {
        "dimlink_version": (ctypes.c_char_p, []),
        "dimlink_parse_command": (ctypes.c_int, [ctypes.c_char_p, ctypes.POINTER(ctypes.c_ubyte),
                                                 ctypes.POINTER(ctypes.c_size_t), result]),
        "dimlink_list_usb": (ctypes.c_int, [ctypes.POINTER(SupplyInfoStruct), ctypes.c_int]),
        "dimlink_open_usb": (ctypes.c_void_p, [ctypes.c_char_p, ctypes.c_char_p, result]),
        "dimlink_wait_usb": (ctypes.c_void_p, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, result]),
        "dimlink_open_tcp": (ctypes.c_void_p, [ctypes.c_char_p, ctypes.c_ushort, result]),
        "dimlink_set_timeout": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int]),
        "dimlink_exchange": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t, result]),
        "dimlink_close": (None, [ctypes.c_void_p]),
    }
    for name, (restype, argtypes) in prototypes.items():
        function = getattr(library, name)
        function.restype = restype
        function.argtypes = argtypes


def _places() -> list[tuple[str, str]]:
    """Where to look, in order: (what to load, how the error message names it)."""
    places = []
    chosen = os.environ.get("DIMLINK_LIBRARY")
    if chosen:
        places.append((chosen, f"{chosen} (DIMLINK_LIBRARY)"))
    package = os.path.dirname(os.path.abspath(__file__))
    # The Windows zip has the DLL beside the package's folder rather than in it.
    for folder in (package, os.path.dirname(package)):
        path = os.path.join(folder, FILE_NAME)
        places.append((path, path))
    places.append((FILE_NAME, f"{FILE_NAME} (the system's library search)"))
    return places


def load() -> ctypes.CDLL:
    """The first library of _places() that loads and has every function; ImportError
    naming each place tried when none does."""
    tried = []
    for target, label in _places():
        if os.path.dirname(target) and not os.path.exists(target):
            tried.append(f"{label}: no such file")
            continue
        try:
            library = ctypes.CDLL(target)
            _declare(library)
            return library
        except (OSError, AttributeError) as error:
            tried.append(f"{label}: {error}")
    raise ImportError("dimlink cannot load the libdimlink library; tried:\n  " + "\n  ".join(tried) +
                      f"\nTo use the dimlink package, {INSTALL_HINT}.")


LIBRARY = load()
