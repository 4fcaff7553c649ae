"""Bounded fuzzing of every entry point of quarnel_solver and the quarnel layer.

Each example either returns a result whose invariants hold (ascending
in-range indices, token counts that add up, a satisfied result that truly
meets its constraints, MaxSim scores that do not depend on the layout) or
raises one of the documented exception classes. Inputs are mostly valid with
a few wild parts: dtypes, shapes, layouts, NaN/inf/-0.0, huge integers, wrong
types and conversions that change the containers being read.
"""
import os

import numpy as np
import pytest
import quarnel_solver as qs
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quarnel

# About 20 s in all; the instrumented build runs every example several times
# slower. QUARNEL_FUZZ_EXAMPLES sets the count per test for longer campaigns.
EXAMPLES = int(os.environ.get("QUARNEL_FUZZ_EXAMPLES", 100 if os.environ.get("QUARNEL_SLOW_BUILD") else 250))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, database=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much])
# Complex values converted element by element lose their imaginary part, as float() does.
pytestmark = pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")
ARGUMENT_ERRORS = (TypeError, ValueError, OverflowError)
MAXSIM_ERRORS = ARGUMENT_ERRORS + (MemoryError, qs.PanicException)
ROLE_BYTES = {"definition": 0, "example": 1, "evidence": 2, "conclusion": 3, "risk": 4, "constraint": 5,
              "datatable": 6, "data_table": 6, "table": 6, "procedure": 7}

floats = st.floats(width=32, allow_nan=True, allow_infinity=True) | st.sampled_from([-0.0, 1e-45, 3.4e38])
huge_ints = st.sampled_from([-1, 0, 1, 2**31, 2**32 - 1, 2**32, 2**63, 2**64 - 1, 2**64, 2**200])
wrong = st.sampled_from([None, "7", b"7", 1.5, [1], {"a": 1}, object(), np.float64(2.0), True])


class Meddling:
    """A number whose conversion changes the container it sits in."""

    def __init__(self, container, value):
        self.container, self.value = container, value

    def __float__(self):
        self._meddle()
        return float(self.value)

    def __index__(self):
        self._meddle()
        return int(self.value)

    def _meddle(self):
        if isinstance(self.container, list):
            self.container.clear() if len(self.container) % 2 else self.container.extend([0.5] * 3)
        elif isinstance(self.container, dict):
            self.container.clear()


class ShrinkingSequence:
    """A sequence of str whose length drops by one whenever an item is read."""

    def __init__(self, items):
        self.items, self.length = list(items), len(items)

    def __len__(self):
        return self.length

    def __getitem__(self, k):
        self.length = max(self.length - 1, 0)
        return self.items[k]


# ---------------------------------------------------------------- arrays


def relayout(array, how):
    """The same values in another memory layout."""
    if how == "fortran":
        return np.asfortranarray(array)
    if how == "reversed" and array.ndim:
        return array[::-1].copy()[::-1]
    if how == "strided" and array.ndim:
        doubled = np.repeat(array, 2, axis=-1) if array.shape[-1] else array
        return doubled[..., ::2] if array.shape[-1] else doubled
    if how == "misaligned" and array.size and array.dtype != object:
        buffer = np.zeros(array.nbytes + 1, np.uint8)
        view = np.frombuffer(buffer.data, array.dtype, count=array.size, offset=1).reshape(array.shape)
        view[...] = array
        return view
    if how == "readonly":
        array = array.copy()
        array.flags.writeable = False
    return array


layouts = st.sampled_from(["c", "fortran", "reversed", "strided", "misaligned", "readonly"])
odd_dtypes = st.sampled_from([np.float64, np.float16, np.int32, np.uint32, np.uint8, np.int64, ">f4", np.bool_,
                              np.complex64, object])


@st.composite
def wild_arrays(draw, shape, dtype):
    """An array of `dtype` and `shape`, or now and then another dtype, shape, layout or no array at all."""
    kind = draw(st.sampled_from(["good"] * 6 + ["dtype", "shape", "wrong"]))
    if kind == "wrong":
        return draw(wrong)
    if kind == "shape":
        shape = draw(st.lists(st.integers(0, 4), max_size=3).map(tuple))
    values = np.array(draw(st.lists(floats, min_size=int(np.prod(shape)), max_size=int(np.prod(shape)))),
                      np.float64).reshape(shape)
    target = draw(odd_dtypes) if kind == "dtype" else dtype
    with np.errstate(all="ignore"):
        array = values.astype(target) if target is not object else values.astype(object)
    return relayout(array, draw(layouts))


