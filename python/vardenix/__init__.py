"""Vardenix from Python: checks an examination set-up before an exam.

    from vardenix import EnviChk
    chk = EnviChk(ping_name="Vardenix.FileCheck", ping_path="/srv/work")
    result = chk.ping_envi_chk(archive=zip_bytes, rule="1 exists 考生/报告.txt", options=1)
    result.passed, result.err_msg, result.err_msg_xml, result.records

``vardenix.check(...)`` runs a check as the `vardenix check` command does, with its options as keyword
arguments. The package calls libvardenix.so (the C API) through ctypes; nothing is compiled at the
user's side.
"""
from ._chk import (CHK_RESULT_DOC, CHK_SUBJECT, EnviChk, Error, Isolation, Module, Outcome, Record, Result,
                   default_registry)
from ._command import check
from ._native import lib as _lib

__all__ = ["CHK_RESULT_DOC", "CHK_SUBJECT", "EnviChk", "Error", "Isolation", "Module", "Outcome", "Record", "Result",
           "check", "default_registry", "library_version"]


def library_version() -> str:
    """The version of libvardenix.so in use."""
    return _lib.vx_version().decode()


__version__ = library_version()
