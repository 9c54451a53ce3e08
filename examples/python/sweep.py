#!/usr/bin/env python3
"""Grades every question of a subject's question banks and prints each record's outcome.

    python3 sweep.py TOTAL_DB SUBJECT_DB SUBJECT_CODE [--component MODULE.so] [--jobs N] [--json FILE]

Runs as `vardenix check --all` does (components out of process, in a temporary working folder);
--json writes the same object as the command's --json. Exit status 0 when every record passed.
"""
import argparse
import json
import sys

import vardenix


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("total")
    parser.add_argument("subject")
    parser.add_argument("subject_code")
    parser.add_argument("--component", action="append", default=[])
    parser.add_argument("--jobs", type=int, default=None)
    parser.add_argument("--json")
    args = parser.parse_args()

    def progress(record: vardenix.Record) -> None:  # called on the checking thread as each record is graded
        print(f"{record.module:10} {record.rec_no:12} {record.outcome.value:14} {record.reason}")

    try:
        result = vardenix.check("Vardenix.FileCheck", total=args.total, subject=args.subject,
                                subject_code=args.subject_code, all=True, jobs=args.jobs, component=args.component,
                                progress=progress)
    except vardenix.Error as e:
        print(f"sweep.py: {e}", file=sys.stderr)
        return 2
    for m in result.modules:
        print(f"module {m.name}: {m.questions} questions, {m.passed} passed, {m.failed} failed, "
              f"{m.not_graded} not graded")
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(result.to_json(), f, ensure_ascii=False, indent=1)
    print("verdict:", "passed" if result.passed else "not passed")
    return 0 if result.passed else 1


if __name__ == "__main__":
    sys.exit(main())
