"""SolverConfig, SolverConstraints and SolverOutput: conversions, attributes, reprs and to_dict."""
import numpy as np
import pytest

import quarnel_solver as qs

f32 = lambda x: float(np.float32(x))  # noqa: E731

CONFIG_DEFAULTS = {
    "alpha": 1.0,
    "beta": f32(0.3),
    "gamma": f32(0.2),
    "delta": f32(0.1),
    "epsilon": 0.0,
    "mu": 1.0,
    "support_secondary_discount": f32(0.35),
    "support_quorum_bonus": f32(0.18),
    "support_quorum_threshold": f32(0.55),
    "support_quorum_cap": 4,
    "lambda_": 0.5,
    "iterations": 100,
    "tabu_tenure": 10,
    "early_stopping_patience": 20,
    "use_gpu": False,
    "random_seed": None,
    "enable_gpu_move_evaluation": True,
    "enable_path_relinking": True,
    "enable_destroy_repair": True,
    "enable_reactive_tenure": True,
    "enable_exact_window": True,
    "exact_window_size": 14,
    "exact_window_time_ms": 25,
}
WEIGHTS = [k for k, v in CONFIG_DEFAULTS.items() if isinstance(v, float)]
COUNTS = ["support_quorum_cap", "iterations", "tabu_tenure", "early_stopping_patience", "exact_window_size",
          "exact_window_time_ms"]
SWITCHES = [k for k, v in CONFIG_DEFAULTS.items() if isinstance(v, bool)]


def test_config_defaults_and_positional_order():
    config = qs.SolverConfig()
    assert {name: getattr(config, name) for name in CONFIG_DEFAULTS} == CONFIG_DEFAULTS
    values = [2.0, 0.25, 0.5, 0.75, 1.5, 3.0, 0.125, 0.0625, 0.5, 6, 0.25, 7, 8, 9, True, 11, False, False, False,
              False, False, 12, 13]
    positional = qs.SolverConfig(*values)
    assert [getattr(positional, name) for name in CONFIG_DEFAULTS] == values


@pytest.mark.parametrize("name", WEIGHTS)
def test_weights_are_narrowed_to_f32_in_constructor_and_setter(name):
    config = qs.SolverConfig(**{name: 0.1})
    assert getattr(config, name) == f32(0.1) != 0.1
    setattr(config, name, np.float64(1e-3))
    assert getattr(config, name) == f32(1e-3)
    setattr(config, name, 3)
    assert getattr(config, name) == 3.0
    with pytest.raises(TypeError, match=name):
        qs.SolverConfig(**{name: "0.5"})


@pytest.mark.parametrize("name", COUNTS)
def test_counts_take_integers_only(name):
    assert getattr(qs.SolverConfig(**{name: np.int64(5)}), name) == 5
    assert getattr(qs.SolverConfig(**{name: 2**64 - 1}), name) == 2**64 - 1
    for bad in (-1, 2**64):
        with pytest.raises(OverflowError, match=name):
            qs.SolverConfig(**{name: bad})
    for bad in (2.0, None, "3"):
        with pytest.raises(TypeError, match=name):
            qs.SolverConfig(**{name: bad})


@pytest.mark.parametrize("name", SWITCHES)
def test_switches_take_bools_only(name):
    assert getattr(qs.SolverConfig(**{name: np.bool_(True)}), name) is True
    assert getattr(qs.SolverConfig(**{name: np.False_}), name) is False
    for bad in (1, 0, None, "True", np.int8(1)):
        with pytest.raises(TypeError, match=name):
            qs.SolverConfig(**{name: bad})


def test_random_seed_is_optional():
    config = qs.SolverConfig(random_seed=7)
    assert config.random_seed == 7
    config.random_seed = None
    assert config.random_seed is None
    with pytest.raises(OverflowError):
        config.random_seed = -7


def test_failed_assignment_keeps_the_old_value():
    config = qs.SolverConfig(iterations=42, use_gpu=True)
    with pytest.raises(OverflowError):
        config.iterations = -1
    with pytest.raises(TypeError):
        config.use_gpu = 0
    assert config.iterations == 42 and config.use_gpu is True
    constraints = qs.SolverConstraints(max_tokens=9)
    with pytest.raises(OverflowError):
        constraints.max_tokens = 2**32
    assert constraints.max_tokens == 9


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: qs.SolverConfig(*range(24)), TypeError),
        (lambda: qs.SolverConfig(lambda_=1.0, lam=1.0), TypeError),
        (lambda: qs.SolverConfig(1.0, alpha=2.0), TypeError),
        (lambda: qs.SolverConstraints(colour="red"), TypeError),
    ],
)
def test_argument_mistakes_raise_type_error(call, error):
    with pytest.raises(error):
        call()


def test_attributes_cannot_be_deleted():
    config, constraints = qs.SolverConfig(), qs.SolverConstraints()
    for obj, name in [(config, "alpha"), (config, "random_seed"), (constraints, "max_tokens"),
                      (constraints, "max_per_cluster")]:
        with pytest.raises(AttributeError, match="can't delete attribute"):
            delattr(obj, name)


