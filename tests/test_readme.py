"""The usage guide and the quickstart stay runnable: every ```python block of
README.md executes on its own, and examples/quickstart.py exits cleanly and
prints a valid JSON audit record."""

import json
import os
import pathlib
import re
import subprocess
import sys

import pytest

import vantorel

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
QUICKSTART = ROOT / "examples" / "quickstart.py"

FENCE = re.compile(r"^```python\n(.*?)^```$", re.MULTILINE | re.DOTALL)


def python_blocks():
    return FENCE.findall(README.read_text(encoding="utf-8"))


BLOCKS = python_blocks()


def test_readme_has_a_guide():
    assert len(BLOCKS) >= 10
    text = README.read_text(encoding="utf-8")
    assert "pip install . && python examples/quickstart.py" in text
    assert "pip install '.[test]' && python -m pytest" in text


@pytest.mark.parametrize("index", range(len(BLOCKS)))
def test_readme_block_runs(index):
    source = BLOCKS[index]
    code = compile(source, f"README.md[python block {index}]", "exec")
    exec(code, {"__name__": f"readme_block_{index}"})


def test_quickstart_runs_and_prints_an_audit_record():
    # run the example against the same build of the module as the tests
    env = dict(os.environ)
    module_dir = str(pathlib.Path(vantorel.__file__).resolve().parent.parent)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    done = subprocess.run(
        [sys.executable, str(QUICKSTART)],
        cwd=ROOT,
        env=env,
        capture_output=True,
        text=True,
        encoding="utf-8",
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    records = [json.loads(line) for line in done.stdout.splitlines() if line.startswith("{")]
    assert records, done.stdout
    record = records[0]
    assert record["rank"] == 1
    assert list(record) == ["candidate", "rank", "fused", "scores", "missing_policy", "fusion", "constraints"]
    assert "input_count: 120000" in done.stdout
