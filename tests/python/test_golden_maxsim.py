"""Every MaxSim reference case, compared bit for bit."""
import numpy as np
import pytest

from conftest import golden_file
from golden_cases import decode_array, load_cases

import quarnel_solver as qs

CASES = load_cases(golden_file("maxsim_cases.jsonl"))


def run_case(case):
    if case["kind"] == "f32":
        return qs.compute_max_sim_batch_f32(decode_array(case["q_vecs"]), decode_array(case["d_vecs"]))
    return qs.compute_max_sim_batch(
        decode_array(case["q_codes"]),
        decode_array(case["q_meta"]),
        decode_array(case["d_codes"]),
        decode_array(case["d_meta"]),
        case["num_bits"],
        case["dim"],
    )


@pytest.mark.parametrize("case", CASES, ids=[f"{i}-{c['kind']}-{c.get('num_bits', 32)}" for i, c in enumerate(CASES)])
def test_reference_case(case):
    expected = decode_array(case["expected"])
    actual = run_case(case)
    assert actual.dtype == np.float32 and actual.shape == expected.shape
    assert actual.view(np.uint32).tolist() == expected.view(np.uint32).tolist()
