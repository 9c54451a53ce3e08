#!/usr/bin/env python3
"""A scoring component for Vardenix as a program: file-operation questions, in Python.

Register it once, then check with its ProgID:
    vardenix register --program Acme.PyFileCheck -- python3 /path/to/filecheck.py
    vardenix check --ping-name Acme.PyFileCheck --archive typical.zip --rule-text '1 exists 考生/报告.txt'

Vardenix starts it once per scoring run, in the working folder (where the answer was extracted), and
writes one JSON object on its stdin; it writes one JSON object on stdout (docs/component-programs.md).
Its rule text is that of the Vardenix.FileCheck module, one rule per line:
    2 exists 考生\\报告.txt        a regular file is there
    1 absent 考生/临时.tmp         nothing is there
    1 folder 考生/图片             a folder is there
    3 contains "考生/my notes.txt" 合计,175    the file's UTF-8 text holds the rest of the line
Blank lines and lines starting with # are ignored. Symbolic links are never followed.
"""
import json
import os
import stat
import sys
from xml.sax.saxutils import escape

OPERATIONS = {"exists": "文件存在", "absent": "文件不存在", "folder": "文件夹存在", "contains": "文件内容"}


class RuleError(Exception):
    pass


def parse_rules(text):
    """[(line number, source line, points, kind, path parts, text)]; raises RuleError."""
    rules = []
    for number, line in enumerate(text.replace("\r\n", "\n").split("\n"), start=1):
        source = line.strip()
        if not source or source.startswith("#"):
            continue
        fields = source.split(None, 2)
        if len(fields) < 3:
            raise RuleError(f"rule line {number}: a rule is POINTS KIND PATH")
        points_text, kind, rest = fields
        try:
            points = float(points_text)
        except ValueError:
            raise RuleError(f"rule line {number}: the points {points_text!r} are not a number") from None
        if not points > 0:
            raise RuleError(f"rule line {number}: the points must be positive")
        if kind not in OPERATIONS:
            raise RuleError(f"rule line {number}: unknown rule kind \"{kind}\"")
        if rest.startswith('"'):
            end = rest.find('"', 1)
            if end < 0:
                raise RuleError(f"rule line {number}: the quoted path has no closing quote")
            path, tail = rest[1:end], rest[end + 1:].strip()
        else:
            path, _, tail = rest.partition(" ")
            tail = tail.strip()
        parts = [p for p in path.replace("\\", "/").split("/") if p not in ("", ".")]
        if path.startswith(("/", "\\")) or (len(path) > 1 and path[1] == ":") or ".." in parts or not parts:
            raise RuleError(f"rule line {number}: the path {path!r} leaves the answer folder")
        if kind == "contains" and not tail:
            raise RuleError(f"rule line {number}: contains needs the text to look for")
        if kind != "contains" and tail:
            raise RuleError(f"rule line {number}: unexpected text after the path")
        rules.append((number, source, points, kind, parts, tail))
    if not rules:
        raise RuleError("the rule text holds no rule")
    return rules


def look(parts):
    """'nothing', 'file', 'folder' or 'other', without following a symbolic link anywhere."""
    path = "."
    for index, part in enumerate(parts):
        path = os.path.join(path, part)
        try:
            mode = os.lstat(path).st_mode
        except FileNotFoundError:
            return "nothing", path
        except NotADirectoryError:
            return "nothing", path
        last = index == len(parts) - 1
        if stat.S_ISLNK(mode):
            return "other", path
        if not last and not stat.S_ISDIR(mode):
            return "nothing", path
    if stat.S_ISREG(mode):
        return "file", path
    if stat.S_ISDIR(mode):
        return "folder", path
    return "other", path


NAMES = {"nothing": "无", "file": "文件", "folder": "文件夹", "other": "其他"}


def shortfall(kind, parts, text):
    """None when the rule is met, else (info, need, found)."""
    shown = "/".join(parts)
    found, path = look(parts)
    if kind == "absent":
        return None if found == "nothing" else (f"{shown} 不应存在，却有{NAMES[found]}", f"没有 {shown}", NAMES[found])
    if kind == "folder":
        if found == "folder":
            return None
        if found == "nothing":
            return (f"缺少文件夹 {shown}", f"文件夹 {shown}", NAMES[found])
        return (f"{shown} 应是文件夹，却是{NAMES[found]}", f"文件夹 {shown}", NAMES[found])
    if found == "nothing":
        return (f"缺少文件 {shown}", f"文件 {shown}", NAMES[found])
    if found != "file":
        return (f"{shown} 应是文件，却是{NAMES[found]}", f"文件 {shown}", NAMES[found])
    if kind == "exists":
        return None
    with open(path, "rb") as f:
        content = f.read().decode("utf-8", errors="replace")
    return None if text in content else (f"文件 {shown} 中没有“{text}”", f"含有“{text}”", "不含")


def rule_err(source, info, operation, need, found):
    fields = [("Rule", source), ("RuleErrInfo", info), ("Operation", operation), ("NeedSet", need),
              ("UserSet", found), ("Runtime", ""), ("Format", "")]
    return "<RuleErr>" + "".join(f"<{n}>{escape(v)}</{n}>" if v else f"<{n}/>" for n, v in fields) + "</RuleErr>"


def grade(request):
    total = float(request.get("GetTotalScore", 100))
    rules = parse_rules(request.get("AnsCont") or "")
    all_points = earned = 0.0
    text, xml = "", ""
    for number, source, points, kind, parts, wanted in rules:
        all_points += points
        missing = shortfall(kind, parts, wanted)
        if missing is None:
            earned += points
            continue
        info, need, found = missing
        text += f"第{number}行（{points:g}分）：{info}\r\n"
        xml += rule_err(source, info, OPERATIONS[kind], need, found)
    if earned == all_points:
        score = total  # exactly full marks, with no arithmetic that could round it
    else:
        score = min(total * earned / all_points, total * (1 - 1e-6))
    report = f'<?xml version="1.0" encoding="UTF-8"?><RuleErrs>{xml}</RuleErrs>' if xml else ""
    return {"protocol": 1, "ping": score, "ShowErr": text, "ErrMsgXml": report}


def main():
    # Bytes in, ASCII out: the locale's encoding plays no part.
    request = json.load(sys.stdin.buffer)
    if request.get("protocol") != 1:
        answer = {"protocol": 1, "error": f"this component speaks protocol 1, not {request.get('protocol')}"}
    else:
        try:
            answer = grade(request)
        except RuleError as e:
            answer = {"protocol": 1, "error": str(e)}
    json.dump(answer, sys.stdout)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()
