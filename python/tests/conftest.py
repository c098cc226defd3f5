"""What every test of the package shares: a folder of its own for settings and
camera locks, and the norvikcam tool as the independent record of what the
camera does."""

import os
import subprocess
import sys
from pathlib import Path
from typing import Iterator, List

import pytest

import norvikcam

TOOL = os.environ.get("NORVIKCAM_BINARY", "")
SANITIZED = os.environ.get("NORVIK_SANITIZED", "")


@pytest.fixture(autouse=True)
def own_folder(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    # Locks and settings of this test only: other tests (and the C++ suite,
    # run beside this one) open the simulated camera too.
    (tmp_path / "run").mkdir()
    monkeypatch.setenv("XDG_RUNTIME_DIR", str(tmp_path / "run"))
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "config"))
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.fixture
def settings(own_folder: Path) -> str:
    return str(own_folder / "settings.reg")


class Tool:
    """The norvikcam tool on the same settings file."""

    def __init__(self, settings: str) -> None:
        if not TOOL:
            pytest.fail("NORVIKCAM_BINARY is not set: run the tests through ctest")
        self.settings = settings

    def run(self, *args: str, check: bool = True, settings: str = "") -> subprocess.CompletedProcess:
        r = subprocess.run([TOOL, "--settings", settings or self.settings, *args], capture_output=True,
                           text=True, timeout=300)
        if check and r.returncode != 0:
            pytest.fail(f"norvikcam {' '.join(args)}: exit {r.returncode}: {r.stderr}")
        return r

    def error(self, *args: str) -> str:
        """What the tool says when it fails, without its name."""
        r = self.run(*args, check=False)
        assert r.returncode != 0, r.stdout
        line = r.stderr.strip().splitlines()[-1]
        assert line.startswith("norvikcam: "), r.stderr
        return line[len("norvikcam: "):]


@pytest.fixture
def tool(settings: str) -> Tool:
    return Tool(settings)


@pytest.fixture
def cam(settings: str) -> Iterator[norvikcam.Camera]:
    camera = norvikcam.open(settings=settings)
    yield camera
    camera.close()


def python_child(code: str) -> List[str]:
    """A command line for another Python process with this package."""
    return [sys.executable, "-c", code]