# ---------------------------------------------------------------- solves


@st.composite
def configs(draw):
    values = {name: draw(floats) for name in draw(st.sets(st.sampled_from(["alpha", "beta", "gamma", "delta",
                                                                           "epsilon", "mu", "lambda_"])))}
    values.update(iterations=draw(st.integers(0, 25)), exact_window_time_ms=draw(st.integers(0, 3)),
                  exact_window_size=draw(st.integers(0, 24)), random_seed=draw(st.none() | st.integers(0, 2**64 - 1)),
                  tabu_tenure=draw(st.integers(0, 2**64 - 1)), early_stopping_patience=draw(st.integers(0, 40)))
    for switch in draw(st.sets(st.sampled_from(["enable_path_relinking", "enable_destroy_repair",
                                                "enable_reactive_tenure", "enable_exact_window"]))):
        values[switch] = False
    if draw(st.integers(0, 9)) == 0:
        values[draw(st.sampled_from(sorted(values)))] = draw(wrong | huge_ints)
    return values


ids = st.sampled_from([f"chunk_{k}" for k in range(12)] + ["", "x", "é", "chunk_01"])
role_names = st.sampled_from(list(ROLE_BYTES) + ["Definition", "DATA_TABLE", "unknown", "", "nonsense"])


@st.composite
def constraint_values(draw):
    values = dict(max_tokens=draw(st.integers(0, 3000)), min_tokens=draw(st.integers(0, 300)),
                  min_chunks=draw(st.integers(0, 4)), max_chunks=draw(st.integers(0, 12)),
                  max_per_cluster=draw(st.integers(0, 4)),
                  must_include_roles=draw(st.lists(role_names, max_size=3)),
                  excluded_chunks=draw(st.lists(ids, max_size=4)), required_chunks=draw(st.lists(ids, max_size=3)))
    if draw(st.integers(0, 9)) == 0:
        values[draw(st.sampled_from(sorted(values)))] = draw(wrong | huge_ints | st.just("chunk_1"))
    if draw(st.integers(0, 9)) == 0 and isinstance(values["excluded_chunks"], list):
        values["excluded_chunks"] = ShrinkingSequence(values["excluded_chunks"])
    return values


def check_solution(out, n, costs, roles, clusters, chunk_ids, limits):
    """Invariants of any output, and the constraints of a satisfied one."""
    chosen = out.selected_indices
    assert chosen == sorted(set(chosen)) and all(0 <= i < n for i in chosen)
    assert out.num_selected == len(chosen)
    assert out.total_tokens == sum(int(costs[i]) for i in chosen) % 2**32
    assert out.constraints_satisfied == (not out.constraint_violations)
    if not out.constraints_satisfied:
        return
    tokens = sum(int(costs[i]) for i in chosen)
    assert limits.get("min_chunks", 1) <= len(chosen) <= limits.get("max_chunks", 50)
    assert tokens >= limits.get("min_tokens", 0)
    assert not chosen or tokens <= limits.get("max_tokens", 8192)
    picked = [chunk_ids[i] for i in chosen]
    assert not set(picked) & set(limits.get("excluded_chunks") or [])
    assert set(limits.get("required_chunks") or []) <= set(picked)
    held = {int(roles[i]) if int(roles[i]) < 8 else 255 for i in chosen}
    assert {ROLE_BYTES.get(name.lower(), 255) for name in limits.get("must_include_roles") or []} <= held
    per_cluster = {}
    for i in chosen:
        if clusters[i] >= 0:
            per_cluster[clusters[i]] = per_cluster.get(clusters[i], 0) + 1
    assert max(per_cluster.values(), default=0) <= limits.get("max_per_cluster", 3)


