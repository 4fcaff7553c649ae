"""quarnel.maxsim and friends: items of their own lengths, every input form, candidate lists, threads."""
import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest
from test_maxsim_f32 import literal_max_sim

import quarnel
import quarnel_solver as qs

f32, u8 = np.float32, np.uint8
Q_LENGTHS, D_LENGTHS = [3, 0, 6, 1], [5, 1, 0, 9, 2]


def bits(array):
    return np.ascontiguousarray(array).view(np.uint32)


def forms(items, lengths, fill):
    """The same items as a list, as a padded array (padding set to `fill`) with lengths, and packed."""
    width = items[0].shape[1:]
    padded = np.full((len(items), max(lengths)) + width, fill, items[0].dtype)
    for i, item in enumerate(items):
        padded[i, : len(item)] = item
    offsets = np.concatenate([[0], np.cumsum(lengths)])
    return {
        "list": (items, {}),
        "padded": (padded, {"lengths": lengths}),
        "packed": (np.concatenate(items), {"offsets": offsets}),
    }


def keywords(side, extra):
    return {f"{side}_{key}": value for key, value in extra.items()}


def float_items(rng, lengths, dim=19):
    return [rng.standard_normal((n, dim)).astype(f32) for n in lengths]


def expected_f32(q_items, d_items):
    return np.array([[qs.compute_max_sim_batch_f32(q[None], d[None])[0, 0] for d in d_items] for q in q_items], f32)


@pytest.mark.parametrize("q_form", ["list", "padded", "packed"])
@pytest.mark.parametrize("d_form", ["list", "padded", "packed"])
def test_float_scores_equal_the_uniform_scorer_on_trimmed_items(q_form, d_form):
    rng = np.random.default_rng(1)
    q_items, d_items = float_items(rng, Q_LENGTHS), float_items(rng, D_LENGTHS)
    # Padding that would win every maximum (and overflow every sum) if it were read.
    q, q_extra = forms(q_items, Q_LENGTHS, 1e30)[q_form]
    d, d_extra = forms(d_items, D_LENGTHS, 1e30)[d_form]
    scores = quarnel.maxsim(q, d, **keywords("query", q_extra), **keywords("document", d_extra))
    expected = expected_f32(q_items, d_items)
    assert scores.dtype == f32 and scores.shape == (4, 5)
    np.testing.assert_array_equal(bits(scores), bits(expected))
    assert (scores[1] == 0).all() and (scores[[0, 2, 3], 2] == -np.inf).all()
    # float64 input is converted once and scores like its float32 values.
    as64 = [item.astype(np.float64) for item in q_items]
    np.testing.assert_array_equal(bits(quarnel.maxsim(as64, d_items)), bits(expected))


def test_candidate_lists_score_only_their_pairs():
    rng = np.random.default_rng(2)
    q_items, d_items = float_items(rng, Q_LENGTHS), float_items(rng, D_LENGTHS)
    full = quarnel.maxsim(q_items, d_items)
    candidates = [[4, 0, 4], [], np.array([2, 3]), [1]]
    per_query = quarnel.maxsim(q_items, d_items, candidates=candidates)
    assert [len(s) for s in per_query] == [3, 0, 2, 1]
    for i, chosen in enumerate(candidates):
        np.testing.assert_array_equal(bits(per_query[i]), bits(full[i, np.asarray(chosen, int)]))


@pytest.mark.parametrize("num_bits", [1, 4, 8])
@pytest.mark.parametrize("form", ["list", "padded", "packed"])
def test_quantised_scores_equal_the_uniform_scorer_on_trimmed_items(num_bits, form):
    rng = np.random.default_rng(num_bits)
    code_bytes = 12

    def side(lengths, extra_bytes=0):
        codes = [rng.integers(0, 256, (n, code_bytes + extra_bytes), dtype=u8) for n in lengths]
        meta = [np.stack([rng.uniform(0.001, 0.05, n), rng.uniform(-1, 1, n), rng.uniform(0, 3000, n),
                          np.zeros(n)], axis=-1).astype(f32) for n in lengths]
        return codes, meta

    (qc, qm), (dc, dm) = side(Q_LENGTHS), side(D_LENGTHS, extra_bytes=3)
    # Padded tokens: all-ones codes and huge scales would win if they were read.
    q_codes, q_extra = forms(qc, Q_LENGTHS, 255)[form]
    q_meta, _ = forms(qm, Q_LENGTHS, 1e30)[form]
    d_codes, d_extra = forms(dc, D_LENGTHS, 255)[form]
    d_meta, _ = forms(dm, D_LENGTHS, 1e30)[form]
    scores = quarnel.maxsim_quantized(q_codes, q_meta, d_codes, d_meta, num_bits, 96,
                                      **keywords("query", q_extra), **keywords("document", d_extra))
    expected = np.array([[qs.compute_max_sim_batch(a[None], am[None], b[None], bm[None], num_bits, 96)[0, 0]
                          for b, bm in zip(dc, dm)] for a, am in zip(qc, qm)], f32)
    np.testing.assert_array_equal(bits(scores), bits(expected))
    picked = quarnel.maxsim_quantized(qc, qm, dc, dm, num_bits, 96, candidates=[[1], [0], [3, 4], []])
    np.testing.assert_array_equal(bits(np.concatenate(picked)), bits(expected[[0, 1, 2, 2], [1, 0, 3, 4]]))


