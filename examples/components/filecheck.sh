#!/bin/sh
# A scoring component for Vardenix as a program: file-operation questions, in POSIX shell.
#
# Register it once, then check with its ProgID:
#     vardenix register --program Acme.ShFileCheck -- /bin/sh /path/to/filecheck.sh
#     vardenix check --ping-name Acme.ShFileCheck --archive typical.zip --rule-text '1 exists 考生/报告.txt'
#
# Vardenix starts it once per scoring run, in the working folder (where the answer was extracted),
# and writes one JSON object on its stdin, on one line, with text as UTF-8 and only '"', '\' and
# control characters escaped; it writes one JSON object on stdout (docs/component-programs.md).
#
# Rules, one per line (blank lines and lines starting with # are ignored):
#     2 exists 考生/报告.txt       a regular file is there
#     1 absent 考生/临时.tmp       nothing is there
#     1 folder 考生/图片           a folder is there
#     3 contains 考生/成绩.csv 合计,175    the file holds the rest of the line
# Points are whole numbers here; paths have no blanks, use / or \, and may not leave the folder.
# Symbolic links are never followed.
set -u
LC_ALL=C
export LC_ALL

request=$(cat)

# The value of the text member $1 of the request, its JSON escapes undone.
member() {
  printf '%s' "$request" | awk -v key="\"$1\":\"" '
    function hex(h,   i, v) {
      v = 0
      for (i = 1; i <= 4; i++) v = v * 16 + index("0123456789abcdef", tolower(substr(h, i, 1))) - 1
      return v
    }
    { s = s $0 "\n" }
    END {
      i = index(s, key)
      if (i == 0) exit
      i += length(key)
      out = ""
      while (i <= length(s)) {
        c = substr(s, i, 1)
        if (c == "\"") break
        if (c == "\\") {
          i++
          c = substr(s, i, 1)
          if (c == "n") c = "\n"
          else if (c == "r") c = "\r"
          else if (c == "t") c = "\t"
          else if (c == "b") c = "\b"
          else if (c == "f") c = "\f"
          else if (c == "u") { c = sprintf("%c", hex(substr(s, i + 1, 4))); i += 4 }
        }
        out = out c
        i++
      }
      printf "%s", out
    }'
}

# $1 as the inside of a JSON string, and as XML text.
json_text() { printf '%s' "$1" | sed -e 's/\\/\\\\/g' -e 's/"/\\"/g' -e 's/	/\\t/g'; }
xml_text() { printf '%s' "$1" | sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g'; }

fail() {
  printf '{"protocol": 1, "error": "%s"}\n' "$(json_text "$1")"
  exit 0
}

# Whether the relative path $1 is of kind $2 (file, folder, nothing), no symbolic link on the way.
is() {
  walked=.
  rest=$1
  while [ -n "$rest" ]; do
    part=${rest%%/*}
    if [ "$part" = "$rest" ]; then rest=; else rest=${rest#*/}; fi
    [ -z "$part" ] && continue
    walked=$walked/$part
    if [ -L "$walked" ]; then [ "$2" = other ]; return; fi
    if [ -n "$rest" ] && [ ! -d "$walked" ]; then [ "$2" = nothing ]; return; fi
  done
  case $2 in
    file) [ -f "$walked" ] ;;
    folder) [ -d "$walked" ] ;;
    nothing) [ ! -e "$walked" ] ;;
  esac
}

total=$(printf '%s' "$request" | sed -n 's/.*"GetTotalScore":\([0-9][0-9]*\).*/\1/p')
[ -n "$total" ] || total=100
rules=$(member AnsCont)

all=0
earned=0
number=0
text=
xml=
# The loop reads from a here-document so that its variables stay in this shell.
while IFS= read -r line; do
  number=$((number + 1))
  line=$(printf '%s' "$line" | tr -d '\r')
  case $line in '' | '#'*) continue ;; esac
  set -f
  # shellcheck disable=SC2086
  set -- $line
  set +f
  [ $# -ge 3 ] || fail "rule line $number: a rule is POINTS KIND PATH"
  points=$1 kind=$2 path=$(printf '%s' "$3" | tr '\\' '/')
  shift 3
  wanted="$*"
  case $points in '' | *[!0-9]* | 0) fail "rule line $number: the points must be a positive whole number" ;; esac
  case /$path/ in //* | */../*) fail "rule line $number: the path $path leaves the answer folder" ;; esac
  case $path in ?:*) fail "rule line $number: the path $path leaves the answer folder" ;; esac
  all=$((all + points))
  info=
  case $kind in
    exists) operation=文件存在; is "$path" file || info="缺少文件 $path" ;;
    absent) operation=文件不存在; is "$path" nothing || info="$path 不应存在" ;;
    folder) operation=文件夹存在; is "$path" folder || info="缺少文件夹 $path" ;;
    contains)
      operation=文件内容
      [ -n "$wanted" ] || fail "rule line $number: contains needs the text to look for"
      if ! is "$path" file; then info="缺少文件 $path"
      elif ! grep -qF -- "$wanted" "$path"; then info="文件 $path 中没有“$wanted”"; fi ;;
    *) fail "rule line $number: unknown rule kind \"$kind\"" ;;
  esac
  if [ -z "$info" ]; then
    earned=$((earned + points))
  else
    text="$text第${number}行（${points}分）：$(json_text "$info")\\r\\n"
    xml="$xml<RuleErr><Rule>$(xml_text "$line")</Rule><RuleErrInfo>$(xml_text "$info")</RuleErrInfo><Operation>$operation</Operation><NeedSet/><UserSet/><Runtime/><Format/></RuleErr>"
  fi
done <<END_OF_RULES
$rules
END_OF_RULES

[ "$all" -gt 0 ] || fail "the rule text holds no rule"
if [ "$earned" -eq "$all" ]; then
  score=$total  # exactly full marks
else
  score=$(awk -v t="$total" -v e="$earned" -v a="$all" 'BEGIN { printf "%.4f", t * e / a }')
fi
[ -z "$xml" ] || xml=$(json_text "<?xml version=\"1.0\" encoding=\"UTF-8\"?><RuleErrs>$xml</RuleErrs>")
printf '{"protocol": 1, "ping": %s, "ShowErr": "%s", "ErrMsgXml": "%s"}\n' "$score" "$text" "$xml"
