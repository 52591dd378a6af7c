"""Every ```python block of README.md runs as written, on its own, in an empty folder."""
import pathlib
import subprocess
import sys

import pytest

from hostile import PYTHON

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def python_blocks(text):
    """(heading above the block, its code) for every ```python block."""
    blocks, heading, code = [], "README", None
    for number, line in enumerate(text.splitlines(), 1):
        if code is None:
            if line.startswith("#"):
                heading = line.lstrip("#").strip()
            elif line.strip().startswith("```python"):
                code = []
        elif line.strip() == "```":
            blocks.append(("%s (line %d)" % (heading, number - len(code)), "\n".join(code) + "\n"))
            code = None
        else:
            code.append(line)
    assert code is None, "README.md ends inside a ```python block"
    return blocks


BLOCKS = python_blocks(README.read_text(encoding="utf-8"))


@pytest.mark.parametrize("code", [code for _, code in BLOCKS], ids=[where for where, _ in BLOCKS])
def test_readme_block_runs_in_an_empty_folder(tmp_path, code):
    done = subprocess.run([*PYTHON, "-c", code], cwd=str(tmp_path), capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
