' The check object from VBScript, as a script host uses it: created by ProgID, both properties set
' and read, ResultChk and PingEnviChk called with optional arguments left out.
' Usage: cscript //nologo host_test.vbs FIXTURES   (prints "N passed, N failed")
Option Explicit
Dim passed, failed
passed = 0
failed = 0

' Text for WScript.Echo, in ASCII with \xHHHH for the rest (its code in the ANSI code page, as Wine 8's
' VBScript has no AscW): Wine 8's cscript sizes its output buffer in characters rather than bytes,
' and overruns its heap (crashing at random) when it prints text that takes more bytes than
' characters in the console's code page, as Chinese does.
Function Ascii(text)
  Dim i, c, out
  out = ""
  For i = 1 To Len(text)
    c = Asc(Mid(text, i, 1))
    If c < 0 Then c = c + 65536
    If c >= 32 And c < 127 Then
      out = out & Mid(text, i, 1)
    Else
      out = out & "\x" & Hex(c)
    End If
  Next
  Ascii = out
End Function

Sub Check(ok, name)
  If ok Then
    passed = passed + 1
  Else
    failed = failed + 1
    WScript.Echo "FAIL: " & Ascii(name)
  End If
End Sub

' The bytes of a file: through ADODB.Stream where the system has it, else from the list of byte
' values that the test wrote beside the file (an array of numbers, which the object also takes).
Function ReadBytes(path)
  On Error Resume Next
  Dim stream
  Set stream = CreateObject("ADODB.Stream")
  If Err.Number = 0 Then
    stream.Type = 1
    stream.Open
    stream.LoadFromFile path
    ReadBytes = stream.Read
    stream.Close
  End If
  If Err.Number <> 0 Or VarType(ReadBytes) <> 8209 Then
    Err.Clear
    On Error GoTo 0
    ' (Declared without parentheses: Wine's 64-bit VBScript crashes on "Dim values()".)
    Dim fso, text, parts, i, values
    Set fso = CreateObject("Scripting.FileSystemObject")
    text = fso.OpenTextFile(path & ".bytes", 1).ReadAll
    parts = Split(Trim(text), " ")
    ReDim values(UBound(parts))
    For i = 0 To UBound(parts)
      values(i) = CInt(parts(i))
    Next
    ReadBytes = values
  End If
End Function

Dim fixtures, chk, bytes, rule, msg, xml, verdict
fixtures = WScript.Arguments(0)
Set chk = CreateObject("Vardenix.ClsEnviChk")
Check chk.PingName = "", "PingName is empty on a fresh object"
Check chk.PingPath = "", "PingPath is empty on a fresh object"
chk.PingName = "Vardenix.FileCheck"
chk.PingPath = fixtures & "\vbs 工作"
Check chk.PingName = "Vardenix.FileCheck", "PingName reads back"
Check chk.PingPath = fixtures & "\vbs 工作", "PingPath reads back with its Chinese name"
CreateObject("Scripting.FileSystemObject").CreateFolder fixtures & "\vbs 工作"

rule = "2 exists 考生/报告.txt" & vbCrLf & "3 contains 考生/报告.txt 合计,175" & vbCrLf
bytes = ReadBytes(fixtures & "\pass.zip")
msg = "old"
xml = "old"
verdict = chk.ResultChk(bytes, rule, msg, xml)
Check verdict = True, "ResultChk passes the passing document"
Check msg = "", "ResultChk: no error text for a full score"

bytes = ReadBytes(fixtures & "\fail.zip")
verdict = chk.PingEnviChk(msg, xml, bytes, rule, 1)
Check verdict = False, "PingEnviChk fails the failing document"
Check Len(msg) > 0 And InStr(xml, "<RuleErrs") > 0, "PingEnviChk: both reports"
WScript.Echo "verdict: " & Ascii(CStr(verdict))
WScript.Echo "report: " & Ascii(msg)

verdict = chk.PingEnviChk(msg, xml, bytes, rule)
Check verdict = False, "PingEnviChk with every optional argument left out (both checks)"

WScript.Echo passed & " passed, " & failed & " failed"