@pytest.mark.parametrize(
    "kwargs, text",
    [
        ({}, "SolverConfig(alpha=1, beta=0.3, gamma=0.2, delta=0.1, epsilon=0, mu=1, lambda_=0.5, iterations=100, "
             "use_gpu=false)"),
        (dict(alpha=2.5, beta=1e-7, gamma=-4.0, delta=123456789.0, epsilon=0.1, mu=1e20, lambda_=3.4e38,
              iterations=0, use_gpu=True),
         "SolverConfig(alpha=2.5, beta=0.0000001, gamma=-4, delta=123456790, epsilon=0.1, mu=100000000000000000000, "
         "lambda_=340000000000000000000000000000000000000, iterations=0, use_gpu=true)"),
    ],
)
def test_config_repr(kwargs, text):
    assert repr(qs.SolverConfig(**kwargs)) == text


def test_config_repr_prints_the_shortest_decimal_of_each_f32():
    rng = np.random.default_rng(11)
    for value in np.concatenate([rng.random(50), rng.standard_normal(50) * 1e-4]).astype(np.float32):
        expected = np.format_float_positional(value, trim="-")
        assert repr(qs.SolverConfig(alpha=float(value))).startswith(f"SolverConfig(alpha={expected}, ")


def test_constraints_conversions_and_repr():
    constraints = qs.SolverConstraints()
    assert [constraints.max_tokens, constraints.min_tokens, constraints.min_chunks, constraints.max_chunks,
            constraints.max_per_cluster] == [8192, 0, 1, 50, 3]
    assert repr(constraints) == "SolverConstraints(max_tokens=8192, max_chunks=50, max_per_cluster=3)"
    constraints = qs.SolverConstraints(4294967295, 7, 9, 2, 0)
    assert repr(constraints) == "SolverConstraints(max_tokens=4294967295, max_chunks=2, max_per_cluster=0)"
    assert (constraints.min_tokens, constraints.min_chunks) == (7, 9)
    for name in ("max_tokens", "min_tokens"):
        for bad in (4294967296, -1):
            with pytest.raises(OverflowError, match=name):
                qs.SolverConstraints(**{name: bad})
        with pytest.raises(TypeError, match=name):
            qs.SolverConstraints(**{name: 10.0})


@pytest.mark.parametrize("name", ["must_include_roles", "excluded_chunks", "required_chunks"])
def test_constraint_lists_are_sequences_of_str_and_not_attributes(name):
    for good in (None, [], ["Definition", "Definition"], ("a", "b"), np.array(["x", "y"])):
        constraints = qs.SolverConstraints(**{name: good})
        with pytest.raises(AttributeError):
            getattr(constraints, name)
    for bad in ("Definition", ["a", 1], {"a"}, b"ab", 3):
        with pytest.raises(TypeError, match=name):
            qs.SolverConstraints(**{name: bad})


def solved_output(n=5):
    rng = np.random.default_rng(5)
    solver = qs.TabuSearchSolver(qs.SolverConfig())
    return solver.solve_precomputed_numpy(
        rng.random((n, 3), dtype=np.float32), np.arange(1, n + 1, dtype=np.uint32) * 37,
        *[rng.random(n, dtype=np.float32) for _ in range(4)], np.zeros(n, np.uint8), np.full(n, -1, np.int32),
        rng.random(n, dtype=np.float32))


OUTPUT_FIELDS = [
    "selected_indices", "objective_score", "relevance_total", "density_total", "centrality_total", "recency_total",
    "auxiliary_total", "fulfilment_total", "redundancy_penalty", "total_tokens", "num_selected", "iterations_run",
    "best_iteration", "constraints_satisfied", "constraint_violations", "solve_time_ms", "exact_window_used",
    "exact_window_core_size", "exact_window_nodes", "exact_window_exhaustive", "exact_window_gap",
    "exact_window_fixed_in", "exact_window_fixed_out",
]


def test_output_to_dict_matches_the_attributes_in_field_order():
    output = solved_output()
    values = output.to_dict()
    assert list(values) == OUTPUT_FIELDS
    assert values == {name: getattr(output, name) for name in OUTPUT_FIELDS}
    assert output.to_dict() is not values
    types = {name: type(value) for name, value in values.items()}
    assert types["selected_indices"] is list and types["constraint_violations"] is list
    assert types["total_tokens"] is int and types["exact_window_gap"] is float and types["exact_window_used"] is bool


def test_output_is_read_only_and_hands_out_fresh_lists():
    output = solved_output()
    indices = output.selected_indices
    indices.append(99)
    assert 99 not in output.selected_indices
    for name in OUTPUT_FIELDS:
        with pytest.raises(AttributeError):
            setattr(output, name, getattr(output, name))
    with pytest.raises(TypeError, match="No constructor defined for SolverOutput"):
        qs.SolverOutput()


def test_output_repr():
    output = solved_output()
    assert repr(output) == (
        f"SolverOutput(selected={output.num_selected}, score={output.objective_score:.4f}, "
        f"tokens={output.total_tokens}, time={output.solve_time_ms:.2f}ms)"
    )
