"""compute_max_sim_batch_f32: exact scores, array handling and argument errors."""
import numpy as np
import pytest

import quarnel_solver as qs

f32 = np.float32


def literal_dot(a, b):
    """The dot product in the module's fixed order, in float32, broadcast over leading axes."""
    n = a.shape[-1]
    shape = np.broadcast_shapes(a.shape[:-1], b.shape[:-1])
    whole = n // 8
    if whole:
        lo = np.zeros(shape + (4,), f32)
        hi = np.zeros(shape + (4,), f32)
        for block in range(whole):
            i = 8 * block
            lo = lo + a[..., i : i + 4] * b[..., i : i + 4]
            hi = hi + a[..., i + 4 : i + 8] * b[..., i + 4 : i + 8]
        s = (((lo[..., 0] + lo[..., 1]) + lo[..., 2]) + lo[..., 3]) + (
            ((hi[..., 0] + hi[..., 1]) + hi[..., 2]) + hi[..., 3]
        )
    else:
        s = np.zeros(shape, f32)
    for i in range(8 * whole, n):
        s = s + a[..., i] * b[..., i]
    return s


def literal_max_sim(q, d):
    values = literal_dot(q[:, None, :, None, :], d[None, :, None, :, :])  # (Q, N, Tq, Td)
    best = np.where(np.isnan(values), f32(-np.inf), values).max(axis=3, initial=-np.inf).astype(f32)
    score = np.zeros(best.shape[:2], f32)
    for t in range(best.shape[2]):
        score = score + best[:, :, t]
    return score


def bits(array):
    return np.ascontiguousarray(array, f32).view(np.uint32)


def randn(rng, *shape):
    return rng.standard_normal(shape).astype(f32)


@pytest.mark.parametrize("dim", [7, 9, 16, 33])
def test_scores_match_the_fixed_summation_order_bit_for_bit(dim):
    rng = np.random.default_rng(dim)
    q = randn(rng, 3, 4, dim)
    d = randn(rng, 5, 7, dim)  # seven document tokens: one block of four and a remainder
    result = qs.compute_max_sim_batch_f32(q, d)
    assert result.dtype == f32 and result.shape == (3, 5) and result.flags.c_contiguous
    np.testing.assert_array_equal(bits(result), bits(literal_max_sim(q, d)))


def test_strided_leading_axes_are_read_in_place():
    rng = np.random.default_rng(1)
    q_base = randn(rng, 6, 5, 9)
    d_base = randn(rng, 4, 8, 9)
    q = q_base[::2]  # every other query
    d = d_base[::-1, ::3]  # documents reversed, every third token
    tokens_first = np.ascontiguousarray(np.swapaxes(d_base, 0, 1))
    d_swapped = np.swapaxes(tokens_first, 0, 1)  # same values, leading strides exchanged
    expected = qs.compute_max_sim_batch_f32(np.ascontiguousarray(q), np.ascontiguousarray(d))
    np.testing.assert_array_equal(bits(qs.compute_max_sim_batch_f32(q, d)), bits(expected))
    np.testing.assert_array_equal(
        bits(qs.compute_max_sim_batch_f32(q, d_swapped)), bits(qs.compute_max_sim_batch_f32(q, d_base))
    )


@pytest.mark.parametrize("which", ["q_vecs", "d_vecs"])
def test_token_rows_strided_along_the_last_axis_are_refused(which):
    rng = np.random.default_rng(2)
    good = randn(rng, 2, 3, 4)
    for bad in (randn(rng, 2, 3, 8)[:, :, ::2], np.swapaxes(randn(rng, 2, 4, 3), 1, 2), good[:, :, ::-1]):
        args = (bad, good) if which == "q_vecs" else (good, bad)
        with pytest.raises(qs.PanicException):
            qs.compute_max_sim_batch_f32(*args)
    # One value per row has no stride to misread.
    single = randn(rng, 2, 3, 2)[:, :, ::2]
    assert qs.compute_max_sim_batch_f32(single, single).shape == (2, 2)


def misaligned(array):
    """A copy of array whose buffer starts one byte past an aligned address."""
    buffer = np.zeros(array.nbytes + 1, np.uint8)
    view = np.frombuffer(buffer.data, array.dtype, count=array.size, offset=1).reshape(array.shape)
    view[...] = array
    return view


def test_misaligned_buffers_give_the_bits_of_aligned_copies():
    rng = np.random.default_rng(5)
    q, d = randn(rng, 2, 3, 13), randn(rng, 4, 5, 13)
    expected = bits(qs.compute_max_sim_batch_f32(q, d))
    np.testing.assert_array_equal(bits(qs.compute_max_sim_batch_f32(misaligned(q), misaligned(d))), expected)
    # Leading strides that are no whole number of floats (a packed record field, say).
    records = np.zeros((4, 5), dtype=[("pad", "u1"), ("v", f32, (13,))])
    records["v"] = d
    assert records["v"].strides[1] % 4 == 1
    np.testing.assert_array_equal(bits(qs.compute_max_sim_batch_f32(q, records["v"])), expected)


