"""The check object and its results."""
from __future__ import annotations

import ctypes
import dataclasses
import enum
import math
import os
import threading
from typing import Any, Callable, Iterable, Optional, Sequence, Union

from . import _native
from ._native import lib

PathLike = Union[str, "os.PathLike[str]"]

CHK_RESULT_DOC = 1
"""Bit of ``options``: the typical-document check."""
CHK_SUBJECT = 2
"""Bit of ``options``: the subject question-bank sampling check."""


class Error(Exception):
    """A call that Vardenix could not make: bad arguments, a module that cannot be loaded, a check that
    could not run. A set-up that does not pass is no error: it is a result whose ``passed`` is False."""

    def __init__(self, message: str, status: int = _native.FAILED) -> None:
        super().__init__(message)
        self.status = status
        """The C API's status: 1 invalid argument, 2 failed, 3 out of memory, 4 busy."""


def _check(status: int) -> None:
    if status != _native.OK:
        raise Error(_native.decode(lib.vx_last_error()), status)


class Outcome(str, enum.Enum):
    """What became of one graded item; the values are the names the command's JSON uses."""
    PASSED = "passed"
    FAILED = "failed"
    NOT_GRADED = "notGraded"
    REFUSED_ARCHIVE = "refusedArchive"
    RUN_TIME_FAILURE = "runTimeFailure"


_OUTCOMES = [Outcome.PASSED, Outcome.FAILED, Outcome.NOT_GRADED, Outcome.REFUSED_ARCHIVE, Outcome.RUN_TIME_FAILURE]


def _first_line(text: str) -> str:
    stripped = text.lstrip(" \t\r\n")
    line = stripped.split("\n", 1)[0].split("\r", 1)[0]
    raw = line.encode("utf-8", "surrogateescape")
    if len(raw) > 200:
        cut = 200
        while cut > 0 and (raw[cut] & 0xC0) == 0x80:
            cut -= 1
        line = raw[:cut].decode("utf-8", "surrogateescape") + "..."
    return line


def _declare_utf8(report: str) -> str:
    """A report whose XML declaration names another encoding, declared UTF-8 (the text already is)."""
    if not report.startswith("<?xml"):
        return report
    end = report.find("?>")
    enc = report.find("encoding=")
    if end < 0 or enc < 0 or enc >= end or enc + 9 >= end:
        return report
    quote = report[enc + 9]
    close = report.find(quote, enc + 10)
    if quote in "\"'" and 0 <= close < end:
        return report[:enc + 10] + "UTF-8" + report[close:]
    return report


@dataclasses.dataclass(frozen=True)
class Record:
    """One graded item: the typical document, or one draw of the subject check."""
    typical_document: bool
    module: str
    """C_Module of the record; empty for the typical document."""
    rec_no: str
    """C_RecNo of the record; empty for the typical document."""
    draw: int
    """The draw within its module, from 1; 0 for the typical document."""
    outcome: Outcome
    score: Optional[float]
    """The component's score when it answered (passed or failed), else None."""
    details: str
    """Why not graded, why refused, or the failure's description."""
    err_msg: str
    """The component's error text, when it answered."""
    err_msg_xml: str
    """The component's error XML, when it answered."""
    seconds: float

    @property
    def passed(self) -> bool:
        return self.outcome is Outcome.PASSED

    @property
    def reason(self) -> str:
        """One line saying why the item did not pass ("" when it passed), as the command says it."""
        o = self.outcome
        if o is Outcome.PASSED:
            return ""
        if o is Outcome.FAILED:
            line = _first_line(self.err_msg)
            return "failed, score %g" % (self.score or 0.0) + (": " + line if line else " (the component gave no text)")
        if o is Outcome.NOT_GRADED:
            return "not graded: " + self.details
        if o is Outcome.REFUSED_ARCHIVE:
            return "archive refused: " + (_first_line(self.details) if self.details else "no reason given")
        return "run-time failure: " + (_first_line(self.details) if self.details else "no description given")

    def to_json(self) -> dict[str, Any]:
        """The record as an item of the command's JSON ``records`` list."""
        return {"kind": "typicalDocument" if self.typical_document else "record", "module": self.module,
                "recNo": self.rec_no, "draw": self.draw, "outcome": self.outcome.value, "score": self.score,
                "reason": self.reason, "details": self.details, "errMsg": self.err_msg,
                "errMsgXml": _declare_utf8(self.err_msg_xml), "seconds": self.seconds}


