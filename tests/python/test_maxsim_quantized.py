"""compute_max_sim_batch: pair estimates, code and metadata handling, argument errors."""
import numpy as np
import pytest

import quarnel_solver as qs

f32 = np.float32
u8 = np.uint8


def meta(rows, width=4):
    """Metadata array of shape (items, tokens, width) from nested [scale, offset, code_sum, spare] lists."""
    array = np.zeros(np.array(rows, f32).shape[:2] + (width,), f32)
    array[:, :, : min(width, 4)] = np.array(rows, f32)[:, :, : min(width, 4)]
    return array


def score(q_codes, q_meta, d_codes, d_meta, num_bits, dim):
    return qs.compute_max_sim_batch(q_codes, q_meta, d_codes, d_meta, num_bits, dim)


def literal_scores(q_codes, q_meta, d_codes, d_meta, num_bits, w):
    """The pair estimate written out in float32, one operation at a time."""
    length = q_codes.shape[2]
    q = q_codes[:, None, :, None, :].astype(np.int64)
    d = d_codes[None, :, None, :, :length].astype(np.int64)
    if num_bits == 1:
        hamming = np.unpackbits((q ^ d).astype(u8), axis=-1).sum(axis=-1)
        pairs = f32(w) - f32(2) * hamming.astype(f32)
    else:
        if num_bits == 8:
            integer = (q * d).sum(axis=-1)
        else:
            integer = ((q & 15) * (d & 15) + (q >> 4) * (d >> 4)).sum(axis=-1)
        integer = (integer & 0xFFFFFFFF).astype(np.uint32).astype(f32)
        qa, qb = q_meta[:, None, :, None, 0], q_meta[:, None, :, None, 1]
        da, db = d_meta[None, :, None, :, 0], d_meta[None, :, None, :, 1]
        q_sum = np.trunc(q_meta[:, None, :, None, 2]).astype(np.uint32).astype(f32)
        d_sum = np.trunc(d_meta[None, :, None, :, 2]).astype(np.uint32).astype(f32)
        t1 = (qa * da) * integer
        t2 = (qa * db) * q_sum
        t3 = (qb * da) * d_sum
        t4 = (qb * f32(w)) * db
        pairs = t1 + (t2 + (t3 + t4))
    best = np.where(np.isnan(pairs), f32(-np.inf), pairs).max(axis=3, initial=-np.inf).astype(f32)
    total = np.zeros(best.shape[:2], f32)
    for t in range(best.shape[2]):
        total = total + best[:, :, t]
    return total


def random_side(rng, items, tokens, code_bytes):
    codes = rng.integers(0, 256, (items, tokens, code_bytes), dtype=u8)
    metadata = np.stack(
        [
            rng.uniform(0.001, 0.05, (items, tokens)),
            rng.uniform(-1, 1, (items, tokens)),
            rng.uniform(0, 4000, (items, tokens)),
            np.zeros((items, tokens)),
        ],
        axis=-1,
    ).astype(f32)
    return codes, metadata


@pytest.mark.parametrize("num_bits", [1, 4, 8])
@pytest.mark.parametrize("code_bytes", [3, 16, 40])
def test_scores_match_the_pair_formula_bit_for_bit(num_bits, code_bytes):
    rng = np.random.default_rng(num_bits * 100 + code_bytes)
    q_codes, q_meta = random_side(rng, 3, 4, code_bytes)
    d_codes, d_meta = random_side(rng, 5, 6, code_bytes + 3)
    result = score(q_codes, q_meta, d_codes, d_meta, num_bits, 100)  # w = 128
    assert result.dtype == f32 and result.shape == (3, 5) and result.flags.c_contiguous
    expected = literal_scores(q_codes, q_meta, d_codes, d_meta, num_bits, 128)
    np.testing.assert_array_equal(result.view(np.uint32), expected.view(np.uint32))


def test_worked_values():
    # 1 bit, w = 16: identical, complementary and one-bit-apart codes.
    zero_meta = np.zeros((1, 1, 4), f32)
    q = np.array([[[0xA5, 0x3C]]], u8)
    d = np.array([[[0xA5, 0x3C]], [[0x5A, 0xC3]], [[0xA5, 0x3D]]], u8)
    assert score(q, zero_meta, d, np.zeros((3, 1, 4), f32), 1, 16).tolist() == [[16.0, -16.0, 14.0]]
    # 1 bit with no code bytes: every pair is w, summed over two query tokens.
    empty = np.zeros((1, 2, 0), u8)
    assert score(empty, np.zeros((1, 2, 4), f32), empty, np.zeros((1, 2, 4), f32), 1, 16).tolist() == [[32.0]]
    # 8 bits, dim 3 (w = 4).
    codes = np.array([[[1, 2, 3, 0]]], u8)
    m = meta([[[1, 0, 6, 0]]])
    assert score(codes, m, codes, m, 8, 3).tolist() == [[14.0]]
    # 4 bits: 0x21 with 0x21 gives 1*1 + 2*2.
    nibbles = np.array([[[0x21]]], u8)
    m = meta([[[1, 0, 0, 0]]])
    assert score(nibbles, m, nibbles, m, 4, 2).tolist() == [[5.0]]


