"""The package as users get it: `cmake --install` into a prefix, and a wheel built by `pip` from the
checkout without any index. Each is imported in a fresh interpreter that is told nothing of the build
and runs a check out of process with the library and component host it came with."""
import os
import pathlib
import subprocess
import sys

import pytest

PROBE = r"""
import sys, vardenix
from vardenix import _native
print(_native.lib._name)
print(_native.component_host())
r = vardenix.check("Vardenix.FileCheck", component=[sys.argv[1]], archive=sys.argv[2], rule_text="1 exists 考生/报告.txt",
                   registry="")
print(r.passed)
"""


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith("VARDENIX_") and k != "PYTHONPATH"}
    env.update(extra)
    return env


def probe(setup, site, tmp_path):
    script = tmp_path / "probe.py"
    script.write_text(PROBE, encoding="utf-8")
    out = subprocess.run([sys.executable, str(script), setup.filecheck, str(setup.archive)], capture_output=True,
                         text=True, env=clean_env(PYTHONPATH=str(site)), cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    return out.stdout.splitlines()


def test_cmake_install_into_a_prefix(setup, tmp_path):
    prefix = tmp_path / "prefix"
    subprocess.run([os.environ["VARDENIX_TEST_CMAKE"], "--install", os.environ["VARDENIX_TEST_BUILD_DIR"], "--prefix",
                    str(prefix)], check=True, stdout=subprocess.DEVNULL)
    sites = list(prefix.glob("lib/python3*/*-packages/vardenix"))
    assert len(sites) == 1, sites
    assert (sites[0] / "py.typed").exists() and (sites[0] / "_install.py").exists()
    library, host, passed = probe(setup, sites[0].parent, tmp_path)
    assert library.startswith(str(prefix)) and host.startswith(str(prefix)) and passed == "True"


def test_pip_builds_a_wheel_from_the_checkout_without_an_index(setup, tmp_path):
    wheels = tmp_path / "wheels"
    target = tmp_path / "site"
    source = pathlib.Path(__file__).resolve().parent.parent
    env = clean_env(VARDENIX_BUILD_DIR=os.environ["VARDENIX_TEST_BUILD_DIR"], PIP_NO_INDEX="1",
                    PIP_DISABLE_PIP_VERSION_CHECK="1")
    built = subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-deps", "-w", str(wheels), str(source)],
                           capture_output=True, text=True, env=env)
    if built.returncode != 0 and "No module named pip" in built.stderr:
        pytest.skip("pip is not installed (Debian's python3-pip)")
    assert built.returncode == 0, built.stderr
    wheel = next(wheels.glob("vardenix-*.whl"))
    subprocess.run([sys.executable, "-m", "pip", "install", "--no-deps", "--target", str(target), str(wheel)],
                   check=True, capture_output=True, env=env)
    library, host, passed = probe(setup, target, tmp_path)
    assert library == str(target / "vardenix" / "_lib" / "libvardenix.so.1")
    assert host == str(target / "vardenix" / "_lib" / "vardenix-component-host") and passed == "True"
