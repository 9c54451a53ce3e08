#!/usr/bin/env python3
"""What a user would write instead of Vardenix: one Python process that reads the question bank with
sqlite3, extracts each record's answer archive with zipfile into a working folder and checks the
rule's file. bench/run times it against `vardenix check`.

usage: anchor.py SUBJECT_DB WORK_DIR RELATIVE_FILE [LIMIT]
Prints the number of records checked (the first LIMIT when given); exits 1 when a record's file is
missing.
"""
import io
import os
import sqlite3
import sys
import zipfile


def main():
    bank, work, wanted = sys.argv[1:4]
    limit = int(sys.argv[4]) if len(sys.argv) > 4 else -1
    db = sqlite3.connect(bank)
    count = 0
    for rec_no, blob in db.execute("SELECT C_RecNo, O_Rudecont FROM Tbl_Operation ORDER BY C_RecNo LIMIT ?", (limit,)):
        with zipfile.ZipFile(io.BytesIO(blob)) as archive:
            archive.extractall(work)
        if not os.path.isfile(os.path.join(work, wanted)):
            print(f"record {rec_no}: {wanted} missing", file=sys.stderr)
            return 1
        count += 1
    print(count)
    return 0


if __name__ == "__main__":
    sys.exit(main())