@dataclasses.dataclass
class Module:
    """One module of the subject check: its questions, its draws and how they came out."""
    name: str
    questions: int
    samples: int
    passed: int = 0
    failed: int = 0
    """Failed, refused archives and run-time failures."""
    not_graded: int = 0

    def to_json(self) -> dict[str, Any]:
        return {"name": self.name, "questions": self.questions, "samples": self.samples, "passed": self.passed,
                "failures": self.failed, "notGraded": self.not_graded}


@dataclasses.dataclass
class Result:
    """What a check answered: the verdict, both reports, and every graded item."""
    passed: Optional[bool]
    """The verdict; None for a dry run, which grades nothing."""
    err_msg: str
    """The readable error text (CR LF lines)."""
    err_msg_xml: str
    """The RuleErrs XML report."""
    records: list[Record]
    """Every graded item, in the order graded (draw order)."""
    modules: list[Module]
    seed: int
    """The base seed that replays the sample."""
    ping_path: str = ""
    mode: str = "sample"
    dry_run: bool = False
    module_rows: int = 0
    samples: int = 0
    failed_samples: int = 0
    elapsed_seconds: float = 0.0

    def __bool__(self) -> bool:
        return bool(self.passed)

    @property
    def counts(self) -> dict[str, int]:
        graded = sum(1 for r in self.records if r.outcome is not Outcome.NOT_GRADED)
        passed = sum(1 for r in self.records if r.passed)
        return {"modules": self.module_rows, "samples": self.samples, "failedSamples": self.failed_samples,
                "records": len(self.records), "graded": graded, "passed": passed,
                "notPassed": graded - passed, "notGraded": len(self.records) - graded}

    def to_json(self) -> dict[str, Any]:
        """The object `vardenix check --json` prints (docs/check-result.schema.json)."""
        return {"verdict": None if self.dry_run else self.passed, "errMsg": self.err_msg,
                "errMsgXml": _declare_utf8(self.err_msg_xml), "seed": str(self.seed), "pingPath": self.ping_path,
                "mode": self.mode, "dryRun": self.dry_run, "counts": self.counts,
                "elapsedSeconds": self.elapsed_seconds, "records": [r.to_json() for r in self.records],
                "modules": [m.to_json() for m in self.modules]}


@dataclasses.dataclass(frozen=True)
class Isolation:
    """Runs module components out of process, in a component host process with limits. A crash, a hang
    or a breach then fails the scoring run (the result says what happened) instead of the process."""
    time_limit: Optional[float] = None
    """Seconds of one scoring run (default 120)."""
    memory_limit: Optional[int] = None
    """Bytes of the component's process (default 2 GiB)."""
    answer_limit: Optional[int] = None
    """Bytes of each text the component answers (default 64 MiB)."""
    host_path: Optional[str] = None
    """The vardenix-component-host executable (default: the one installed with the library)."""
    sandbox: bool = False
    """Run under bubblewrap: the system read-only, only ``sandbox_folder`` writable, no network."""
    sandbox_folder: Optional[str] = None
    """The writable folder of the sandbox (default: the working folder)."""


_SELECTION_KINDS = {"sample": 0, "all": 1, "listed": 2}


def default_registry() -> str:
    """The folder of registration records `vardenix register` writes by default."""
    base = os.environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local", "share")
    return os.path.join(base, "vardenix", "registry")


class _Gathering:
    """What the observer was told during one call."""

    def __init__(self, progress: Optional[Callable[[Record], None]]) -> None:
        self.records: list[Record] = []
        self.modules: list[Module] = []
        self.module_rows = 0
        self.samples = 0
        self.failed_samples = 0
        self.progress = progress
        self.problem: Optional[BaseException] = None


