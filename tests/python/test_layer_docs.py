"""The README's pipeline examples run, and the typed examples pass mypy --strict."""

import os
import pathlib
import re
import subprocess
import sys
import sysconfig

import pytest

import quarnel
import quarnel_solver

REPO = pathlib.Path(__file__).resolve().parents[2]
README = (REPO / "README.md").read_text()
SECTION = README.split("## Use it in a pipeline", 1)[1].split("\n## ", 1)[0]
EXAMPLES = re.findall(r"```python\n(.*?)```", SECTION, re.S)
# The layer, and the module itself with every public name.
TYPED_EXAMPLES = [REPO / "examples" / "typed_selection.py", REPO / "examples" / "typed_module.py"]
# The three adapters typed: mypy reads the frameworks' whole sources for it (minutes), so this test runs
# the example and scripts/build_wheel.sh type-checks it once, against the installed wheel.
ADAPTERS_EXAMPLE = REPO / "examples" / "typed_adapters.py"
FRAMEWORKS = {"langchain": "langchain_core", "haystack": "haystack", "llama_index": "llama_index.core"}


def run(args, **env):
    return subprocess.run(
        [sys.executable, *args], capture_output=True, text=True, timeout=300,
        env={**os.environ, "HAYSTACK_TELEMETRY_ENABLED": "False", **env}, cwd=REPO,
    )


def test_the_section_has_one_example_per_way_in():
    assert [[name in e for name in FRAMEWORKS] for e in EXAMPLES] == [
        [False, False, False], [True, False, False], [False, True, False], [False, False, True],
    ]


@pytest.mark.parametrize("code", EXAMPLES, ids=["numpy", "langchain", "haystack", "llama_index"])
def test_readme_pipeline_example_runs(code):
    for name, module in FRAMEWORKS.items():
        if name in code:
            pytest.importorskip(module)
    result = run(["-c", code])
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip()


@pytest.mark.parametrize("example", TYPED_EXAMPLES, ids=lambda p: p.stem)
def test_typed_example_runs_and_passes_mypy_strict(example, tmp_path):
    pytest.importorskip("mypy")
    assert run([str(example)]).returncode == 0
    # An installed package is found in site-packages, the module's types in
    # quarnel_solver-stubs; a source checkout (PYTHONPATH=build/<name>:python)
    # through MYPYPATH, the build tree holding the stubs beside the module.
    package_root = pathlib.Path(quarnel.__file__).resolve().parents[1]
    inside_site = package_root == pathlib.Path(sysconfig.get_paths()["purelib"]).resolve()
    module_dir = pathlib.Path(quarnel_solver.__file__).resolve().parent
    env = {} if inside_site else {"MYPYPATH": os.pathsep.join([str(package_root), str(module_dir)])}
    result = run(["-m", "mypy", "--strict", "--cache-dir", str(tmp_path), str(example)], **env)
    assert result.returncode == 0, result.stdout + result.stderr


def test_typed_adapters_example_runs():
    for module in FRAMEWORKS.values():
        pytest.importorskip(module)
    result = run([str(ADAPTERS_EXAMPLE)])
    assert result.returncode == 0, result.stderr
    assert [line.split(":")[0] for line in result.stdout.splitlines()[:3]] == ["LangChain", "Haystack", "LlamaIndex"]
