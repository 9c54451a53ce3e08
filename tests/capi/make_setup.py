#!/usr/bin/env python3
"""Makes a small exam set-up for the tests of the C API and the Python package.

    make_setup.py OUT_DIR VARDENIX_COMMAND FILECHECK_MODULE

OUT_DIR receives typical.zip (one file, 考生/报告.txt) with typical.rule, total.db and subject.db
(subject JSJ01: module Word with DOC-01 and DOC-02, which pass, and DOC-03, whose stored answer
lacks the file its rule asks for; module Excel with XLS-01 and XLS-02, which pass), and registry/,
where the Vardenix.FileCheck module is registered. Answer archives are made by Python's zipfile.
"""
import pathlib
import shutil
import subprocess
import sys
import zipfile


def write_zip(path, files):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, text in files.items():
            z.writestr(name, text.encode("utf-8"))


def main():
    out, vardenix, module = pathlib.Path(sys.argv[1]), sys.argv[2], sys.argv[3]
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)

    def run(*args):
        subprocess.run([vardenix, *args], check=True, stdout=subprocess.DEVNULL)

    write_zip(out / "typical.zip", {"考生/报告.txt": "年度报告：完成全部计划。"})
    (out / "typical.rule").write_text("1 exists 考生/报告.txt\n", encoding="utf-8")
    run("bank", "create-total", str(out / "total.db"))
    run("bank", "create-subject", str(out / "subject.db"))
    questions = {
        "Word": [("DOC-01", {"考生/报告.txt": "完成"}, "2 exists 考生/报告.txt\n3 contains 考生/报告.txt 完成"),
                 ("DOC-02", {"考生/信函/邀请函.txt": "毕业典礼"}, "5 contains 考生/信函/邀请函.txt 毕业典礼"),
                 ("DOC-03", {"考生/草稿.txt": "草稿"}, "5 exists 考生/目录.txt")],
        "Excel": [("XLS-01", {"考生/成绩.csv": "合计,175"}, "5 contains 考生/成绩.csv 合计,175"),
                  ("XLS-02", {"考生/图表.txt": "图"}, "5 exists 考生/图表.txt")],
    }
    for module_name, rows in questions.items():
        run("bank", "add-module", str(out / "total.db"), "--subject-code", "JSJ01", "--module", module_name,
            "--contract", "2026")
        for rec_no, files, rule in rows:
            archive = out / f"{rec_no}.zip"
            write_zip(archive, files)
            run("bank", "add-question", str(out / "subject.db"), "--module", module_name, "--rec-no", rec_no,
                "--answer", rule, "--archive", str(archive))
            archive.unlink()
    run("register", "--registry", str(out / "registry"), module)


if __name__ == "__main__":
    main()