class EnviChk:
    """A check object: the scoring component's ProgID, a working folder, and the checks.

    One check runs on an object at a time: calls from several threads on one object wait for each
    other, while separate objects check on separate threads at once (the GIL is released during a
    check). Give each object a working folder of its own.

    Components are found through modules loaded with ``components`` (or :meth:`load_module`) and
    registration records in ``registry`` (default: the folder `vardenix register` writes; "" for
    none). Module components run in this process unless ``isolation`` is given."""

    def __init__(self, ping_name: str = "", ping_path: PathLike = "", *, registry: Optional[PathLike] = None,
                 components: Iterable[PathLike] = (), isolation: Optional[Isolation] = None,
                 seed: Optional[int] = None) -> None:
        handle = ctypes.c_void_p()
        _check(lib.vx_chk_create(ctypes.byref(handle)))
        self._handle: Optional[ctypes.c_void_p] = handle
        self._lock = threading.Lock()
        self._gathering: Optional[_Gathering] = None
        self._selection_mode = "sample"
        self._dry_run = False
        self._isolation: Optional[Isolation] = None
        self._observer = self._make_observer()
        _check(lib.vx_chk_set_observer(handle, ctypes.byref(self._observer)))
        self.ping_name = ping_name
        self.ping_path = ping_path
        self.registry = default_registry() if registry is None else registry
        for module in components:
            self.load_module(module)
        self.isolation = isolation
        if seed is not None:
            self.seed = seed

    # ---- lifetime

    def close(self) -> None:
        """Releases the object; later calls raise Error."""
        with self._lock:
            if self._handle is not None:
                lib.vx_chk_destroy(self._handle)
                self._handle = None

    def __enter__(self) -> "EnviChk":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        handle = getattr(self, "_handle", None)
        if handle is not None:
            self._handle = None
            try:
                lib.vx_chk_destroy(handle)
            except Exception:  # at interpreter exit the library's binding may be gone already
                pass

    def _h(self) -> ctypes.c_void_p:
        if self._handle is None:
            raise Error("the check object is closed", _native.INVALID_ARGUMENT)
        return self._handle

    # ---- properties

    @property
    def ping_name(self) -> str:
        """The ProgID of the scoring component."""
        with self._lock:
            out = ctypes.c_void_p()
            _check(lib.vx_chk_get_ping_name(self._h(), ctypes.byref(out)))
            return _native.take_text(out)

    @ping_name.setter
    def ping_name(self, value: str) -> None:
        with self._lock:
            _check(lib.vx_chk_set_ping_name(self._h(), _native.encode(_text(value, "ping_name"))))

    @property
    def ping_path(self) -> str:
        """The working folder (it must exist); used as given."""
        with self._lock:
            out = ctypes.c_void_p()
            _check(lib.vx_chk_get_ping_path(self._h(), ctypes.byref(out)))
            return _native.take_text(out)

    @ping_path.setter
    def ping_path(self, value: PathLike) -> None:
        with self._lock:
            _check(lib.vx_chk_set_ping_path(self._h(), _native.encode(_path(value, "ping_path"))))

    @property
    def seed(self) -> int:
        """The base seed that replays the sample; setting it starts the draws afresh from that seed."""
        with self._lock:
            out = ctypes.c_uint64()
            _check(lib.vx_chk_get_seed(self._h(), ctypes.byref(out)))
            return out.value

    @seed.setter
    def seed(self, value: int) -> None:
        if not isinstance(value, int) or isinstance(value, bool) or not 0 <= value < 2 ** 64:
            raise Error(f"the seed must be a whole number from 0 to {2 ** 64 - 1}, not {value!r}",
                        _native.INVALID_ARGUMENT)
        with self._lock:
            _check(lib.vx_chk_set_seed(self._h(), value))

    @property
    def registry(self) -> str:
        """The folder of registration records looked up ("" for none)."""
        return self._registry

    @registry.setter
    def registry(self, folder: PathLike) -> None:
        folder = _path(folder, "registry")
        with self._lock:
            _check(lib.vx_chk_set_registry_folder(self._h(), _native.encode(folder)))
        self._registry = folder

    @property
    def isolation(self) -> Optional[Isolation]:
        """How module components run: None in this process, else out of process with these limits."""
        return self._isolation

    @isolation.setter
    def isolation(self, isolation: Optional[Isolation]) -> None:
        with self._lock:
            if isolation is None:
                _check(lib.vx_chk_set_isolation(self._h(), None))
            else:
                if not isinstance(isolation, Isolation):
                    raise Error("isolation must be a vardenix.Isolation or None", _native.INVALID_ARGUMENT)
                s = _native.IsolationSettings(size=ctypes.sizeof(_native.IsolationSettings))
                if isolation.time_limit is not None:
                    if not (isinstance(isolation.time_limit, (int, float)) and 0 < isolation.time_limit < 4294967):
                        raise Error(f"time_limit must be a positive number of seconds, not {isolation.time_limit!r}",
                                    _native.INVALID_ARGUMENT)
                    s.time_limit_ms = max(1, int(round(isolation.time_limit * 1000)))
                s.memory_limit_bytes = _size(isolation.memory_limit, "memory_limit")
                s.answer_limit_bytes = _size(isolation.answer_limit, "answer_limit")
                host = isolation.host_path or _native.component_host()
                s.host_path = _native.encode(host) if host else None
                s.sandbox = 1 if isolation.sandbox else 0
                folder = isolation.sandbox_folder
                if isolation.sandbox and not folder:
                    folder = os.path.abspath(self._ping_path_unlocked())
                s.sandbox_folder = _native.encode(folder) if folder else None
                _check(lib.vx_chk_set_isolation(self._h(), ctypes.byref(s)))
        self._isolation = isolation

    def _ping_path_unlocked(self) -> str:
        out = ctypes.c_void_p()
        _check(lib.vx_chk_get_ping_path(self._h(), ctypes.byref(out)))
        return _native.take_text(out)

    def load_module(self, path: PathLike) -> None:
        """Loads a component module (.so) for this object; its classes come before registration records."""
        with self._lock:
            _check(lib.vx_chk_load_module(self._h(), _native.encode(_path(path, "module path"))))

    def select(self, kind: str = "sample", *, records: Sequence[tuple[str, str]] = (), dry_run: bool = False,
               jobs: int = 1) -> None:
        """How later subject checks pick their records: "sample" (floor(rate x questions) + 1 draws per
        module, with replacement), "all" (every question once, in bank order, ``jobs`` at once) or
        "listed" (exactly ``records``, as (module, record number) pairs). With ``dry_run`` nothing is
        graded: every draw is a record that was not graded, and the verdict only says the draws could be
        made."""
        if kind not in _SELECTION_KINDS:
            raise Error(f"kind must be one of {', '.join(_SELECTION_KINDS)}, not {kind!r}", _native.INVALID_ARGUMENT)
        if not isinstance(jobs, int) or isinstance(jobs, bool) or not 1 <= jobs <= 256:
            raise Error(f"jobs must be a whole number from 1 to 256, not {jobs!r}", _native.INVALID_ARGUMENT)
        s = _native.Selection(size=ctypes.sizeof(_native.Selection), kind=_SELECTION_KINDS[kind],
                              dry_run=1 if dry_run else 0, jobs=jobs)
        if kind == "listed":
            pairs = [(_text(m, "module"), _text(r, "record number")) for m, r in records]
            modules = (ctypes.c_char_p * len(pairs))(*[_native.encode(m) for m, _ in pairs])
            rec_nos = (ctypes.c_char_p * len(pairs))(*[_native.encode(r) for _, r in pairs])
            s.listed_modules = ctypes.cast(modules, ctypes.POINTER(ctypes.c_char_p))
            s.listed_rec_nos = ctypes.cast(rec_nos, ctypes.POINTER(ctypes.c_char_p))
            s.listed_count = len(pairs)
        with self._lock:
            _check(lib.vx_chk_set_selection(self._h(), ctypes.byref(s)))
        self._selection_mode = {"sample": "sample", "all": "all", "listed": "rerun"}[kind]
        self._dry_run = dry_run

    # ---- the checks

    def result_chk(self, archive: bytes, rule: str, *,
                   progress: Optional[Callable[[Record], None]] = None) -> Result:
        """The typical-document check alone: stages ``archive`` as ChkPing.ZIP in the working folder,
        extracts it and lets the component grade it against ``rule``. Passes on exactly full marks."""
        data = _bytes(archive)
        rule_bytes = _native.encode(_text(rule, "rule"))
        passed = ctypes.c_int32()
        text, xml = ctypes.c_void_p(), ctypes.c_void_p()
        return self._run(progress, lambda h: lib.vx_chk_result_chk(
            h, data, len(data), rule_bytes, ctypes.byref(passed), ctypes.byref(text), ctypes.byref(xml)),
            passed, text, xml)

    def ping_envi_chk(self, archive: bytes = b"", rule: str = "", options: int = 3, total_db: PathLike = "",
                      subject_db: PathLike = "", subject_code: str = "", contract: int = -1, rate: float = 0.1, *,
                      progress: Optional[Callable[[Record], None]] = None) -> Result:
        """Runs the checks ``options`` asks for (1 the typical document, 2 the subject's question bank,
        3 both) and answers the verdict with both reports and every graded item. A missing bank, a
        component that is not installed or that crashes make the verdict False; only a call that
        cannot be made raises Error. ``progress`` is called with each record as it is graded, on the
        checking thread."""
        if not isinstance(options, int) or isinstance(options, bool):
            raise Error(f"options must be a whole number (1, 2 or 3), not {options!r}", _native.INVALID_ARGUMENT)
        if not isinstance(contract, int) or isinstance(contract, bool) or not -2 ** 31 <= contract < 2 ** 31:
            raise Error(f"contract must be a 32-bit whole number, not {contract!r}", _native.INVALID_ARGUMENT)
        if not isinstance(rate, (int, float)) or isinstance(rate, bool):
            raise Error(f"rate must be a number, not {rate!r}", _native.INVALID_ARGUMENT)
        data = _bytes(archive)
        args = _native.PingArgs(size=ctypes.sizeof(_native.PingArgs), options=options,
                                archive=data, archive_len=len(data),
                                rule=_native.encode(_text(rule, "rule")),
                                total_path=_native.encode(_path(total_db, "total_db")),
                                subject_path=_native.encode(_path(subject_db, "subject_db")),
                                subject_code=_native.encode(_text(subject_code, "subject_code")),
                                contract_code=contract, rate=_single(rate))
        passed = ctypes.c_int32()
        text, xml = ctypes.c_void_p(), ctypes.c_void_p()
        return self._run(progress, lambda h: lib.vx_chk_ping_envi_chk(
            h, ctypes.byref(args), ctypes.byref(passed), ctypes.byref(text), ctypes.byref(xml)),
            passed, text, xml, keep=data)

    def _run(self, progress: Optional[Callable[[Record], None]], call: Callable[[ctypes.c_void_p], int],
             passed: ctypes.c_int32, text: ctypes.c_void_p, xml: ctypes.c_void_p, keep: object = None) -> Result:
        with self._lock:
            handle = self._h()
            gathering = _Gathering(progress)
            self._gathering = gathering
            try:
                status = call(handle)  # the GIL is released inside
            finally:
                self._gathering = None
            err_msg, err_msg_xml = _native.take_text(text), _native.take_text(xml)
            _check(status)
            seed = ctypes.c_uint64()
            _check(lib.vx_chk_get_seed(handle, ctypes.byref(seed)))
            if gathering.problem is not None:
                raise gathering.problem
            return Result(passed=bool(passed.value), err_msg=err_msg, err_msg_xml=err_msg_xml,
                          records=gathering.records, modules=gathering.modules, seed=seed.value,
                          ping_path=self._ping_path_unlocked(), mode=self._selection_mode, dry_run=self._dry_run,
                          module_rows=gathering.module_rows, samples=gathering.samples,
                          failed_samples=gathering.failed_samples)

    def _make_observer(self) -> _native.Observer:
        # The callbacks hold the object weakly through a closure over a list, so that the object can be
        # collected; they run on the checking thread with the GIL taken again by ctypes.
        import weakref
        me = weakref.ref(self)

        def gathering() -> Optional[_Gathering]:
            chk = me()
            return chk._gathering if chk is not None else None

        def on_modules(_: Any, count: int) -> None:
            g = gathering()
            if g is not None:
                g.module_rows = count

        def on_module(_: Any, index: int, name: bytes, questions: int, samples: int) -> None:
            g = gathering()
            if g is not None:
                g.modules.append(Module(_native.decode(name), questions, samples))

        def on_sample(_: Any, module: bytes, rec_no: bytes, passed: int) -> None:
            g = gathering()
            if g is not None:
                g.samples += 1
                g.failed_samples += 0 if passed else 1

        def on_extraction_failed(_: Any, path: bytes, reason: bytes) -> None:
            pass

        def on_record(_: Any, pointer: Any) -> None:
            g = gathering()
            if g is None:
                return
            r = pointer.contents
            outcome = _OUTCOMES[r.outcome] if 0 <= r.outcome < len(_OUTCOMES) else Outcome.RUN_TIME_FAILURE
            record = Record(typical_document=bool(r.typical_document), module=_native.decode(r.module),
                            rec_no=_native.decode(r.rec_no), draw=r.draw, outcome=outcome,
                            score=float(r.score) if outcome in (Outcome.PASSED, Outcome.FAILED) else None,
                            details=_native.decode(r.reason), err_msg=_native.decode(r.text),
                            err_msg_xml=_native.decode(r.xml), seconds=r.seconds)
            g.records.append(record)
            if not record.typical_document and g.modules:
                m = g.modules[-1]
                if outcome is Outcome.PASSED:
                    m.passed += 1
                elif outcome is Outcome.NOT_GRADED:
                    m.not_graded += 1
                else:
                    m.failed += 1
            if g.progress is not None and g.problem is None:
                try:
                    g.progress(record)
                except BaseException as e:  # raised again when the check returns
                    g.problem = e

        self._callbacks = (_native.ON_MODULES(on_modules), _native.ON_MODULE(on_module), _native.ON_SAMPLE(on_sample),
                           _native.ON_EXTRACTION_FAILED(on_extraction_failed), _native.ON_RECORD(on_record))
        return _native.Observer(ctypes.sizeof(_native.Observer), None, *self._callbacks)


