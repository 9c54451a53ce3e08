"""vardenix.check: a check the way the `vardenix check` command runs it."""
from __future__ import annotations

import fcntl
import json
import math
import os
import re
import shutil
import tempfile
import time
from typing import Callable, Iterable, Optional, Union

from . import _native
from ._chk import (CHK_RESULT_DOC, CHK_SUBJECT, EnviChk, Error, Isolation, PathLike, Record, Result,
                   default_registry)

_RATE = re.compile(r"(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?\Z")


def _usage(message: str) -> Error:
    return Error(message, _native.INVALID_ARGUMENT)


def _parse_rate(rate: Union[str, float]) -> float:
    text = rate if isinstance(rate, str) else None
    if text is not None:
        if not _RATE.match(text):
            value = math.nan
        else:
            value = float(text)
    elif isinstance(rate, (int, float)) and not isinstance(rate, bool):
        value = float(rate)
    else:
        value = math.nan
    if not 0.0 <= value <= 1.0:
        raise _usage("rate must be a number from 0 to 1 such as 0.1 (the share of each module's questions to draw: "
                     f"floor(rate x questions) + 1 draws, with replacement), not {rate!r}")
    return value


def _read(path: PathLike, what: str) -> bytes:
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise _usage(f"cannot read {what} {os.fspath(path)}: {e.strerror or e}") from None


def _rerun_records(rerun: Union[PathLike, Result, dict]) -> list[tuple[str, str]]:
    if isinstance(rerun, Result):
        earlier = rerun.to_json()
    elif isinstance(rerun, dict):
        earlier = rerun
    else:
        try:
            earlier = json.loads(_read(rerun, "the earlier result"))
        except ValueError as e:
            raise _usage(f"rerun: {os.fspath(rerun)} is not the JSON of an earlier check: {e}") from None
    if not isinstance(earlier, dict) or not isinstance(earlier.get("records"), list):
        raise _usage("rerun: the earlier result has no \"records\" list")
    records: list[tuple[str, str]] = []
    for r in earlier["records"]:
        if not isinstance(r, dict) or r.get("kind") != "record" or r.get("outcome") == "passed":
            continue
        key = (str(r.get("module", "")), str(r.get("recNo", "")))
        if key[1] and key not in records:
            records.append(key)
    if not records:
        raise _usage("rerun: the earlier result names no record that did not pass: there is nothing to grade again")
    return records


def _lock(folder: str, wait: bool) -> int:
    # The lock `vardenix check` takes: an advisory flock on the folder itself, for the whole check.
    try:
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError as e:
        raise _usage(f"the working folder {folder} cannot be used: {e.strerror}") from None
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | (0 if wait else fcntl.LOCK_NB))
    except BlockingIOError:
        os.close(fd)
        raise _usage(f"another check is using the working folder {folder}; wait for it, or give another folder") from None
    return fd


