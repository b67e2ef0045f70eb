"""The examples of the READMEs run as written."""

import contextlib
import io
import os
import re

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
READMES = [os.path.join(HERE, "..", "README.md"), os.path.join(HERE, "..", "..", "..", "README.md")]


@pytest.mark.parametrize("readme", READMES, ids=["package", "project"])
def test_first_python_example_runs(readme):
    text = open(readme, encoding="utf-8").read()
    example = re.search(r"```python\n(.*?)```", text, re.S).group(1)
    output = io.StringIO()
    with contextlib.redirect_stdout(output):
        exec(compile(example, readme, "exec"), {"__name__": "__example__"})
    # Each print commented with its output prints exactly that, in order.
    expected = [line.split("# ")[-1] for line in example.splitlines() if "print(" in line and "# " in line]
    assert output.getvalue().splitlines()[:len(expected)] == expected
