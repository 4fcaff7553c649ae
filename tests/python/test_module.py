"""Module surface: names, text signatures, the solver object and PanicException."""
import inspect

import numpy as np
import pytest

import quarnel_solver as qs


def test_all_lists_the_public_names_in_registration_order():
    assert qs.__all__ == [
        "SolverConfig",
        "SolverConstraints",
        "SolverOutput",
        "TabuSearchSolver",
        "gpu_available",
        "cuda_available",
        "version",
        "compute_max_sim_batch",
        "compute_max_sim_batch_f32",
    ]
    assert all(hasattr(qs, name) for name in qs.__all__)
    assert "PanicException" not in qs.__all__
    assert qs.__doc__ == "Python module definition"


def test_plain_functions_answer_without_experimental_backends(monkeypatch):
    monkeypatch.setenv("QUARNEL_SOLVER_ENABLE_EXPERIMENTAL_BACKENDS", "1")
    assert qs.version() == "0.1.6"
    assert qs.gpu_available() is False
    assert qs.cuda_available() is False


SOLVE_PRECOMPUTED_SIGNATURE = (
    "($self, embeddings, token_costs, density_scores, centrality_scores, recency_scores, auxiliary_scores, roles, "
    "cluster_ids, relevance_scores, similarity_matrix=None, fulfilment_scores=None, coverage_matrix=None, "
    "query_token_weights=None, query_embedding=None, constraints=None)"
)


@pytest.mark.parametrize(
    "obj, signature, doc",
    [
        (qs.gpu_available, "()", "Check if GPU is available"),
        (qs.cuda_available, "()", "Check if CUDA is available"),
        (qs.version, "()", "Get library version"),
        (qs.compute_max_sim_batch, "(q_codes, q_meta, d_codes, d_meta, num_bits, dim)", None),
        (qs.compute_max_sim_batch_f32, "(q_vecs, d_vecs)", None),
        (qs.TabuSearchSolver.backend_kind, "($self)", None),
        (
            qs.TabuSearchSolver.solve_numpy,
            "($self, embeddings, query_embedding, token_costs, density_scores, centrality_scores, recency_scores, "
            "auxiliary_scores, roles, cluster_ids, constraints=None)",
            "Solve the knapsack problem from numpy arrays",
        ),
        (
            qs.TabuSearchSolver.solve_precomputed_numpy,
            SOLVE_PRECOMPUTED_SIGNATURE,
            "Solve from precomputed relevance, redundancy, and fulfilment tensors.",
        ),
        (
            qs.TabuSearchSolver.solve,
            "($self, chunks, query_embedding, constraints=None)",
            "Solve from a list of chunk dictionaries",
        ),
        (qs.SolverOutput.to_dict, "($self)", None),
        (qs.TabuSearchSolver, "(config=None)", "Python-exposed Tabu Search Solver"),
        (
            qs.SolverConstraints,
            "(max_tokens=8192, min_tokens=0, min_chunks=1, max_chunks=50, max_per_cluster=3, "
            "must_include_roles=None, excluded_chunks=None, required_chunks=None)",
            "Python-exposed solver constraints",
        ),
        (
            qs.SolverConfig,
            "(alpha=1.0, beta=0.3, gamma=0.2, delta=0.1, epsilon=0.0, mu=1.0, support_secondary_discount=0.35, "
            "support_quorum_bonus=0.18, support_quorum_threshold=0.55, support_quorum_cap=4, lambda_=0.5, "
            "iterations=100, tabu_tenure=10, early_stopping_patience=20, use_gpu=False, random_seed=None, "
            "enable_gpu_move_evaluation=True, enable_path_relinking=True, enable_destroy_repair=True, "
            "enable_reactive_tenure=True, enable_exact_window=True, exact_window_size=14, exact_window_time_ms=25)",
            "Python-exposed solver configuration",
        ),
        (qs.SolverOutput, None, "Python-exposed solver output"),
    ],
)
def test_text_signatures_and_docstrings(obj, signature, doc):
    assert obj.__text_signature__ == signature
    if doc is not None:
        assert obj.__doc__ == doc


