"""The shipped stubs say what the module has (mypy's stubtest)."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import SANITIZED


@pytest.mark.skipif(SANITIZED != "", reason="the stubs are the same in every build: the plain "
                    "build checks them (mypy would run under the sanitizer's preload)")
def test_the_stubs_match_the_module():
    r = subprocess.run([sys.executable, "-m", "mypy.stubtest", "norvikcam", "--concise",
                        "--allowlist", str(Path(__file__).parent / "stubtest-allowlist.txt")],
                       capture_output=True, text=True, env=os.environ, timeout=600)
    assert r.returncode == 0, r.stdout + r.stderr
