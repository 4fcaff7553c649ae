"""Inputs and events that once ended the process, each run in a child process
whose exit status is checked: a crash there fails the test instead of the run."""
import os
import subprocess
import sys
import textwrap

import pytest

PRELUDE = """
import numpy as np, quarnel_solver as qs
rng = np.random.default_rng(0)
def arrays(n, d=16):
    emb = rng.standard_normal((n, d)).astype(np.float32)
    return (emb, emb[0].copy(), np.full(n, 10, np.uint32), *[np.zeros(n, np.float32)] * 4,
            np.zeros(n, np.uint8), np.full(n, -1, np.int32))
"""


def run_child(code, helpers="", timeout=120):
    """Runs PRELUDE, helpers and code in a fresh interpreter; returns the completed process."""
    source = PRELUDE + helpers + textwrap.dedent(code)
    return subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, timeout=timeout,
                          env=os.environ.copy())


def assert_exits_cleanly(code, expected_output=None, helpers=""):
    child = run_child(code, helpers)
    assert child.returncode == 0, f"exit status {child.returncode}\n{child.stdout}\n{child.stderr}"
    if expected_output is not None:
        assert child.stdout.split() == expected_output.split(), child.stdout + child.stderr


def test_lists_changed_by_a_conversion_are_read_as_they_were():
    # __float__ and __index__ shorten, clear or extend the lists being read.
    assert_exits_cleanly("""
        class Shrinks:
            def __init__(self, victim, how): self.victim, self.how = victim, how
            def __float__(self): self.how(self.victim); return 0.25
            def __index__(self): self.how(self.victim); return 7
        solver = qs.TabuSearchSolver(qs.SolverConfig(exact_window_time_ms=600000))
        query = np.linspace(-1, 1, 8).astype(np.float32)
        plain = [0.5, 0.25, -1.0, 2.0, 0.5, 0.5, 0.5, 0.5]
        expected = solver.solve([{"embedding": plain, "chunk_id": "a"}], query).to_dict()
        for how in (lambda v: v.clear(), lambda v: v.__delitem__(slice(2, None)), lambda v: v.extend([1.0] * 99)):
            embedding = list(plain)
            embedding[1] = Shrinks(embedding, how)
            got = solver.solve([{"embedding": embedding, "chunk_id": "a"}], query).to_dict()
            assert {**got, "solve_time_ms": 0} == {**expected, "solve_time_ms": 0}, got
            chunks = [{"embedding": list(plain), "token_count": None} for _ in range(5)]
            for chunk in chunks:
                chunk["token_count"] = Shrinks(chunks, how)
            assert solver.solve(chunks, query).num_selected >= 1
        print("ok")
    """, "ok")


def test_pickle_protocols_and_the_common_base_raise_or_work():
    assert_exits_cleanly("""
        import pickle
        out = qs.TabuSearchSolver().solve_numpy(*arrays(6))
        for obj in (qs.SolverConfig(), qs.SolverConstraints(), out, qs.TabuSearchSolver()):
            for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
                assert type(pickle.loads(pickle.dumps(obj, protocol))) is type(obj)
        base = qs.SolverConfig.__mro__[1]
        for call in (base, type("Derived", (base,), {})):
            try:
                call()
            except TypeError as error:
                print("refused", error)
    """, "refused cannot create 'pybind11_object' instances refused cannot create 'Derived' instances")


def test_instances_made_without_their_constructor_are_refused():
    assert_exits_cleanly("""
        import pickle
        uses = {
            qs.TabuSearchSolver: [lambda s: s.backend_kind(), repr, lambda s: s.solve([], np.zeros(2, np.float32)),
                                  lambda s: s.solve_numpy(*arrays(3)), pickle.dumps],
            qs.SolverOutput: [repr, lambda o: o.to_dict(), lambda o: o.selected_indices, pickle.dumps],
            qs.SolverConfig: [repr, lambda c: c.alpha, lambda c: setattr(c, "alpha", 2.0), qs.TabuSearchSolver],
            qs.SolverConstraints: [repr, lambda c: c.max_tokens,
                                   lambda c: qs.TabuSearchSolver().solve_numpy(*arrays(3), constraints=c)],
        }
        refused = 0
        for cls, calls in uses.items():
            for use in calls:
                try:
                    use(cls.__new__(cls))
                except TypeError as error:
                    refused += "not initialised" in str(error)
        print(refused, sum(map(len, uses.values())))
    """, "16 16")