def test_constructors_show_their_parameters_to_inspect():
    assert str(inspect.signature(qs.TabuSearchSolver)) == "(config=None)"
    assert list(inspect.signature(qs.SolverConfig).parameters)[:2] == ["alpha", "beta"]


@pytest.mark.parametrize("name", ["SolverConfig", "SolverConstraints", "SolverOutput", "TabuSearchSolver"])
def test_classes_report_builtins_as_their_module(name):
    assert getattr(qs, name).__module__ == "builtins"


def test_solver_backend_is_the_cpu_reference(monkeypatch):
    monkeypatch.setenv("QUARNEL_SOLVER_ENABLE_EXPERIMENTAL_BACKENDS", "true")
    for solver in (qs.TabuSearchSolver(), qs.TabuSearchSolver(qs.SolverConfig(use_gpu=True))):
        assert solver.backend_kind() == "cpu_reference"
        assert repr(solver) == "TabuSearchSolver(backend='cpu_reference')"


@pytest.mark.parametrize("config", ["SolverConfig()", 1, qs.SolverConstraints()])
def test_solver_refuses_a_config_of_another_type(config):
    with pytest.raises(TypeError, match="config"):
        qs.TabuSearchSolver(config)
    with pytest.raises(TypeError, match="config"):
        qs.TabuSearchSolver(config=config)


def small_problem(n=6, d=4, seed=3):
    rng = np.random.default_rng(seed)
    return dict(
        embeddings=rng.standard_normal((n, d)).astype(np.float32),
        token_costs=np.full(n, 100, np.uint32),
        density_scores=rng.random(n, dtype=np.float32),
        centrality_scores=rng.random(n, dtype=np.float32),
        recency_scores=rng.random(n, dtype=np.float32),
        auxiliary_scores=rng.random(n, dtype=np.float32),
        roles=np.zeros(n, np.uint8),
        cluster_ids=np.full(n, -1, np.int32),
        relevance_scores=rng.random(n, dtype=np.float32),
    )


def result(output):
    values = output.to_dict()
    del values["solve_time_ms"]
    return values


def test_a_solver_without_config_ignores_the_secondary_weights():
    problem = small_problem()
    bare = result(qs.TabuSearchSolver().solve_precomputed_numpy(**problem))
    assert result(qs.TabuSearchSolver(None).solve_precomputed_numpy(**problem)) == bare
    assert bare["density_total"] == bare["centrality_total"] == bare["recency_total"] == 0.0
    configured = result(qs.TabuSearchSolver(qs.SolverConfig()).solve_precomputed_numpy(**problem))
    assert configured["density_total"] > 0.0


def test_the_solver_keeps_its_own_copy_of_the_config():
    problem = small_problem()
    config = qs.SolverConfig()
    solver = qs.TabuSearchSolver(config)
    before = result(solver.solve_precomputed_numpy(**problem))
    config.alpha = 0.0
    config.iterations = 0
    assert result(solver.solve_precomputed_numpy(**problem)) == before


def panicking_problem():
    # Embedding rows of length zero and no similarity matrix: the similarity
    # kernel refuses a zero dimension.
    problem = small_problem()
    problem["embeddings"] = np.zeros((6, 0), np.float32)
    return problem


def test_internal_errors_raise_panic_exception_past_except_exception():
    solver = qs.TabuSearchSolver()
    assert issubclass(qs.PanicException, BaseException)
    assert not issubclass(qs.PanicException, Exception)
    with pytest.raises(qs.PanicException) as caught:
        try:
            solver.solve_precomputed_numpy(**panicking_problem())
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught by `except Exception`")
    assert str(caught.value)
    # The interpreter and the solver carry on.
    assert solver.solve_precomputed_numpy(**small_problem()).num_selected > 0