@st.composite
def numpy_problems(draw):
    n, d = draw(st.integers(0, 12)), draw(st.integers(0, 6))
    f32 = np.float32
    args = dict(embeddings=draw(wild_arrays((n, d), f32)), query_embedding=draw(wild_arrays((d,), f32)),
                token_costs=np.array(draw(st.lists(st.integers(0, 2**32 - 1) | st.integers(0, 400), min_size=n,
                                                   max_size=n)), np.uint32),
                density_scores=draw(wild_arrays((n,), f32)), centrality_scores=draw(wild_arrays((n,), f32)),
                recency_scores=draw(wild_arrays((n,), f32)), auxiliary_scores=draw(wild_arrays((n,), f32)),
                roles=np.array(draw(st.lists(st.integers(0, 255), min_size=n, max_size=n)), np.uint8),
                cluster_ids=np.array(draw(st.lists(st.integers(-3, 3), min_size=n, max_size=n)), np.int32))
    if draw(st.booleans()):
        args["token_costs"] = draw(wild_arrays((n,), np.uint32))
    return args


def call_solve(solve, config, limits, args):
    try:
        solver = qs.TabuSearchSolver(qs.SolverConfig(**config))
        constraints = qs.SolverConstraints(**limits)
        return getattr(solver, solve)(**args, constraints=constraints)
    except ARGUMENT_ERRORS:
        return None
    except qs.PanicException as panic:
        # Documented: embeddings of dimension 0 without a similarity matrix.
        assert "zero embedding dimension" in str(panic)
        return None


@FUZZ
@given(configs(), constraint_values(), numpy_problems(), st.booleans())
def test_numpy_solves(config, limits, args, precomputed):
    if precomputed:
        costs = args["token_costs"]
        n = len(costs) if isinstance(costs, np.ndarray) and costs.ndim == 1 else 0
        args = dict(args, relevance_scores=args.pop("query_embedding"),
                    similarity_matrix=np.full((n, n), 0.5, np.float32) if n % 2 else None)
    out = call_solve("solve_precomputed_numpy" if precomputed else "solve_numpy", config, limits, args)
    if out is not None:
        n = len(args["token_costs"])
        check_solution(out, n, args["token_costs"], args["roles"], args["cluster_ids"],
                       [f"chunk_{i}" for i in range(n)], limits)


@st.composite
def chunk_lists(draw):
    n, d = draw(st.integers(0, 8)), draw(st.integers(1, 5))
    chunks = []
    for k in range(n):
        chunk = {"embedding": draw(st.lists(floats, min_size=d, max_size=d))}
        for key, values in [("chunk_id", ids), ("token_count", st.integers(0, 500)), ("cluster_id", st.integers(-2, 3)),
                            ("rhetorical_role", role_names), ("fact_density", floats), ("content", st.just("text"))]:
            if draw(st.booleans()):
                chunk[key] = draw(values)
        chunks.append(chunk)
    if chunks and draw(st.integers(0, 3)) == 0:  # a conversion that changes what is being read
        victim = draw(st.sampled_from(chunks))
        target = draw(st.sampled_from(["embedding", "chunks", "dict"]))
        container = {"embedding": victim["embedding"], "chunks": chunks, "dict": victim}[target]
        victim["embedding"][0] = Meddling(container, 0.25)
        if target != "embedding":
            victim["token_count"] = Meddling(container, 3)
    if chunks and draw(st.integers(0, 4)) == 0:
        draw(st.sampled_from(chunks))[draw(st.sampled_from(["embedding", "token_count", "cluster_id", "chunk_id",
                                                            "rhetorical_role"]))] = draw(wrong | huge_ints)
    if draw(st.integers(0, 5)) == 0:
        victim = draw(st.sampled_from(chunks)) if chunks else {}
        victim["embedding"] = draw(wild_arrays((d,), np.float32))
    return chunks, d


