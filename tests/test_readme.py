"""Every ```python block of README.md runs on its own; the examples run and print what they chose."""

import json
import os
import pathlib
import re
import subprocess
import sys

import pytest

import vantorel

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text("utf-8")
BLOCKS = re.findall(r"^```python\n(.*?)^```$", README, re.MULTILINE | re.DOTALL)


@pytest.mark.parametrize("index", range(len(BLOCKS)))
def test_readme_block_runs(index):
    exec(compile(BLOCKS[index], f"README.md[python block {index}]", "exec"), {"__name__": f"readme_{index}"})


def example(name):
    build = pathlib.Path(vantorel.__file__).resolve().parents[1]  # the very build the tests import
    done = subprocess.run([sys.executable, f"examples/{name}"], cwd=ROOT, capture_output=True, text=True,
                          env={**os.environ, "PYTHONPATH": str(build)}, encoding="utf-8", timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_quickstart_runs_and_prints_an_audit_record():
    out = example("quickstart.py")
    records = [json.loads(line) for line in out.splitlines() if line.startswith("{")]
    assert records and records[0]["rank"] == 1, out
    assert "input_count: 120000" in out


def test_the_parquet_example_streams_its_file():
    assert "1,000,000 rows read, 15 chosen" in example("parquet_catalogue.py")
