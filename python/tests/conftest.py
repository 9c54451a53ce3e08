"""Shared set-up of the package's tests: the built command, modules and a small exam set-up.

ctest runs them with the paths of the build in the environment (python/CMakeLists.txt)."""
import os
import pathlib
import subprocess
import sys

import pytest


def _env(name):
    value = os.environ.get(name)
    if not value:
        pytest.exit(f"{name} is not set: run these tests through ctest (ctest -R Python)", returncode=2)
    return value


class SetUp:
    def __init__(self, folder: pathlib.Path):
        self.folder = folder
        self.command = _env("VARDENIX_TEST_COMMAND")
        self.filecheck = _env("VARDENIX_TEST_FILECHECK")
        self.hostile = _env("VARDENIX_TEST_HOSTILE")
        self.host = _env("VARDENIX_COMPONENT_HOST")
        self.archive = folder / "typical.zip"
        self.rule = folder / "typical.rule"
        self.total = folder / "total.db"
        self.subject = folder / "subject.db"
        self.registry = folder / "registry"


@pytest.fixture(scope="session")
def setup(tmp_path_factory):
    folder = tmp_path_factory.mktemp("setup")
    subprocess.run([sys.executable, _env("VARDENIX_TEST_MAKE_SETUP"), str(folder), _env("VARDENIX_TEST_COMMAND"),
                    _env("VARDENIX_TEST_FILECHECK")], check=True)
    return SetUp(folder)
