"""The check of bench/run's bank through the Python package, in-process, as a host would run it.

    python_host.py MODULE WORK_FOLDER TOTAL SUBJECT SUBJECT_CODE RATE

Prints "SECONDS RECORDS": the seconds of the ping_envi_chk call and the records it graded.

    python_host.py --calls

Prints the cost of one call into the library through ctypes, in microseconds: a bare call
(vx_chk_get_seed) and a property read (EnviChk.seed, with the object's lock and the status check)."""
import ctypes
import sys
import time

import vardenix
from vardenix._native import lib


def calls() -> None:
    chk = vardenix.EnviChk(registry="")
    n = 200_000
    handle, out = chk._handle, ctypes.c_uint64()
    start = time.perf_counter()
    for _ in range(n):
        lib.vx_chk_get_seed(handle, ctypes.byref(out))
    bare = (time.perf_counter() - start) / n * 1e6
    start = time.perf_counter()
    for _ in range(n):
        chk.seed
    prop = (time.perf_counter() - start) / n * 1e6
    print(f"{bare:.2f} {prop:.2f}")


if sys.argv[1:] == ["--calls"]:
    calls()
    sys.exit(0)
module, work, total, subject, code, rate = sys.argv[1:7]
chk = vardenix.EnviChk("Vardenix.FileCheck", work, registry="", components=[module], seed=7)
start = time.perf_counter()
result = chk.ping_envi_chk(options=vardenix.CHK_SUBJECT, total_db=total, subject_db=subject, subject_code=code,
                           rate=float(rate))
seconds = time.perf_counter() - start
print(f"{seconds:.6f} {len(result.records)}")

sys.exit(0 if result.passed else 1)
