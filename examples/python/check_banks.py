#!/usr/bin/env python3
"""Checks every subject in a folder of question banks, several at once, and prints one line each.

    python3 check_banks.py FOLDER [--rate 0.1] [--threads 4] [--component MODULE.so]

FOLDER holds one folder per subject, named by its subject code, with total.db and subject.db inside
(FOLDER/JSJ01/total.db, FOLDER/JSJ01/subject.db, ...). Each subject is checked by a check object of
its own, in a working folder of its own, on a thread of its own: the checks run at once. Exit status
0 when every subject passed, 1 otherwise, 2 when a check could not run.
"""
import argparse
import concurrent.futures
import pathlib
import sys
import tempfile

import vardenix


def check_subject(folder: pathlib.Path, rate: float, components: list) -> tuple:
    with tempfile.TemporaryDirectory() as work:
        chk = vardenix.EnviChk("Vardenix.FileCheck", work, components=components,
                               isolation=vardenix.Isolation(time_limit=120))
        result = chk.ping_envi_chk(options=vardenix.CHK_SUBJECT, total_db=folder / "total.db",
                                   subject_db=folder / "subject.db", subject_code=folder.name, rate=rate)
    return folder.name, result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", type=pathlib.Path)
    parser.add_argument("--rate", type=float, default=0.1)
    parser.add_argument("--threads", type=int, default=4)
    parser.add_argument("--component", action="append", default=[])
    args = parser.parse_args()
    subjects = sorted(p for p in args.folder.iterdir() if (p / "total.db").exists())
    if not subjects:
        print(f"check_banks.py: no folder with total.db in {args.folder}", file=sys.stderr)
        return 2
    failed = 0
    with concurrent.futures.ThreadPoolExecutor(args.threads) as pool:
        jobs = [pool.submit(check_subject, s, args.rate, args.component) for s in subjects]
        for job in jobs:
            try:
                code, result = job.result()
            except vardenix.Error as e:
                print(f"check_banks.py: {e}", file=sys.stderr)
                return 2
            bad = [r for r in result.records if not r.passed]
            print(f"{code}: {'passed' if result.passed else 'NOT PASSED'}, {len(result.records)} records, "
                  f"seed {result.seed}" + "".join(f"\n  {r.module} {r.rec_no}: {r.reason}" for r in bad))
            if not result.passed and not bad:
                print("  " + result.err_msg.strip().replace("\r\n", "\n  "))
            failed += 0 if result.passed else 1
    print(f"{len(subjects) - failed} of {len(subjects)} subjects passed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
