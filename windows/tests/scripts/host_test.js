// The check object from JScript: created by ProgID, properties set and read, both checks called
// with optional arguments left out. JScript passes arguments by value, so the reports of a call
// cannot come back through them; the verdicts can.
// Usage: cscript //nologo host_test.js FIXTURES   (prints "N passed, N failed")
var passed = 0, failed = 0;
// Text for WScript.Echo, in ASCII with \uXXXX for the rest: Wine 8's cscript sizes its output buffer
// in characters rather than bytes, and overruns its heap (crashing at random) when it prints text
// that takes more bytes than characters in the console's code page, as Chinese does.
function ascii(text) {
  return String(text).replace(/[^\x20-\x7e]/g, function (c) {
    return "\\u" + ("000" + c.charCodeAt(0).toString(16).toUpperCase()).slice(-4);
  });
}
function check(ok, name) {
  if (ok) { passed++; } else { failed++; WScript.Echo("FAIL: " + ascii(name)); }
}

// A byte array as a script makes one: ADODB.Stream where there is one, else a VBArray-free list of
// numbers turned into a SAFEARRAY of VARIANTs through a Dictionary's Items().
function readBytes(path) {
  try {
    var stream = new ActiveXObject("ADODB.Stream");
    stream.Type = 1;
    stream.Open();
    stream.LoadFromFile(path);
    var bytes = stream.Read();
    stream.Close();
    if (typeof bytes == "unknown") return bytes;
  } catch (e) {}
  var fso = new ActiveXObject("Scripting.FileSystemObject");
  var parts = fso.OpenTextFile(path + ".bytes", 1).ReadAll().replace(/\s+$/, "").split(" ");
  var dict = new ActiveXObject("Scripting.Dictionary");
  for (var i = 0; i < parts.length; i++) dict.Add(i, parseInt(parts[i], 10));
  return dict.Items();
}

var fixtures = WScript.Arguments(0);
var chk = new ActiveXObject("Vardenix.ClsEnviChk");
check(chk.PingName === "", "PingName is empty on a fresh object");
chk.PingName = "Vardenix.FileCheck";
chk.PingPath = fixtures + "\\js 工作";
check(chk.PingName === "Vardenix.FileCheck", "PingName reads back");
check(chk.PingPath === fixtures + "\\js 工作", "PingPath reads back with its Chinese name");
new ActiveXObject("Scripting.FileSystemObject").CreateFolder(fixtures + "\\js 工作");

var rule = "2 exists 考生/报告.txt\r\n3 contains 考生/报告.txt 合计,175\r\n";
var passing = readBytes(fixtures + "\\pass.zip");
check(chk.ResultChk(passing, rule, "", "") === true, "ResultChk passes the passing document");
check(chk.PingEnviChk("", "", passing, rule, 1) === true, "PingEnviChk passes it with ChkResultDoc");
var failing = readBytes(fixtures + "\\fail.zip");
var verdict = chk.PingEnviChk("", "", failing, rule);
check(verdict === false, "PingEnviChk fails the failing document, optionals left out");
WScript.Echo("verdict: " + ascii(verdict));
WScript.Echo(passed + " passed, " + failed + " failed");
