"""The release check refuses a wheel tagged for a newer glibc than promised."""
import importlib.util
import pathlib

import pytest

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "check_wheel.py"
if not SCRIPT.exists():
    pytest.skip("scripts/ is not beside the tests (an installed-wheel run)", allow_module_level=True)
found = importlib.util.spec_from_file_location("check_wheel", SCRIPT)
check_wheel = importlib.util.module_from_spec(found)
found.loader.exec_module(check_wheel)

NAMES = ["quarnel_solver.cpython-311-x86_64-linux-gnu.so", "quarnel_solver-stubs/__init__.pyi", "quarnel/py.typed"]
PORTABLE = "quarnel_solver-0.1.6-cp311-cp311-manylinux_2_17_x86_64.manylinux2014_x86_64.whl"


def audit(tag):
    return {"external_libs": {}, "overall_tag": tag}


def test_a_portable_wheel_passes_with_its_tag():
    assert check_wheel.problems(audit("manylinux_2_17_x86_64"), NAMES, PORTABLE, "manylinux_2_17_x86_64") == []


@pytest.mark.parametrize(
    "overall, wheel_name",
    [
        ("manylinux_2_35_x86_64", PORTABLE),
        ("manylinux_2_17_x86_64", "quarnel_solver-0.1.6-cp311-cp311-manylinux_2_35_x86_64.whl"),
    ],
)
def test_a_narrower_tag_is_refused(overall, wheel_name):
    found = check_wheel.problems(audit(overall), NAMES, wheel_name, "manylinux_2_17_x86_64")
    assert len(found) == 1 and "manylinux_2_35" in found[0]