@FUZZ
@given(configs(), constraint_values(), chunk_lists(), st.sampled_from(["list", "tuple", "query"]))
def test_chunk_solves(config, limits, given_chunks, variant):
    chunks, d = given_chunks
    # Invariants are checked only for chunks whose values run no Python code when read.
    plain = all(isinstance(c, dict) and all(type(v) in (int, str, float, list) for v in c.values()) and
                isinstance(c.get("embedding"), list) and all(type(x) in (int, float) for x in c["embedding"])
                for c in chunks)
    ids_before = [c.get("chunk_id", f"chunk_{k}") if isinstance(c, dict) else None for k, c in enumerate(chunks)]
    costs = [c.get("token_count", 100) if isinstance(c, dict) else None for c in chunks]
    roles = [ROLE_BYTES.get(c.get("rhetorical_role", "").lower(), 255) if isinstance(c, dict) and
             isinstance(c.get("rhetorical_role", ""), str) else 255 for c in chunks]
    clusters = [c.get("cluster_id", -1) if isinstance(c, dict) else -1 for c in chunks]
    query = np.linspace(-1, 1, d + (variant == "query")).astype(np.float32)
    out = call_solve("solve", config, limits, dict(chunks=tuple(chunks) if variant == "tuple" else chunks,
                                                   query_embedding=query))
    if out is not None and plain:
        check_solution(out, len(chunks), costs, roles, clusters, ids_before, limits)


# ---------------------------------------------------------------- classes


@FUZZ
@given(st.dictionaries(st.sampled_from(["alpha", "iterations", "use_gpu", "random_seed", "support_quorum_cap",
                                        "exact_window_time_ms", "bogus"]), floats | huge_ints | wrong, max_size=3),
       st.sampled_from(["alpha", "iterations", "use_gpu", "random_seed", "max_tokens", "min_chunks"]),
       floats | huge_ints | wrong)
def test_record_classes(kwargs, attribute, value):
    import copy
    import pickle

    for cls in (qs.SolverConfig, qs.SolverConstraints):
        try:
            record = cls(**{k: v for k, v in kwargs.items() if cls is qs.SolverConfig or k != "alpha"})
        except ARGUMENT_ERRORS:
            continue
        if hasattr(record, attribute):
            before = getattr(record, attribute)
            try:
                setattr(record, attribute, value)
            except ARGUMENT_ERRORS:
                assert getattr(record, attribute) == before or before != before  # kept (NaN is never equal)
        twin = pickle.loads(pickle.dumps(copy.deepcopy(record)))
        assert repr(twin) == repr(record)


# ---------------------------------------------------------------- MaxSim


def same_bits(a, b):
    return np.array_equal(np.ascontiguousarray(a).view(np.uint32), np.ascontiguousarray(b).view(np.uint32))


def plain_copies(*arrays):
    return [np.ascontiguousarray(a) if isinstance(a, np.ndarray) and a.dtype != object else a for a in arrays]


@FUZZ
@given(st.data())
def test_module_maxsim(data):
    q_items, d_items, q_tokens, d_tokens = (data.draw(st.integers(0, 3)) for _ in range(4))
    if data.draw(st.booleans()):
        dim = data.draw(st.integers(0, 20))
        q = data.draw(wild_arrays((q_items, q_tokens, dim), np.float32))
        d = data.draw(wild_arrays((d_items, d_tokens, dim + data.draw(st.sampled_from([0, 0, 1]))), np.float32))
        args = (q, d)
        call = qs.compute_max_sim_batch_f32
    else:
        width = data.draw(st.integers(0, 6))
        args = (data.draw(wild_arrays((q_items, q_tokens, width), np.uint8)),
                data.draw(wild_arrays((q_items, q_tokens, 4), np.float32)),
                data.draw(wild_arrays((d_items, d_tokens, max(width + data.draw(st.integers(-1, 1)), 0)), np.uint8)),
                data.draw(wild_arrays((d_items, d_tokens, 4), np.float32)),
                data.draw(st.sampled_from([1, 4, 8, 8, 0, 2]) | huge_ints), data.draw(st.integers(0, 64) | huge_ints))
        call = qs.compute_max_sim_batch
    try:
        scores = call(*args)
    except MAXSIM_ERRORS:
        return
    assert scores.dtype == np.float32 and scores.shape == (len(args[0]), len(args[-4 if len(args) == 6 else 1]))
    assert same_bits(call(*plain_copies(*args)), scores)


