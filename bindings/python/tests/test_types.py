"""The package's type hints hold (py.typed promises them to its users)."""

import os
import subprocess
import sys

import pytest

PACKAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "qmfiledb")


def test_package_passes_strict_type_checking(tmp_path):
    pytest.importorskip("mypy", reason="mypy is not installed (Debian: python3-mypy)")
    checked = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path), PACKAGE],
                             capture_output=True, text=True)
    assert checked.returncode == 0, checked.stdout + checked.stderr