@pytest.mark.parametrize("dim", [5, 8, 21])
def test_binary_documents_against_the_plain_loop(dim):
    rng = np.random.default_rng(dim)
    q_items = float_items(rng, Q_LENGTHS, dim)
    signs = [np.where(rng.random((n, dim)) < 0.5, f32(-1), f32(1)) for n in D_LENGTHS]
    # Extra trailing bits (a whole spare byte) are ignored.
    d_bits = [np.packbits(np.concatenate([s > 0, np.ones((len(s), 8), bool)], axis=1), axis=1) for s in signs]
    scores = quarnel.maxsim_binary_documents(q_items, d_bits)
    expected = np.array([[literal_max_sim(q[None], s[None])[0, 0] for s in signs] for q in q_items], f32)
    np.testing.assert_array_equal(bits(scores), bits(expected))
    picked = quarnel.maxsim_binary_documents(q_items, d_bits, candidates=[[3], [], [0, 3], [4]])
    np.testing.assert_array_equal(bits(np.concatenate(picked)), bits(expected[[0, 2, 2, 3], [3, 0, 3, 4]]))


def test_bad_input_raises_value_errors_naming_the_argument():
    rng = np.random.default_rng(3)
    q, d = rng.standard_normal((2, 4, 8)).astype(f32), rng.standard_normal((3, 5, 8)).astype(f32)
    packed = np.zeros((6, 8), f32)
    cases = [
        ("dimensions", lambda: quarnel.maxsim(q, d[:, :, :7])),
        ("query_lengths", lambda: quarnel.maxsim(q, d, query_lengths=[4, 5])),
        ("query_lengths", lambda: quarnel.maxsim(q, d, query_lengths=[1])),
        ("document_lengths", lambda: quarnel.maxsim(q, d, document_lengths=[1, -1, 0])),
        ("document_offsets", lambda: quarnel.maxsim(q, packed, document_offsets=[0, 4, 2, 6])),
        ("document_offsets", lambda: quarnel.maxsim(q, packed, document_offsets=[0, 2, 5])),
        ("needs document_offsets", lambda: quarnel.maxsim(q, packed)),
        (r"candidates\[1\]\[0\]", lambda: quarnel.maxsim(q, d, candidates=[[0], [3]])),
        ("candidates", lambda: quarnel.maxsim(q, d, candidates=[[0]])),
        ("queries: items differ", lambda: quarnel.maxsim([q[0], q[1, :, :3]], d)),
        ("num_bits", lambda: quarnel.maxsim_quantized(q.astype(u8), q, d.astype(u8), d, 2, 8)),
        ("query_meta", lambda: quarnel.maxsim_quantized(q.astype(u8), q[:, :, :3], d.astype(u8), d, 8, 8)),
        ("document_codes", lambda: quarnel.maxsim_quantized(q.astype(u8), q, d[:, :, :4].astype(u8), d, 8, 8)),
        ("document_bits", lambda: quarnel.maxsim_binary_documents(np.zeros((1, 2, 17), f32), d.astype(u8)[:, :, :2])),
    ]
    for name, call in cases:
        with pytest.raises(ValueError, match=name):
            call()
    with pytest.raises(TypeError, match="queries"):
        quarnel.maxsim(q.astype(np.int32), d)


SCRIPT = """
import threading, time
import numpy as np
import quarnel
rng = np.random.default_rng(0)
q = [rng.standard_normal((32, 128)).astype(np.float32) for _ in range(4)]
d = [rng.standard_normal((int(n), 128)).astype(np.float32) for n in rng.integers(20, 300, 150)]
reference = quarnel.maxsim(q, d)
def run(results, k):
    results[k] = quarnel.maxsim(q, d)
def timed(threads):
    results = [None] * threads
    start = time.perf_counter()
    if threads == 1:
        for k in range(4):
            run([None], 0)
    else:
        workers = [threading.Thread(target=run, args=(results, k)) for k in range(4)]
        for w in workers: w.start()
        for w in workers: w.join()
    elapsed = time.perf_counter() - start
    assert all(r is None or np.array_equal(r.view(np.uint32), reference.view(np.uint32)) for r in results)
    return elapsed
# While one call scores, Python code in another thread keeps running.
ticks = 0
worker = threading.Thread(target=run, args=([None], 0))
worker.start()
while worker.is_alive():
    ticks += 1
    time.sleep(0.001)
assert ticks > 3, ticks
timed(4)
print("ok")
"""


def test_concurrent_calls_give_sequential_results():
    # Four calls in four threads give the bits of one call alone; how much faster they run together is
    # measured by bench/bench_concurrency.py, not here (CI machines are shared).
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    out = subprocess.run([sys.executable, "-c", SCRIPT], env=env, capture_output=True, text=True, check=True,
                         timeout=300).stdout
    assert out.split()[-1] == "ok"


def test_readme_examples_run():
    readme = (pathlib.Path(__file__).resolve().parents[2] / "README.md").read_text()
    section = readme.split("### Variable lengths: `quarnel.maxsim`", 1)[1].split("\n### ", 1)[0]
    examples = re.findall(r"```python\n(.*?)```", section, re.S)
    assert len(examples) == 3
    for code in examples:
        exec(compile(code, "README.md", "exec"), {})