def test_keyword_names_that_utf8_cannot_hold_are_refused_by_every_bound_function():
    # The binding library builds its mismatch message from the names without
    # catching the encoding error; every function, method and property
    # accessor of both modules is called with such a name.
    assert_exits_cleanly("""
        from quarnel import _native
        callables = []
        for module in (qs, _native):
            for value in vars(module).values():
                members = vars(value).values() if isinstance(value, type) else [value]
                for member in members:
                    accessors = [member.fget, member.fset, member.fdel] if isinstance(member, property) else [member]
                    callables += [a for a in accessors if type(a).__name__ in ("builtin_function_or_method",
                                                                               "instancemethod")]
        refused = 0
        for call in callables:
            try:
                call(**{"\\ud800": 1})
            except TypeError as error:
                refused += "not valid UTF-8" in str(error)
        print(len(callables) > 60, refused == len(callables))
    """, "True True")


@pytest.mark.parametrize("work", [
    "qs.TabuSearchSolver(qs.SolverConfig(iterations=30)).solve_numpy(*problem)",
    "quarnel.maxsim(tokens, tokens)",
])
def test_a_daemon_thread_working_at_interpreter_exit_leaves_exit_status_0(work):
    # Short calls in a loop, so that one of them ends while the interpreter
    # shuts down and its thread asks for the lock back.
    for _ in range(3):
        assert_exits_cleanly(f"""
            import threading, quarnel
            problem = arrays(60)
            tokens = rng.standard_normal((40, 8, 16)).astype(np.float32)
            done = threading.Event()
            def loop():
                while True:
                    {work}
                    done.set()
            threading.Thread(target=loop, daemon=True).start()
            done.wait()
        """)


# Signals come from an interval timer: a thread sending them would wait for
# the lock, which the MaxSim functions hold.
SIGNALS = """
import signal, time
signal.signal(signal.SIGALRM, signal.default_int_handler)  # raises KeyboardInterrupt, as Ctrl-C does
def interrupted(call, after=0.3):
    signal.setitimer(signal.ITIMER_REAL, after)
    start = time.perf_counter()
    try:
        call()
    except KeyboardInterrupt:
        return time.perf_counter() - start
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
    raise AssertionError("not interrupted")
"""


def test_ctrl_c_stops_long_calls_and_leaves_the_solver_usable():
    assert_exits_cleanly("""
        import quarnel
        endless = qs.TabuSearchSolver(qs.SolverConfig(iterations=2**64 - 1, early_stopping_patience=2**64 - 1))
        problem = arrays(300)
        big = np.ones((3000, 32, 128), np.float32)
        calls = [lambda: endless.solve_numpy(*problem),
                 lambda: endless.solve([{"embedding": row} for row in problem[0]], problem[1]),
                 lambda: qs.compute_max_sim_batch_f32(big, big),
                 lambda: quarnel.maxsim(big, big)]
        # Uninterrupted, the MaxSim calls take half a minute and the solves
        # forever: each ends in KeyboardInterrupt, or the test times out.
        print([interrupted(call) >= 0 for call in calls])
        short = qs.TabuSearchSolver(qs.SolverConfig(iterations=50, exact_window_time_ms=600000))
        fresh = short.solve_numpy(*problem).to_dict()
        try:
            signal.setitimer(signal.ITIMER_REAL, 0.01)
            while True:
                short.solve_numpy(*problem)
        except KeyboardInterrupt:
            pass
        again = short.solve_numpy(*problem).to_dict()
        print({**again, "solve_time_ms": 0} == {**fresh, "solve_time_ms": 0})
    """, "[True, True, True, True] True", SIGNALS)


def test_signal_handlers_that_return_leave_results_unchanged():
    assert_exits_cleanly("""
        handled = []
        signal.signal(signal.SIGALRM, lambda *_: handled.append(1))
        solver = qs.TabuSearchSolver(qs.SolverConfig(iterations=1000, early_stopping_patience=1000,
                                                     exact_window_time_ms=600000))
        problem = arrays(1000)
        quiet = solver.solve_numpy(*problem)
        signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
        noisy = solver.solve_numpy(*problem)
        signal.setitimer(signal.ITIMER_REAL, 0)
        assert quiet.solve_time_ms > 50, quiet.solve_time_ms
        print(len(handled) > 5, {**noisy.to_dict(), "solve_time_ms": 0} == {**quiet.to_dict(), "solve_time_ms": 0})
    """, "True True", SIGNALS)
