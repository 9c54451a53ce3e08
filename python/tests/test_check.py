"""vardenix.check against the `vardenix check` command: the same results, the same refusals."""
import json
import math
import subprocess

import pytest

import vardenix


def command(setup, *args):
    run = subprocess.run([setup.command, "check", "--ping-name", "Vardenix.FileCheck", "--registry",
                          str(setup.registry), "--quiet", *args], capture_output=True, text=True)
    return run.returncode, run.stdout


def without_times(value):
    # "inputs" is what a command line gave, for `vardenix check --rerun`; a call from Python has none.
    if isinstance(value, dict):
        return {k: without_times(v) for k, v in value.items()
                if k not in ("seconds", "elapsedSeconds", "pingPath", "inputs")}
    if isinstance(value, list):
        return [without_times(v) for v in value]
    return value


@pytest.mark.parametrize("in_process", [True, False], ids=["in process", "out of process"])
def test_subject_check_equals_the_commands_json(setup, in_process):
    inputs = dict(archive=setup.archive, rule=setup.rule, total=setup.total, subject=setup.subject,
                  subject_code="JSJ01", rate="0.5", seed=7)
    args = ["--archive", str(setup.archive), "--rule", str(setup.rule), "--total", str(setup.total), "--subject",
            str(setup.subject), "--subject-code", "JSJ01", "--rate", "0.5", "--seed", "7", "--json"]
    if in_process:
        args.append("--in-process")
    status, out = command(setup, *args)
    expected = json.loads(out)
    result = vardenix.check("Vardenix.FileCheck", registry=setup.registry, in_process=in_process, **inputs)
    assert status == (0 if result.passed else 1)
    assert expected["records"], "the sample graded nothing"
    assert without_times(result.to_json()) == without_times(expected)


def test_every_question_and_a_rerun_of_what_failed(setup, tmp_path):
    swept = vardenix.check("Vardenix.FileCheck", registry=setup.registry, total=setup.total, subject=setup.subject,
                           subject_code="JSJ01", all=True, jobs=2, in_process=True)
    assert swept.passed is False and swept.mode == "all" and len(swept.records) == 5
    rerun = vardenix.check("Vardenix.FileCheck", registry=setup.registry, total=setup.total, subject=setup.subject,
                           subject_code="JSJ01", rerun=swept, in_process=True)
    assert [r.rec_no for r in rerun.records] == ["DOC-03"] and rerun.passed is False
    dry = vardenix.check("Vardenix.FileCheck", total=setup.total, subject=setup.subject, subject_code="JSJ01",
                         dry_run=True, seed=3)
    assert dry.passed is None and dry.to_json()["verdict"] is None


# (name, keyword arguments of vardenix.check, the command's arguments): the command's exit status 2
# must be vardenix.Error, exit status 1 a result that did not pass.
CASES = [
    ("rate NaN", dict(rate="nan"), ["--rate", "nan"]),
    ("rate NaN as a float", dict(rate=math.nan), ["--rate", "NaN"]),
    ("rate above 1", dict(rate="1.5"), ["--rate", "1.5"]),
    ("rate in hexadecimal", dict(rate="0x1p-3"), ["--rate", "0x1p-3"]),
    ("rate infinite", dict(rate=math.inf), ["--rate", "inf"]),
    ("missing bank", dict(subject="MISSING"), ["--subject", "MISSING"]),
    ("bank that is no bank", dict(subject="RULE"), ["--subject", "RULE"]),
    ("missing archive", dict(archive="MISSING"), ["--archive", "MISSING"]),
    ("rule and rule text", dict(rule_text="1 exists x"), ["--rule-text", "1 exists x"]),
    ("options 4", dict(options=4), ["--options", "4"]),
    ("no subject code", dict(subject_code=""), ["--subject-code", ""]),
    ("module that cannot be loaded", dict(component=["MISSING"]), ["--component", "MISSING"]),
]


@pytest.mark.parametrize("name,kwargs,extra", CASES, ids=[c[0] for c in CASES])
def test_refusals_and_failures_as_the_command_gives_them(setup, name, kwargs, extra):
    def path(v):
        return str(setup.folder / "missing.db") if v == "MISSING" else str(setup.rule) if v == "RULE" else v
    inputs = dict(archive=str(setup.archive), rule=str(setup.rule), total=str(setup.total),
                  subject=str(setup.subject), subject_code="JSJ01", in_process=True)
    inputs.update({k: ([path(x) for x in v] if isinstance(v, list) else path(v)) for k, v in kwargs.items()})
    base = {"--archive": inputs["archive"], "--rule": inputs["rule"], "--total": inputs["total"],
            "--subject": inputs["subject"], "--subject-code": inputs["subject_code"]}
    args = ["--in-process"]
    overridden = {extra[i] for i in range(0, len(extra), 2)}
    for flag, value in base.items():
        if flag not in overridden:
            args += [flag, value]
    args += [path(x) for x in extra]
    status, _ = command(setup, *args)
    assert status in (1, 2), f"{name}: the command answered {status}"
    if status == 2:
        with pytest.raises(vardenix.Error):
            vardenix.check("Vardenix.FileCheck", registry=setup.registry, **inputs)
    else:
        result = vardenix.check("Vardenix.FileCheck", registry=setup.registry, **inputs)
        assert result.passed is False and result.err_msg


def test_crashing_component_fails_with_its_reason(setup):
    result = vardenix.check("Hostile.Segv", component=[setup.hostile], archive=setup.archive, rule_text="perfect",
                            registry="")
    assert result.passed is False
    assert result.records[0].outcome is vardenix.Outcome.RUN_TIME_FAILURE
    assert "Hostile.Segv" in result.records[0].reason
