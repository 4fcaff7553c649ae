"""Every reference solve case must reproduce its expected output exactly."""
import pytest

from conftest import golden_file
from golden_cases import differences, load_cases, run_solve_case

CASES = load_cases(golden_file("solve_cases.jsonl"))


@pytest.mark.parametrize("case", CASES, ids=[f"{c['id']}-{c['path']}" for c in CASES])
def test_reference_case(case):
    output = run_solve_case(case)
    actual = output.to_dict()
    diffs = differences(actual, case["expected"])
    assert not diffs, "\n".join(f"{key}: got {got!r}, expected {want!r}" for key, got, want in diffs) + (
        f"\ndebug: {case['debug']}"
    )