def _text(value: object, what: str) -> str:
    if not isinstance(value, str):
        raise Error(f"{what} must be text (str), not {type(value).__name__}", _native.INVALID_ARGUMENT)
    if "\0" in value:
        raise Error(f"{what} holds a NUL character", _native.INVALID_ARGUMENT)
    return value


def _path(value: object, what: str) -> str:
    if isinstance(value, bytes) or not isinstance(value, (str, os.PathLike)):
        raise Error(f"{what} must be a path (str or os.PathLike), not {type(value).__name__}", _native.INVALID_ARGUMENT)
    return _text(os.fspath(value), what)


def _bytes(value: object) -> bytes:
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    raise Error(f"the archive must be bytes, not {type(value).__name__}", _native.INVALID_ARGUMENT)


def _size(value: Optional[int], what: str) -> int:
    if value is None:
        return 0
    if not isinstance(value, int) or isinstance(value, bool) or not 0 < value < 2 ** 63:
        raise Error(f"{what} must be a positive number of bytes, not {value!r}", _native.INVALID_ARGUMENT)
    return value


def _single(rate: float) -> float:
    # The library takes any rate, as the C++ check object does (NaN and infinities fail the subject
    # check); a finite number beyond single precision becomes an infinity likewise.
    value = float(rate)
    if math.isfinite(value) and abs(value) > 3.4028234663852886e38:
        return math.copysign(math.inf, value)
    return value
