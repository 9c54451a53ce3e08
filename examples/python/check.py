#!/usr/bin/env python3
"""Checks one typical document: a model-answer archive and its rule.

    python3 check.py ARCHIVE RULE_FILE [--component MODULE.so]

The component Vardenix.FileCheck is found through `vardenix register` (the default registry) or the
module given. Exit status 0 passed, 1 not passed, 2 the check could not run.
"""
import argparse
import sys
import tempfile

import vardenix


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("archive")
    parser.add_argument("rule")
    parser.add_argument("--component", action="append", default=[])
    args = parser.parse_args()
    try:
        with open(args.archive, "rb") as f:
            archive = f.read()
        with open(args.rule, encoding="utf-8") as f:
            rule = f.read()
        with tempfile.TemporaryDirectory() as work:  # an empty working folder for this check alone
            chk = vardenix.EnviChk("Vardenix.FileCheck", work, components=args.component)
            result = chk.ping_envi_chk(archive=archive, rule=rule, options=vardenix.CHK_RESULT_DOC)
    except (OSError, vardenix.Error) as e:
        print(f"check.py: {e}", file=sys.stderr)
        return 2
    print("passed" if result.passed else result.err_msg.replace("\r\n", "\n"), end="\n" if result.passed else "")
    return 0 if result.passed else 1


if __name__ == "__main__":
    sys.exit(main())
