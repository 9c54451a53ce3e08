"""The check object from Python: verdicts, per-record results, errors, threads, a crashing component."""
import math
import threading

import pytest

import vardenix
from vardenix import EnviChk, Isolation, Outcome


def made(setup, folder, **kwargs):
    return EnviChk("Vardenix.FileCheck", folder, registry=setup.registry, **kwargs)


def subject_args(setup, rate=1.0):
    return dict(options=vardenix.CHK_SUBJECT, total_db=setup.total, subject_db=setup.subject, subject_code="JSJ01",
                rate=rate)


def test_typical_document_passes_and_fails(setup, tmp_path):
    chk = made(setup, tmp_path)
    archive = setup.archive.read_bytes()
    passed = chk.ping_envi_chk(archive=archive, rule="1 exists 考生/报告.txt", options=vardenix.CHK_RESULT_DOC)
    assert passed.passed is True and passed.err_msg == ""
    assert [(r.typical_document, r.outcome) for r in passed.records] == [(True, Outcome.PASSED)]

    failed = chk.result_chk(archive, "1 exists 考生/缺少.txt")
    assert failed.passed is False
    assert "考生/缺少.txt" in failed.err_msg and "RuleErr" in failed.err_msg_xml
    assert failed.records[0].outcome is Outcome.FAILED and failed.records[0].score == 0
    assert chk.ping_name == "Vardenix.FileCheck" and chk.ping_path == str(tmp_path)


def test_subject_records_and_modules(setup, tmp_path):
    chk = made(setup, tmp_path)
    chk.select("all", jobs=2)
    result = chk.ping_envi_chk(**subject_args(setup))
    assert result.passed is False
    outcomes = {(r.module, r.rec_no): r.outcome for r in result.records}
    assert outcomes == {("Excel", "XLS-01"): Outcome.PASSED, ("Excel", "XLS-02"): Outcome.PASSED,
                        ("Word", "DOC-01"): Outcome.PASSED, ("Word", "DOC-02"): Outcome.PASSED,
                        ("Word", "DOC-03"): Outcome.FAILED}
    assert sorted((m.name, m.questions, m.passed, m.failed) for m in result.modules) == [
        ("Excel", 2, 2, 0), ("Word", 3, 2, 1)]
    assert result.counts["notPassed"] == 1 and result.counts["graded"] == 5

    chk.select("listed", records=[("Word", "DOC-01"), ("Excel", "XLS-02")])
    assert chk.ping_envi_chk(**subject_args(setup)).passed is True

    chk.select("sample", dry_run=True)
    dry = chk.ping_envi_chk(**subject_args(setup))
    assert dry.records and all(r.outcome is Outcome.NOT_GRADED for r in dry.records)


def test_seed_replays_the_sample(setup, tmp_path):
    chk = made(setup, tmp_path, seed=12345)
    first = chk.ping_envi_chk(**subject_args(setup, rate=0.5))
    chk.seed = 12345
    again = chk.ping_envi_chk(**subject_args(setup, rate=0.5))
    assert first.seed == again.seed == 12345
    assert [(r.module, r.rec_no) for r in first.records] == [(r.module, r.rec_no) for r in again.records]


BAD_CALLS = [
    ("archive as text", dict(archive="typical.zip")),
    ("rule as bytes", dict(rule=b"1 exists x")),
    ("options as text", dict(options="3")),
    ("contract beyond 32 bits", dict(contract=2 ** 40)),
    ("rate as text", dict(rate="0.1")),
    ("bank path as a number", dict(total_db=5)),
    ("NUL in the subject code", dict(subject_code="JS\0J01")),
]


@pytest.mark.parametrize("name,kwargs", BAD_CALLS, ids=[c[0] for c in BAD_CALLS])
def test_wrong_types_raise_error(setup, tmp_path, name, kwargs):
    chk = made(setup, tmp_path)
    with pytest.raises(vardenix.Error) as caught:
        chk.ping_envi_chk(**kwargs)
    assert caught.value.status == 1 and str(caught.value)


def test_what_the_library_takes_is_a_verdict(setup, tmp_path):
    # The check object takes any rate and any path, as the C++ one does: they fail the check.
    chk = made(setup, tmp_path)
    assert chk.ping_envi_chk(**subject_args(setup, rate=math.nan)).passed is False
    missing = chk.ping_envi_chk(**dict(subject_args(setup), subject_db=setup.folder / "none.db"))
    assert missing.passed is False and missing.err_msg
    unknown = EnviChk("Acme.NotInstalled", tmp_path, registry="").result_chk(setup.archive.read_bytes(), "x")
    assert unknown.passed is False and "Acme.NotInstalled" in unknown.err_msg + unknown.records[0].details


def test_errors_of_the_c_api_become_error(setup, tmp_path):
    chk = made(setup, tmp_path)
    with pytest.raises(vardenix.Error, match="/nonexistent/module.so"):
        chk.load_module("/nonexistent/module.so")
    with pytest.raises(vardenix.Error):
        chk.isolation = Isolation(time_limit=-1)
    with pytest.raises(vardenix.Error):
        chk.select("every")
    with pytest.raises(vardenix.Error):
        chk.seed = -1
    chk.close()
    with pytest.raises(vardenix.Error, match="closed"):
        chk.ping_envi_chk()


def test_progress_sees_each_record_and_its_exception_is_raised(setup, tmp_path):
    chk = made(setup, tmp_path)
    chk.select("all")
    seen = []
    result = chk.ping_envi_chk(**subject_args(setup), progress=seen.append)
    assert seen == result.records

    def fails(record):
        raise KeyError(record.rec_no)
    with pytest.raises(KeyError):
        chk.ping_envi_chk(**subject_args(setup), progress=fails)


def test_two_threads_with_two_objects(setup, tmp_path):
    expected = None
    results = {}
    errors = []

    def sweep(name):
        try:
            folder = tmp_path / name
            folder.mkdir()
            chk = made(setup, folder)
            chk.select("all")
            outcomes = []
            for _ in range(5):
                r = chk.ping_envi_chk(**subject_args(setup))
                outcomes.append((r.passed, [(x.rec_no, x.outcome) for x in r.records]))
            results[name] = outcomes
        except BaseException as e:  # noqa: B902 - reported below
            errors.append(e)

    threads = [threading.Thread(target=sweep, args=(n,)) for n in ("a", "b")]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    expected = results["a"][0]
    assert expected[0] is False and len(expected[1]) == 5
    assert all(o == expected for o in results["a"] + results["b"])


def test_one_object_from_two_threads_runs_one_check_at_a_time(setup, tmp_path):
    chk = made(setup, tmp_path)
    chk.select("all")
    verdicts = []
    threads = [threading.Thread(target=lambda: verdicts.append(chk.ping_envi_chk(**subject_args(setup))))
               for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert [len(r.records) for r in verdicts] == [5, 5, 5]


def test_crashing_component_out_of_process_is_a_failed_verdict(setup, tmp_path):
    chk = EnviChk("Hostile.Segv", tmp_path, registry="", components=[setup.hostile],
                  isolation=Isolation(time_limit=30, host_path=setup.host))
    result = chk.result_chk(setup.archive.read_bytes(), "perfect")
    assert result.passed is False
    record = result.records[0]
    assert record.outcome is Outcome.RUN_TIME_FAILURE and "Hostile.Segv" in record.details
    chk.ping_name = "Hostile.Good"  # the host process is replaced after the crash
    assert chk.result_chk(setup.archive.read_bytes(), "perfect").passed is True