def test_code_sum_is_truncated_and_clamped():
    # qa = db = 1 and everything else 0 leaves the query code sum as the score.
    codes = np.zeros((1, 1, 4), u8)
    d_meta = meta([[[0, 1, 0, 0]]])
    for code_sum, expected in [(-3.5, 0.0), (7.9, 7.0), (5e9, 4294967296.0), (np.nan, 0.0), (np.inf, 4294967296.0)]:
        q_meta = meta([[[1, 0, code_sum, 0]]])
        assert score(codes, q_meta, codes, d_meta, 8, 4).tolist() == [[expected]], code_sum


def test_metadata_beyond_the_codes_is_ignored_and_too_little_is_refused():
    rng = np.random.default_rng(5)
    q_codes, q_meta = random_side(rng, 2, 3, 8)
    d_codes, d_meta = random_side(rng, 2, 2, 8)
    expected = score(q_codes, q_meta, d_codes, d_meta, 8, 8)
    wider = np.concatenate([q_meta, np.full((2, 3, 1), np.nan, f32)], axis=2)
    larger = np.concatenate([d_meta, np.full((3, 2, 4), np.nan, f32)], axis=0)
    np.testing.assert_array_equal(score(q_codes, wider, d_codes, larger, 8, 8), expected)
    for bad_q_meta in (q_meta[:, :, :3], q_meta[:1], q_meta[:, :2]):
        with pytest.raises(qs.PanicException):
            score(q_codes, bad_q_meta, d_codes, d_meta, 8, 8)
    with pytest.raises(qs.PanicException):
        score(q_codes, q_meta, d_codes, d_meta[:, :, :3], 8, 8)


def test_document_codes_shorter_than_query_codes():
    rng = np.random.default_rng(6)
    q_codes, q_meta = random_side(rng, 2, 2, 32)
    d_codes, d_meta = random_side(rng, 2, 2, 16)
    with pytest.raises(qs.PanicException, match=r"index is 16 but the length is 16"):
        score(q_codes, q_meta, d_codes, d_meta, 1, 256)
    # Longer document codes: only the query's length is read.
    long_codes, _ = random_side(rng, 2, 2, 32)
    for num_bits in (1, 4, 8):
        np.testing.assert_array_equal(
            score(d_codes, d_meta, long_codes, q_meta, num_bits, 128),
            score(d_codes, d_meta, np.ascontiguousarray(long_codes[:, :, :16]), q_meta, num_bits, 128),
        )


@pytest.mark.parametrize("num_bits", [0, 2, 3, 16])
def test_unsupported_bit_counts_are_refused_before_reading_arrays(num_bits):
    # Both metadata arrays are too narrow and the document codes too short:
    # the bit count is still what is reported.
    q_codes = np.zeros((1, 1, 8), u8)
    d_codes = np.zeros((1, 1, 2), u8)
    narrow = np.zeros((1, 1, 1), f32)
    with pytest.raises(qs.PanicException, match=r"^Only 1, 4, or 8-bit supported$"):
        score(q_codes, narrow, d_codes, narrow, num_bits, 64)


def test_empty_axes():
    rng = np.random.default_rng(7)
    q_codes, q_meta = random_side(rng, 2, 3, 8)
    d_codes, d_meta = random_side(rng, 4, 2, 8)
    none_q = score(q_codes[:, :0], q_meta[:, :0], d_codes, d_meta, 8, 8)
    assert none_q.shape == (2, 4) and (none_q == 0).all() and not np.signbit(none_q).any()
    assert (score(q_codes, q_meta, d_codes[:, :0], d_meta[:, :0], 4, 8) == -np.inf).all()
    assert score(q_codes[:0], q_meta[:0], d_codes, d_meta, 1, 8).shape == (0, 4)
    assert score(q_codes, q_meta, d_codes[:0], d_meta[:0], 1, 8).shape == (2, 0)


def test_nan_estimates_never_win():
    # A NaN scale makes every estimate of that document token NaN.
    rng = np.random.default_rng(9)
    q_codes, q_meta = random_side(rng, 2, 3, 8)
    d_codes, d_meta = random_side(rng, 2, 5, 8)
    d_meta[0, 2, 0] = np.nan
    d_meta[1, :, 0] = np.nan
    result = score(q_codes, q_meta, d_codes, d_meta, 8, 8)
    np.testing.assert_array_equal(result, literal_scores(q_codes, q_meta, d_codes, d_meta, 8, 8))
    assert np.isfinite(result[:, 0]).all() and (result[:, 1] == -np.inf).all()