@pytest.mark.parametrize("q_items, d_items", [(2**40, 2**40), (2**31, 2**31), (2**20, 2**20)])
def test_results_too_large_to_hold_fail_at_once(q_items, d_items):
    # The size overflows, exceeds any address space, or is merely more memory than there is.
    with pytest.raises(MemoryError):
        qs.compute_max_sim_batch_f32(np.zeros((q_items, 0, 4), f32), np.zeros((d_items, 0, 4), f32))


def test_results_too_large_to_hold_fail_before_any_scoring():
    # Every pair has a token to score: computing before allocating would take days.
    token = np.ones((1, 1, 8), f32)
    many = np.lib.stride_tricks.as_strided(token, (2**20, 1, 8), (0, 0, 4))
    with pytest.raises(MemoryError):
        qs.compute_max_sim_batch_f32(many, many)


def test_empty_axes():
    rng = np.random.default_rng(3)
    q = randn(rng, 2, 3, 5)
    d = randn(rng, 4, 2, 5)
    no_query_tokens = qs.compute_max_sim_batch_f32(np.zeros((2, 0, 5), f32), d)
    assert no_query_tokens.shape == (2, 4) and not np.signbit(no_query_tokens).any() and (no_query_tokens == 0).all()
    assert (qs.compute_max_sim_batch_f32(q, np.zeros((4, 0, 5), f32)) == -np.inf).all()
    assert qs.compute_max_sim_batch_f32(np.zeros((0, 3, 5), f32), d).shape == (0, 4)
    assert qs.compute_max_sim_batch_f32(q, np.zeros((0, 2, 5), f32)).shape == (2, 0)
    assert (qs.compute_max_sim_batch_f32(np.zeros((2, 3, 0), f32), np.zeros((4, 2, 0), f32)) == 0).all()


def test_nan_dot_products_never_win():
    q = np.array([[[1, 0, 0]]], f32)
    d = np.array(
        [
            [[np.nan, 0, 0], [1, 0, 0], [np.nan, 0, 0], [2, 0, 0], [np.nan, 0, 0]],
            [[np.nan, 0, 0]] * 5,
        ],
        f32,
    )
    assert qs.compute_max_sim_batch_f32(q, d).tolist() == [[2.0, -np.inf]]


def test_inputs_are_left_unchanged_and_result_is_fresh():
    rng = np.random.default_rng(4)
    q = randn(rng, 2, 2, 8)
    d = randn(rng, 3, 2, 8)
    q_copy, d_copy = q.copy(), d.copy()
    first = qs.compute_max_sim_batch_f32(q, d)
    second = qs.compute_max_sim_batch_f32(q, d)
    assert not np.shares_memory(first, second) and not np.shares_memory(first, q)
    np.testing.assert_array_equal(q, q_copy)
    np.testing.assert_array_equal(d, d_copy)


def test_argument_errors_name_the_argument():
    good = np.zeros((2, 3, 4), f32)
    for bad in (good.astype(np.float64), good[0], good.astype(">f4"), good.tolist(), np.zeros((1, 2, 3, 4), f32)):
        with pytest.raises(TypeError, match="q_vecs"):
            qs.compute_max_sim_batch_f32(bad, good)
        with pytest.raises(TypeError, match="d_vecs"):
            qs.compute_max_sim_batch_f32(good, bad)
    # The query array is checked first, and types before shapes.
    with pytest.raises(TypeError, match="q_vecs"):
        qs.compute_max_sim_batch_f32(None, None)
    with pytest.raises(TypeError, match="d_vecs"):
        qs.compute_max_sim_batch_f32(good, np.zeros((2, 3, 5), np.float64))
    with pytest.raises(TypeError, match="d_vecs"):
        qs.compute_max_sim_batch_f32(q_vecs=good)
    with pytest.raises(TypeError, match="extra"):
        qs.compute_max_sim_batch_f32(good, good, extra=1)
    assert qs.compute_max_sim_batch_f32(d_vecs=good, q_vecs=good).shape == (2, 2)


def test_dimension_mismatch():
    with pytest.raises(ValueError, match="^Dimension mismatch$"):
        qs.compute_max_sim_batch_f32(np.zeros((2, 3, 128), f32), np.zeros((5, 4, 64), f32))
    with pytest.raises(ValueError, match="^Dimension mismatch$"):
        qs.compute_max_sim_batch_f32(np.zeros((0, 0, 1), f32), np.zeros((0, 0, 2), f32))


def test_text_signature():
    assert qs.compute_max_sim_batch_f32.__text_signature__ == "(q_vecs, d_vecs)"
    assert qs.compute_max_sim_batch_f32.__doc__