@st.composite
def token_sides(draw, width, dtype):
    """One side of a quarnel.maxsim call in one of its three forms, with its index arguments."""
    items = draw(st.integers(0, 4))
    counts = draw(st.lists(st.integers(0, 3), min_size=items, max_size=items))
    rows = [np.array(draw(st.lists(floats, min_size=c * width, max_size=c * width)), np.float64).reshape(c, width)
            for c in counts]
    with np.errstate(all="ignore"):
        rows = [r.astype(dtype) for r in rows]
    form = draw(st.sampled_from(["list", "padded", "packed"]))
    if form == "list":
        return [relayout(r, draw(layouts)) for r in rows], {}, items
    if form == "padded":
        padded = np.zeros((items, max(counts, default=0), width), dtype)
        for k, r in enumerate(rows):
            padded[k, : len(r)] = r
        lengths = counts if draw(st.booleans()) else draw(st.lists(st.integers(-1, 4), min_size=items, max_size=items))
        return relayout(padded, draw(layouts)), {"lengths": lengths}, items
    packed = np.concatenate(rows) if rows else np.zeros((0, width), dtype)
    offsets = np.concatenate([[0], np.cumsum(counts)]).astype(int)
    return relayout(packed, draw(layouts)), {"offsets": offsets}, items


def side_kwargs(prefix, extra):
    return {f"{prefix}_{key}": value for key, value in extra.items()}


def metadata_like(codes):
    """Metadata of the same form and token counts as the codes: scale 0.01, offset 0, code sum 0, spare 0."""
    def like(tokens):
        meta = np.zeros(tokens.shape[:-1] + (4,), np.float32)
        meta[..., 0] = 0.01
        return meta
    return [like(c) for c in codes] if isinstance(codes, list) else like(codes)


@FUZZ
@given(st.data())
def test_layer_maxsim(data):
    kind = data.draw(st.sampled_from(["float", "binary", "quantized"]))
    width = data.draw(st.integers(1, 12))
    queries, q_extra, q_items = data.draw(token_sides(width, np.uint8 if kind == "quantized" else np.float32))
    if kind == "float":
        documents, d_extra, d_items = data.draw(token_sides(width + data.draw(st.sampled_from([0, 0, 1])), np.float32))
    else:
        documents, d_extra, d_items = data.draw(token_sides(data.draw(st.integers(1, 13)), np.uint8))
    candidates = None
    if data.draw(st.booleans()):
        candidates = [data.draw(st.lists(st.integers(-1, d_items), max_size=4)) for _ in range(q_items)]
    kwargs = dict(side_kwargs("query", q_extra), **side_kwargs("document", d_extra), candidates=candidates)
    try:
        if kind == "float":
            scores = quarnel.maxsim(queries, documents, **kwargs)
        elif kind == "binary":
            scores = quarnel.maxsim_binary_documents(queries, documents, **kwargs)
        else:
            num_bits = data.draw(st.sampled_from([1, 4, 8]))
            scores = quarnel.maxsim_quantized(queries, metadata_like(queries), documents, metadata_like(documents),
                                              num_bits, 8 * width, **kwargs)
    except (TypeError, ValueError):
        return
    if candidates is None:
        assert scores.dtype == np.float32 and scores.shape == (q_items, d_items)
    else:
        assert [len(s) for s in scores] == [len(c) for c in candidates]
        assert all(s.dtype == np.float32 for s in scores)


@st.composite
def native_code_side(draw, items, width):
    """Codes and metadata of one side, each padded 3-D or packed 2-D, and one index array for both."""
    counts = draw(st.lists(st.integers(0, 3), min_size=items, max_size=items))
    def form(values, dtype, padded):
        if padded:
            return np.full((items, draw(st.integers(0, 4)), values), 1, dtype)
        return np.full((draw(st.integers(0, 8)), values), 1, dtype)
    codes = form(width, np.uint8, draw(st.booleans()))
    meta = form(4, np.float32, draw(st.booleans()))
    meta[...] = 0.01
    if draw(st.booleans()):
        index = np.array(counts, np.int64)  # lengths
    else:
        index = np.concatenate([[0], np.cumsum(counts)]).astype(np.int64)  # offsets
    return codes, meta, index


def rows_of(tokens, index):
    """The token count per item that an index names in an array of this form."""
    if tokens.ndim == 3:
        return list(index)
    return list(np.diff(index))