def test_strided_arrays_give_the_same_scores_as_copies():
    rng = np.random.default_rng(8)
    q_codes, q_meta = random_side(rng, 4, 3, 24)
    d_codes, d_meta = random_side(rng, 3, 4, 24)
    views = (q_codes[::2, :, ::2], q_meta[::2], d_codes[::-1, :, ::2], d_meta[::-1])
    copies = tuple(np.ascontiguousarray(v) for v in views)
    for num_bits in (1, 4, 8):
        np.testing.assert_array_equal(score(*views, num_bits, 96), score(*copies, num_bits, 96))


def odd_address(array):
    """A copy of array whose buffer starts one byte past an aligned address."""
    buffer = np.zeros(array.nbytes + 1, u8)
    view = np.frombuffer(buffer.data, array.dtype, count=array.size, offset=1).reshape(array.shape)
    view[...] = array
    return view


def test_misaligned_metadata_gives_the_bits_of_aligned_copies():
    rng = np.random.default_rng(9)
    q_codes, q_meta = random_side(rng, 3, 4, 16)
    d_codes, d_meta = random_side(rng, 5, 3, 16)
    assert q_meta.ctypes.data % 4 == 0 and odd_address(q_meta).ctypes.data % 4 == 1
    for num_bits in (1, 4, 8):
        expected = score(q_codes, q_meta, d_codes, d_meta, num_bits, 128).view(np.uint32)
        got = score(odd_address(q_codes), odd_address(q_meta), odd_address(d_codes), odd_address(d_meta), num_bits, 128)
        np.testing.assert_array_equal(got.view(np.uint32), expected)


def broadcast(array, items):
    """`items` copies of a one-item array without the memory: a zero leading stride."""
    return np.lib.stride_tricks.as_strided(array, (items,) + array.shape[1:], (0,) + array.strides[1:])


@pytest.mark.parametrize("items", [2**40, 2**31, 2**20])
def test_results_too_large_to_hold_fail_before_any_scoring(items):
    # Every pair has a token to score: computing before allocating would take days.
    codes, metadata = random_side(np.random.default_rng(2), 1, 1, 4)
    with pytest.raises(MemoryError):
        score(broadcast(codes, items), broadcast(metadata, items), broadcast(codes, items), broadcast(metadata, items),
              8, 32)


def test_argument_errors_name_the_argument():
    codes = np.zeros((1, 1, 4), u8)
    m = np.zeros((1, 1, 4), f32)
    good = [codes, m, codes, m, 8, 4]
    names = ["q_codes", "q_meta", "d_codes", "d_meta", "num_bits", "dim"]
    bad_values = {
        "q_codes": [m, codes[0], codes.tolist()],
        "q_meta": [codes, m.astype(np.float64), m.astype(">f4")],
        "d_codes": [codes.astype(np.int8), None],
        "d_meta": [m[0], "meta"],
        "num_bits": [-1, 2**64, 8.0, "8", None],
        "dim": [-4, 2**70, 4.5],
    }
    for name, values in bad_values.items():
        for value in values:
            args = list(good)
            args[names.index(name)] = value
            with pytest.raises(TypeError, match=name):
                qs.compute_max_sim_batch(*args)
    # The first bad argument in order is the one reported.
    with pytest.raises(TypeError, match="q_meta"):
        qs.compute_max_sim_batch(codes, None, None, None, -1, -1)
    with pytest.raises(TypeError, match="dim"):
        qs.compute_max_sim_batch(*good[:5])
    assert qs.compute_max_sim_batch(**dict(zip(names, good))).shape == (1, 1)
    assert qs.compute_max_sim_batch(codes, m, codes, m, np.uint8(8), np.int64(4)).shape == (1, 1)


def test_dim_above_the_largest_power_of_two_is_refused():
    codes = np.zeros((1, 1, 4), u8)
    m = np.zeros((1, 1, 4), f32)
    assert score(codes, m, codes, m, 1, 2**63).tolist() == [[float(2**63)]]
    with pytest.raises(qs.PanicException, match="dim"):
        score(codes, m, codes, m, 1, 2**63 + 1)


def test_text_signature():
    assert (
        qs.compute_max_sim_batch.__text_signature__ == "(q_codes, q_meta, d_codes, d_meta, num_bits, dim)"
    )
    assert qs.compute_max_sim_batch.__doc__


def test_an_index_that_resizes_an_array_cannot_make_it_read_out_of_bounds():
    codes, metadata = random_side(np.random.default_rng(4), 2, 3, 8)

    class Resizing:
        def __index__(self):
            codes.resize((4,), refcheck=False)
            return 8

    with pytest.raises(TypeError, match="q_codes"):
        score(codes, metadata, codes.copy(), metadata, Resizing(), 64)
