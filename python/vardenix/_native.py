"""The C API of libvardenix.so (include/vardenix/vardenix.h) through ctypes.

The library is found in this order: the file named by $VARDENIX_LIBRARY; the copy inside the
package (a wheel built by pyproject.toml); the one `cmake --install` put beside the package's
record of it (_install.py); libvardenix.so.1 on the loader's search path. ctypes releases the GIL
around every call into the library, so checks on separate objects run on separate threads at once.
"""
from __future__ import annotations

import ctypes
import os
import pathlib
from typing import Optional

OK = 0
INVALID_ARGUMENT = 1
FAILED = 2
NO_MEMORY = 3
BUSY = 4

STATUS_NAMES = {OK: "ok", INVALID_ARGUMENT: "invalid argument", FAILED: "failed", NO_MEMORY: "out of memory",
                BUSY: "busy"}


class PingArgs(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("options", ctypes.c_int32), ("archive", ctypes.c_char_p),
                ("archive_len", ctypes.c_size_t), ("rule", ctypes.c_char_p), ("total_path", ctypes.c_char_p),
                ("subject_path", ctypes.c_char_p), ("subject_code", ctypes.c_char_p),
                ("contract_code", ctypes.c_int32), ("rate", ctypes.c_float)]


class Selection(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("kind", ctypes.c_int32),
                ("listed_modules", ctypes.POINTER(ctypes.c_char_p)),
                ("listed_rec_nos", ctypes.POINTER(ctypes.c_char_p)), ("listed_count", ctypes.c_size_t),
                ("dry_run", ctypes.c_int32), ("jobs", ctypes.c_int32)]


class RecordStruct(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("typical_document", ctypes.c_int32), ("module", ctypes.c_char_p),
                ("rec_no", ctypes.c_char_p), ("draw", ctypes.c_int32), ("outcome", ctypes.c_int32),
                ("score", ctypes.c_float), ("reason", ctypes.c_char_p), ("text", ctypes.c_char_p),
                ("xml", ctypes.c_char_p), ("seconds", ctypes.c_double)]


ON_MODULES = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int32)
ON_MODULE = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int32, ctypes.c_char_p, ctypes.c_int32, ctypes.c_int32)
ON_SAMPLE = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int32)
ON_EXTRACTION_FAILED = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p)
ON_RECORD = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.POINTER(RecordStruct))


class Observer(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("context", ctypes.c_void_p), ("on_modules", ON_MODULES),
                ("on_module", ON_MODULE), ("on_sample", ON_SAMPLE), ("on_extraction_failed", ON_EXTRACTION_FAILED),
                ("on_record", ON_RECORD)]


class IsolationSettings(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("time_limit_ms", ctypes.c_uint32),
                ("memory_limit_bytes", ctypes.c_uint64), ("answer_limit_bytes", ctypes.c_uint64),
                ("host_path", ctypes.c_char_p), ("sandbox", ctypes.c_int32), ("sandbox_folder", ctypes.c_char_p)]


_PACKAGE = pathlib.Path(__file__).resolve().parent


def _candidates() -> list[str]:
    found = []
    if os.environ.get("VARDENIX_LIBRARY"):
        found.append(os.environ["VARDENIX_LIBRARY"])
    bundled = _PACKAGE / "_lib" / "libvardenix.so.1"
    if bundled.exists():
        found.append(str(bundled))
    try:
        from . import _install  # written by `cmake --install`
        found.append(_install.LIBRARY)
    except ImportError:
        pass
    found.append("libvardenix.so.1")
    return found


def component_host() -> Optional[str]:
    """The component host that came with the library, when known (else the library's default)."""
    if os.environ.get("VARDENIX_COMPONENT_HOST"):
        return os.environ["VARDENIX_COMPONENT_HOST"]
    bundled = _PACKAGE / "_lib" / "vardenix-component-host"
    if bundled.exists():
        return str(bundled)
    try:
        from . import _install
        return _install.COMPONENT_HOST
    except ImportError:
        return None


def _load() -> ctypes.CDLL:
    problems = []
    for candidate in _candidates():
        try:
            lib = ctypes.CDLL(candidate)
            break
        except OSError as e:
            problems.append(f"{candidate}: {e}")
    else:
        raise ImportError("cannot load libvardenix.so.1 (" + "; ".join(problems) +
                          "); install Vardenix (cmake --install) or set VARDENIX_LIBRARY to the library's path")
    status = ctypes.c_int
    chk = ctypes.c_void_p
    text_out = ctypes.POINTER(ctypes.c_void_p)
    signatures = {
        "vx_last_error": (ctypes.c_char_p, []),
        "vx_version": (ctypes.c_char_p, []),
        "vx_free": (None, [ctypes.c_void_p]),
        "vx_chk_create": (status, [ctypes.POINTER(ctypes.c_void_p)]),
        "vx_chk_destroy": (None, [chk]),
        "vx_chk_set_ping_name": (status, [chk, ctypes.c_char_p]),
        "vx_chk_get_ping_name": (status, [chk, text_out]),
        "vx_chk_set_ping_path": (status, [chk, ctypes.c_char_p]),
        "vx_chk_get_ping_path": (status, [chk, text_out]),
        "vx_chk_result_chk": (status, [chk, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p,
                                       ctypes.POINTER(ctypes.c_int32), text_out, text_out]),
        "vx_chk_ping_envi_chk": (status, [chk, ctypes.POINTER(PingArgs), ctypes.POINTER(ctypes.c_int32), text_out,
                                          text_out]),
        "vx_chk_set_selection": (status, [chk, ctypes.POINTER(Selection)]),
        "vx_chk_set_seed": (status, [chk, ctypes.c_uint64]),
        "vx_chk_get_seed": (status, [chk, ctypes.POINTER(ctypes.c_uint64)]),
        "vx_chk_set_observer": (status, [chk, ctypes.POINTER(Observer)]),
        "vx_chk_set_registry_folder": (status, [chk, ctypes.c_char_p]),
        "vx_chk_load_module": (status, [chk, ctypes.c_char_p]),
        "vx_chk_set_isolation": (status, [chk, ctypes.POINTER(IsolationSettings)]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib


lib = _load()


def take_text(pointer: ctypes.c_void_p) -> str:
    """The text the library answered through a char**, released."""
    if not pointer.value:
        return ""
    try:
        return decode(ctypes.string_at(pointer.value))
    finally:
        lib.vx_free(pointer)


def decode(raw: Optional[bytes]) -> str:
    # Text from the library is UTF-8; bytes that are not (a component's broken answer) survive as
    # surrogates rather than failing the call.
    return raw.decode("utf-8", "surrogateescape") if raw else ""


def encode(text: str) -> bytes:
    return text.encode("utf-8", "surrogateescape")
