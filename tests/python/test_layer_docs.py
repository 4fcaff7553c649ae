"""The README's pipeline examples run, and the typed example passes mypy --strict."""

import os
import pathlib
import re
import subprocess
import sys
import sysconfig

import pytest

import quarnel

REPO = pathlib.Path(__file__).resolve().parents[2]
README = (REPO / "README.md").read_text()
SECTION = README.split("## Use it in a pipeline", 1)[1].split("\n## ", 1)[0]
EXAMPLES = re.findall(r"```python\n(.*?)```", SECTION, re.S)
TYPED_EXAMPLE = REPO / "examples" / "typed_selection.py"


def run(args, **env):
    return subprocess.run(
        [sys.executable, *args], capture_output=True, text=True, timeout=300,
        env={**os.environ, "HAYSTACK_TELEMETRY_ENABLED": "False", **env}, cwd=REPO,
    )


def test_the_section_has_one_example_per_way_in():
    assert [("ContextSelector" in e, "langchain" in e, "haystack" in e) for e in EXAMPLES] == [
        (True, False, False), (True, True, False), (False, False, True),
    ]


@pytest.mark.parametrize("code", EXAMPLES, ids=["numpy", "langchain", "haystack"])
def test_readme_pipeline_example_runs(code):
    if "langchain" in code:
        pytest.importorskip("langchain_classic")
    if "haystack" in code:
        pytest.importorskip("haystack")
    result = run(["-c", code])
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip()


def test_typed_example_runs_and_passes_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    assert run([str(TYPED_EXAMPLE)]).returncode == 0
    # An installed package is found in site-packages; a source checkout
    # (PYTHONPATH=build/<name>:python) through MYPYPATH.
    package_root = pathlib.Path(quarnel.__file__).resolve().parents[1]
    inside_site = package_root == pathlib.Path(sysconfig.get_paths()["purelib"]).resolve()
    env = {} if inside_site else {"MYPYPATH": str(package_root)}
    result = run(["-m", "mypy", "--strict", "--cache-dir", str(tmp_path), str(TYPED_EXAMPLE)], **env)
    assert result.returncode == 0, result.stdout + result.stderr