@FUZZ
@given(st.data())
def test_private_code_scores_check_that_codes_and_metadata_agree(data):
    from quarnel import _native

    width = data.draw(st.integers(1, 4))
    sides = [data.draw(native_code_side(data.draw(st.integers(0, 3)), width)) for _ in range(2)]
    (qc, qm, qi), (dc, dm, di) = sides
    try:
        scores = _native.maxsim_codes(qc, qm, qi, dc, dm, di, 8, 8 * width)
    except ValueError:
        return
    for codes, meta, index in sides:
        assert codes.ndim == meta.ndim and rows_of(codes, index) == rows_of(meta, index)
    # All codes 1, scale 0.01: every score is small, or -inf for a document without tokens.
    assert scores.shape == (len(qi) - (qc.ndim == 2), len(di) - (dc.ndim == 2))
    assert ((np.abs(scores) < 1e6) | (scores == -np.inf)).all()


# ---------------------------------------------------------------- the selection layer


@st.composite
def selector_settings(draw):
    settings_ = dict(token_budget=draw(st.integers(0, 2000)), max_chunks=draw(st.none() | st.integers(0, 8)),
                     min_chunks=draw(st.integers(0, 3)), per_source=draw(st.none() | st.integers(0, 3)),
                     must_include_roles=draw(st.lists(st.sampled_from(["definition", "Example", "table"]),
                                                      max_size=2)),
                     required_ids=draw(st.lists(st.integers(0, 12), max_size=2)),
                     excluded_ids=draw(st.lists(st.integers(0, 12), max_size=2)),
                     pool_size=draw(st.none() | st.integers(1, 10)),
                     relevance_floor=draw(st.none() | st.floats(-1, 1)),
                     relevance=draw(st.sampled_from(["raw", "above_mean"])),
                     redundancy=draw(st.sampled_from(["raw", "above_mean"])),
                     config=qs.SolverConfig(iterations=draw(st.integers(0, 20)), exact_window_time_ms=1))
    if draw(st.integers(0, 9)) == 0:
        settings_[draw(st.sampled_from(sorted(settings_)))] = draw(wrong | huge_ints | floats)
    return settings_


@FUZZ
@given(selector_settings(), st.data())
def test_context_selector(selector_args, data):
    n, d = data.draw(st.integers(0, 10)), data.draw(st.integers(1, 6))
    embeddings = data.draw(wild_arrays((n, d), np.float64))
    query = data.draw(wild_arrays((d,), np.float64))
    costs = data.draw(st.lists(st.integers(0, 300), min_size=n, max_size=n))
    extra = {}
    if data.draw(st.booleans()):
        extra["sources"] = data.draw(st.lists(st.none() | st.sampled_from(["a", "b", 3]), min_size=n, max_size=n))
    if data.draw(st.booleans()):
        extra["roles"] = data.draw(st.lists(st.none() | st.sampled_from(["definition", "example", "TABLE"]),
                                            min_size=n, max_size=n))
    if data.draw(st.booleans()):
        extra["scores"] = {"recency": data.draw(wild_arrays((n,), np.float64))}
    if data.draw(st.booleans()):
        extra["coverage"] = data.draw(wild_arrays((data.draw(st.integers(0, 3)), n), np.float64))
    if data.draw(st.integers(0, 9)) == 0:
        extra[data.draw(st.sampled_from(["sources", "roles", "ids", "texts", "items"]))] = data.draw(wrong)
    try:
        selector = quarnel.ContextSelector(**selector_args)
        selection = selector.select(query, embeddings, token_counts=costs, **extra)
    except (TypeError, ValueError):
        return
    chosen = list(selection.indices)
    assert chosen == sorted(set(chosen)) and all(0 <= i < n for i in chosen)
    assert list(selection.tokens) == [costs[i] for i in chosen] and selection.total_tokens == sum(selection.tokens)
    assert len(selection.ids) == len(selection.items) == len(chosen)
    if selection.satisfied:
        assert not chosen or selection.total_tokens <= selector.token_budget
        assert selector.max_chunks is None or len(chosen) <= selector.max_chunks
        assert not set(selection.ids) & selector.excluded_ids
        assert set(selector.required_ids) <= set(selection.ids)
        if selector.per_source is not None and isinstance(extra.get("sources"), list):
            picked = [extra["sources"][i] for i in chosen if extra["sources"][i] is not None]
            assert all(picked.count(s) <= selector.per_source for s in picked)