def check(ping_name: str, *, archive: Optional[Union[PathLike, bytes]] = None, rule: Optional[PathLike] = None,
          rule_text: Optional[str] = None, options: Optional[int] = None, total: Optional[PathLike] = None,
          subject: Optional[PathLike] = None, subject_code: Optional[str] = None, contract: int = -1,
          rate: Union[str, float] = "0.1", seed: Optional[int] = None, all: bool = False, jobs: Optional[int] = None,
          dry_run: bool = False, rerun: Optional[Union[PathLike, Result, dict]] = None,
          ping_path: Optional[PathLike] = None, keep: bool = False, no_wait: bool = False,
          component: Iterable[PathLike] = (), registry: Optional[PathLike] = None,
          time_limit: Optional[float] = None, memory_limit: Optional[int] = None,
          answer_limit: Optional[int] = None, in_process: bool = False, sandbox: bool = False,
          progress: Optional[Callable[[Record], None]] = None) -> Result:
    """Runs a check as `vardenix check` does, with its options as keyword arguments, and answers the
    result its ``--json`` describes (``Result.to_json()`` is that object).

    What the command refuses (exit status 2: contradictory or missing options, a rate that is not a
    number from 0 to 1, an archive, rule file or module that cannot be read) raises Error; what the
    check finds (a missing bank, a component that is not installed or crashes, an answer that falls
    short) is a result whose ``passed`` is False. As with the command, module components run out of
    process (in vardenix-component-host, with the limits given) unless ``in_process``; without
    ``ping_path`` the check runs in a new temporary folder, removed afterwards unless ``keep``."""
    if not isinstance(ping_name, str) or not ping_name:
        raise _usage("ping_name (the ProgID of the scoring component) is required")
    have_archive = archive is not None
    have_subject = total is not None or subject is not None or bool(subject_code)
    if rule is not None and rule_text is not None:
        raise _usage("give rule (a file) or rule_text, not both")
    if all and rerun is not None:
        raise _usage("all and rerun cannot be combined")
    if dry_run and rerun is not None:
        raise _usage("dry_run and rerun cannot be combined")
    if in_process and (sandbox or time_limit is not None or memory_limit is not None or answer_limit is not None):
        raise _usage("in_process runs components without limits or sandbox: leave out time_limit, memory_limit, "
                     "answer_limit and sandbox")
    if options is not None:
        if options not in (CHK_RESULT_DOC, CHK_SUBJECT, CHK_RESULT_DOC | CHK_SUBJECT) or isinstance(options, bool):
            raise _usage(f"options must be 1 (the typical document), 2 (the subject question bank) or 3 (both), "
                         f"not {options!r}")
    else:
        options = (CHK_RESULT_DOC if have_archive else 0) | (CHK_SUBJECT if have_subject else 0)
        if options == 0:
            raise _usage("nothing to check: give archive (with rule or rule_text) for the typical document, and/or "
                         "total, subject and subject_code for the subject question bank")
    if options & CHK_RESULT_DOC and not have_archive:
        raise _usage("the typical-document check needs archive")
    if options & CHK_SUBJECT:
        if total is None or subject is None:
            raise _usage("the subject check needs total and subject")
        if not subject_code:
            raise _usage("the subject check needs subject_code")
    if dry_run:
        if not options & CHK_SUBJECT:
            raise _usage("dry_run lists the draws of the subject check: give total, subject and subject_code")
        options = CHK_SUBJECT
    rate_value = _parse_rate(rate)
    if not isinstance(contract, int) or isinstance(contract, bool):
        raise _usage(f"contract must be a whole number, not {contract!r}")
    if seed is not None and (not isinstance(seed, int) or isinstance(seed, bool) or not 0 <= seed < 2 ** 64):
        raise _usage(f"seed must be a whole number from 0 to {2 ** 64 - 1}, not {seed!r}")
    if jobs is not None and (not isinstance(jobs, int) or isinstance(jobs, bool) or not 1 <= jobs <= 256):
        raise _usage(f"jobs must be a whole number from 1 to 256, not {jobs!r}")
    listed = _rerun_records(rerun) if rerun is not None else None

    data = b""
    if options & CHK_RESULT_DOC:
        data = bytes(archive) if isinstance(archive, (bytes, bytearray)) else _read(archive, "the archive")  # type: ignore[arg-type]
    if rule is not None:
        raw = _read(rule, "the rule file")
        try:
            rule_value = raw.decode("utf-8")
        except UnicodeDecodeError:
            rule_value = raw.decode("gb18030", "replace")  # rule files written on Chinese Windows
    else:
        rule_value = rule_text or ""
    if ping_path is not None and not os.path.isdir(ping_path):
        raise _usage(f"the working folder {os.fspath(ping_path)} is not a folder")

    isolation = None if in_process else Isolation(time_limit=time_limit, memory_limit=memory_limit,
                                                  answer_limit=answer_limit, sandbox=sandbox)
    temporary = None
    if ping_path is None and not dry_run:
        temporary = tempfile.mkdtemp(prefix="vardenix-")
        folder = temporary
    else:
        folder = os.fspath(ping_path) if ping_path is not None else ""
    fd = None
    try:
        with EnviChk(ping_name, folder, registry=default_registry() if registry is None else registry) as chk:
            if not dry_run:
                for module in component:
                    chk.load_module(module)
                if sandbox:
                    isolation = Isolation(time_limit=time_limit, memory_limit=memory_limit, answer_limit=answer_limit,
                                          sandbox=True, sandbox_folder=os.path.abspath(folder))
                chk.isolation = isolation
                fd = _lock(folder, not no_wait)
            if seed is not None:
                chk.seed = seed
            if all:
                chk.select("all", jobs=jobs or os.cpu_count() or 1, dry_run=dry_run)
            elif listed is not None:
                chk.select("listed", records=listed)
            else:
                chk.select("sample", dry_run=dry_run)
            start = time.monotonic()
            result = chk.ping_envi_chk(data, rule_value, options, total or "", subject or "", subject_code or "",
                                       contract, rate_value, progress=progress)
            result.elapsed_seconds = time.monotonic() - start
            if dry_run:
                result.passed = None
            return result
    finally:
        if fd is not None:
            os.close(fd)
        if temporary is not None and not keep:
            shutil.rmtree(temporary, ignore_errors=True)
