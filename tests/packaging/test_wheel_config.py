"""The wheels the release builds: every supported CPython on each platform
and architecture, and a velk-crc command each platform can run."""

import importlib
import os
import subprocess
import sys
import tomllib

import pytest
from packaging.specifiers import SpecifierSet

from conftest import ROOT

PYPROJECT = os.path.join(ROOT, "pyproject.toml")
VERSIONS = ["cp311", "cp312", "cp313", "cp314"]
# The platforms' own names for the machines firmware engineers build on.
TARGETS = {
    "linux": ["manylinux_x86_64", "manylinux_aarch64"],
    "macos": ["macosx_x86_64", "macosx_arm64"],
    "windows": ["win_amd64"],
}


@pytest.fixture(scope="module")
def project():
    if not os.path.exists(PYPROJECT):
        pytest.skip("the source tree's pyproject.toml is not here")
    with open(PYPROJECT, "rb") as f:
        return tomllib.load(f)


@pytest.mark.parametrize("platform", TARGETS)
def test_cibuildwheel_builds_each_version_for_each_target(project, platform):
    pytest.importorskip("cibuildwheel")
    # Offline: the identifiers come from the configuration alone.
    listed = subprocess.run(
        [sys.executable, "-m", "cibuildwheel", "--print-build-identifiers",
         "--platform", platform],
        cwd=ROOT, capture_output=True, text=True, timeout=60,
        env={**os.environ, **{name: "" for name in os.environ if name.startswith("CIBW_")}})
    assert listed.returncode == 0, listed.stderr
    assert sorted(listed.stdout.split()) == sorted(
        f"{version}-{target}" for version in VERSIONS for target in TARGETS[platform])


def test_the_versions_built_are_the_versions_declared(project):
    admitted = SpecifierSet(project["project"]["requires-python"])
    classifiers = project["project"]["classifiers"]
    for tag in VERSIONS:
        version = f"3.{tag[3:]}"
        assert f"{version}.0" in admitted
        assert f"Programming Language :: Python :: {version}" in classifiers
    # Nothing older, and nothing newer than the release tests.
    assert "3.10.12" not in admitted
    assert f"3.{int(VERSIONS[-1][3:]) + 1}.0" not in admitted
    for system in ["Microsoft :: Windows", "MacOS", "POSIX :: Linux"]:
        assert f"Operating System :: {system}" in classifiers


def test_windows_entry_point_names_the_console_script(project):
    # pip writes velk-crc.exe from the entry point on Windows only; the
    # plain script stays elsewhere, so the entry point is an override.
    overrides = [row for row in project["tool"]["scikit-build"]["overrides"]
                 if "scripts" in row.get("metadata", {})]
    assert [row["if"] for row in overrides] == [{"platform-system": "^win32"}]
    assert "scripts" in project["project"]["dynamic"]
    (target,) = overrides[0]["metadata"]["scripts"]["result"].values()
    module, function = target.split(":")
    assert callable(getattr(importlib.import_module(module), function))
