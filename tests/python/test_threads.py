"""Threads: answers that do not depend on the thread count, prompts appended in
one call, and what the shared worker pool does across fork, exit and Ctrl-C.
Fork, exit and signal tests run in a subprocess with a timeout, so a hang fails."""
import copy
import os
import subprocess
import sys
import textwrap
import threading

import kelvor_py
import numpy as np
import pytest

from kelvor_py import MHAContext

LEVELS = tuple(kelvor_py._simd_levels())
THREAD_COUNTS = (1, 2, 3, 8)


def run_python(code, timeout=120, **env):
    full = dict(os.environ, **env)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=full, timeout=timeout)


# Every call under each thread count, on heads holding more than two blocks of
# 4096 tokens (and a ring that wrapped), one head and three, fitted ones also
# with dithered values; prints one digest
# of every answer and saved state per thread count.
EVERY_CALL = """
    import hashlib, sys
    import numpy as np
    from kelvor_py import MHAContext

    encoding = sys.argv[1]
    for threads in (1, 2, 3, 8):
        digest = hashlib.sha256()
        fitted_only = ((2, 32, 4, 9000, 9100, dict(value_bits=2, recent=16, value_refine=640, value_dither="uniform")),)
        for n_heads, hd, bits, cap, tokens, options in (
                (1, 64, 3, 10000, 9000, {}), (3, 48, 2, 9000, 9500, {}), (2, 128, 4, 600, 700, {}),
                (1, 32, 3, 9000, 9100, dict(recent=100, sinks=4, value_bits=4)),
                *(fitted_only if encoding == "fitted" else ())):
            rng = np.random.default_rng(n_heads * 1000 + hd)
            ctx = MHAContext(n_heads, hd, bits, cap, seed=3, threads=threads, encoding=encoding, **options)
            kv = rng.standard_normal((2, tokens, n_heads, hd)).astype(np.float32) + 0.2
            ctx.append_heads(kv[0, :tokens - 3], kv[1, :tokens - 3], 0)
            for t in range(tokens - 3, tokens):
                ctx.append_heads(kv[0, t], kv[1, t], t)
            q = rng.standard_normal((3 * n_heads, 11, hd)).astype(np.float32)
            parts = [ctx.compute_heads(q), ctx.compute_heads(q[:, 0]), ctx.compute_batch(n_heads - 1, q[0]),
                     *(ctx.compute(h, q[h, 0]) for h in range(n_heads))]
            state = ctx.__getstate__()  # less the threads setting (bytes 48-51) and the checksum
            parts += [state[:48], state[52:-8]]
            for p in parts:
                digest.update(bytes(p))
        print(threads, digest.hexdigest())
"""


@pytest.mark.parametrize("encoding", ["clip3", "fitted"])
@pytest.mark.parametrize("level", LEVELS)
def test_answers_do_not_depend_on_the_thread_count(level, encoding):
    probe = run_python("import kelvor_py", KELVOR_SIMD=level)
    if probe.returncode != 0:
        pytest.skip(f"KELVOR_SIMD={level} cannot run here: {probe.stderr.strip().splitlines()[-1]}")
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(EVERY_CALL), encoding], capture_output=True,
                          text=True, env=dict(os.environ, KELVOR_SIMD=level), timeout=600)
    assert done.returncode == 0, done.stderr
    digests = dict(line.split() for line in done.stdout.split("\n") if line)
    assert sorted(int(t) for t in digests) == list(THREAD_COUNTS)
    assert len(set(digests.values())) == 1, digests


@pytest.mark.parametrize("bits, options", [(3, {}), (2, dict(value_bits=4, recent=5, sinks=3)),
                                           (4, dict(value_bits=2, sinks=1))])
@pytest.mark.parametrize("encoding", ["clip3", "fitted"])
@pytest.mark.parametrize("threads", [1, 2])
def test_a_prompt_in_one_call_equals_one_call_per_token(rng, threads, encoding, bits, options):
    n_heads, hd, cap = 3, 40, 700
    kv = rng.standard_normal((2, 900, n_heads, hd)).astype(np.float32)
    one_call, per_token = (MHAContext(n_heads, hd, bits, cap, seed=9, threads=threads, encoding=encoding, **options)
                           for _ in range(2))
    # A prompt that crosses the exact window, then one that wraps the ring;
    # neither a whole number of the groups tokens are coded in.
    for start, stop in ((0, 517), (517, 900)):
        one_call.append_heads(kv[0, start:stop], kv[1, start:stop], 100 + start)
        for t in range(start, stop):
            per_token.append_heads(kv[0, t], kv[1, t], 100 + t)
        assert one_call.__getstate__() == per_token.__getstate__()
    q = rng.standard_normal((n_heads, 4, hd)).astype(np.float32)
    assert one_call.compute_heads(q).tobytes() == per_token.compute_heads(q).tobytes()


def with_value(a, index, value):
    a = a.copy()
    a[index] = value
    return a


KV = np.random.default_rng(5).standard_normal((6, 2, 16)).astype(np.float32)
REFUSALS = [
    ("nan in the last token", lambda c: c.append_heads(KV, with_value(KV, (5, 1, 3), np.nan), 0),
     "keys and vals must be finite; token 5, row 1 is not"),
    ("huge key in token 2", lambda c: c.append_heads(with_value(KV, (2, 0, 0), 3e38), KV, 0),
     "must have norms below 1.8e19; token 2, row 0 has not"),
    ("positions beyond int32", lambda c: c.append_heads(KV, KV, 2**31 - 5),
     "pos ... pos + T - 1 must fit in int32; pos 2147483643 and T 6 do not"),
    ("different token counts", lambda c: c.append_heads(KV, KV[1:], 0),
     "must have shape (T, n_heads, head_dim) = (T, 2, 16) with one T, got (6, 2, 16) and (5, 2, 16)"),
    ("too few heads", lambda c: c.append_heads(KV[:, :1], KV[:, :1], 0), "(T, n_heads, head_dim)"),
    ("keys 3-D, vals 2-D", lambda c: c.append_heads(KV, KV[0], 0), "dimensions: 2; expected 3"),
]


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("call, message", [r[1:] for r in REFUSALS], ids=[r[0] for r in REFUSALS])
def test_a_refused_prompt_stores_nothing(threads, call, message):
    ctx = MHAContext(2, 16, 3, 64, threads=threads)
    ctx.append_heads(KV[:3], KV[:3], 0)
    before = ctx.__getstate__()
    with pytest.raises(ValueError) as info:
        call(ctx)
    assert message in str(info.value)
    assert ctx.__getstate__() == before


def test_stored_rows_are_the_rows_checked(rng):
    # Another thread keeps writing a NaN into one coordinate and taking it out
    # again while prompts are appended with the GIL released. Each call sees
    # one snapshot: it refuses, storing nothing, or stores exactly the rows
    # without the NaN, never a NaN it did not check.
    kv = rng.standard_normal((2, 64, 4, 32)).astype(np.float32)
    shared = kv[1].copy()
    ctx = MHAContext(4, 32, 3, 4096, threads=2)
    stop, outcomes = threading.Event(), []

    def flip():
        clean = shared[40, 2, 7]
        while not stop.is_set():
            shared[40, 2, 7] = np.nan
            shared[40, 2, 7] = clean

    flipper = threading.Thread(target=flip, daemon=True)
    flipper.start()
    try:
        for i in range(60):
            twin = copy.deepcopy(ctx)
            before = ctx.__getstate__()
            try:
                ctx.append_heads(kv[0], shared, 64 * i)
            except ValueError as e:
                assert "token 40, row 2 is not" in str(e)
                assert ctx.__getstate__() == before
                outcomes.append("refused")
                continue
            twin.append_heads(kv[0], kv[1], 64 * i)
            assert ctx.__getstate__() == twin.__getstate__(), i
            outcomes.append("stored")
    finally:
        stop.set()
        flipper.join(timeout=10)
    assert "stored" in outcomes, outcomes


def test_a_call_waiting_for_a_busy_context_lets_it_finish():
    # One thread computes with the GIL released and, holding the context,
    # takes the GIL now and then to look for Ctrl-C; another calls into the
    # same context meanwhile, which must wait without holding the GIL.
    done = run_python(textwrap.dedent("""
        import threading
        import numpy as np
        from kelvor_py import MHAContext
        rng = np.random.default_rng(0)
        ctx = MHAContext(1, 128, 3, 70000, threads=2)
        kv = rng.standard_normal((2, 65536, 1, 128)).astype(np.float32)
        ctx.append_heads(kv[0], kv[1], 0)
        q = rng.standard_normal((1024, 128)).astype(np.float32)
        stop = threading.Event()
        def append():
            for i in range(10**9):
                if stop.is_set():
                    break
                ctx.append(0, q[0], q[1], 70000 + i)
        writer = threading.Thread(target=append)
        writer.start()
        for _ in range(5):
            ctx.compute_batch(0, q)
        stop.set()
        writer.join()
        print("finished")
    """), timeout=120)
    assert done.returncode == 0 and "finished" in done.stdout, done.stderr


FORK = """
    import os, threading, time
    import numpy as np
    from kelvor_py import MHAContext

    rng = np.random.default_rng(0)
    ctx = MHAContext(3, 64, 3, 20000, threads=2)
    kv = rng.standard_normal((2, 9000, 3, 64)).astype(np.float32)
    ctx.append_heads(kv[0], kv[1], 0)
    q = rng.standard_normal((3, 64)).astype(np.float32)
    want = ctx.compute_heads(q).tobytes()
    busy = {busy}
    if busy:  # another thread is inside a layer call (context lock held) at the fork
        long_q = rng.standard_normal((3, 256, 64)).astype(np.float32)
        running, done = threading.Event(), threading.Event()
        def loop():
            while not done.is_set():
                running.set()
                ctx.compute_heads(long_q)
        reader = threading.Thread(target=loop)
        reader.start()
        running.wait()
        time.sleep(0.05)
    pid = os.fork()
    if pid == 0:
        ok = ctx.compute_heads(q).tobytes() == want and ctx.compute(0, q[0]).tobytes() == want[:256]
        ctx.append_heads(kv[0, :5], kv[1, :5], 9000)
        other = MHAContext(3, 64, 3, 64, threads=3)
        other.append_heads(kv[0, :9], kv[1, :9], 0)
        ok = ok and other.compute_heads(q).shape == (3, 64)
        del ctx, other
        os._exit(0 if ok else 3)
    _, status = os.waitpid(pid, 0)
    if busy:
        done.set()
        reader.join()
    print("child exit status", status)
    assert status == 0
    assert ctx.compute_heads(q).tobytes() == want
"""


@pytest.mark.parametrize("busy", [False, True], ids=["idle", "busy"])
def test_a_forked_child_uses_and_drops_contexts(busy):
    done = run_python(FORK.format(busy=busy), timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr


EXIT = """
    import threading
    import numpy as np
    from kelvor_py import MHAContext

    rng = np.random.default_rng(0)
    kept = [MHAContext(4, 64, 3, 40000, threads=t) for t in (2, 3)]
    kv = rng.standard_normal((2, 30000, 4, 64)).astype(np.float32)
    for c in kept:
        c.append_heads(kv[0], kv[1], 0)
    q = rng.standard_normal((4, 512, 64)).astype(np.float32)
    class Closer:  # calls in from the main thread while the interpreter finalizes
        def __init__(self, ctx, q):
            self.ctx, self.q = ctx, q
        def __del__(self):
            self.ctx.compute_heads(self.q)
    closer = Closer(kept[0], q[:, :2])
    started = threading.Event()
    def loop():
        while True:
            started.set()
            kept[{which}].compute_heads(q)
    if {in_call}:
        threading.Thread(target=loop, daemon=True).start()
        started.wait()
    print("leaving")
"""


@pytest.mark.parametrize("in_call", [False, True], ids=["idle", "in-call"])
def test_the_interpreter_exits_with_workers_alive(in_call):
    done = run_python(EXIT.format(which=1, in_call=in_call), timeout=60)
    assert done.returncode == 0 and done.stdout == "leaving\n", done.stdout + done.stderr


# SIGINT comes from another process, as Ctrl-C comes from the terminal: a
# thread of this one could not send it while a call holds the GIL.
SIGINT = """
    import os, subprocess, time
    import numpy as np
    from kelvor_py import MHAContext

    threads, call = {threads}, "{call}"
    rng = np.random.default_rng(0)
    ctx = MHAContext(2, 128, 3, 65536, threads=threads)
    kv = rng.standard_normal((2, 32768, 2, 128)).astype(np.float32)
    ctx.append_heads(kv[0], kv[1], 0)
    ctx.append_heads(kv[1], kv[0], 32768)
    q = rng.standard_normal((2, 16384, 128)).astype(np.float32)  # seconds of work
    before = ctx.__getstate__(), ctx.compute_heads(q[:, :9]).tobytes()
    run = {{"heads": lambda: ctx.compute_heads(q), "batch": lambda: ctx.compute_batch(1, q[0])}}[call]
    sender = subprocess.Popen(["sh", "-c", f"sleep 0.3; kill -INT {{os.getpid()}}"])
    sent = time.monotonic() + 0.3  # at the earliest
    try:
        run()
        raise SystemExit("the call finished before the interrupt")
    except KeyboardInterrupt:
        late = time.monotonic() - sent
    sender.wait()
    print(f"KeyboardInterrupt {{late:.3f}} s after SIGINT")
    assert late < 1.0, late
    assert (ctx.__getstate__(), ctx.compute_heads(q[:, :9]).tobytes()) == before
"""


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("call", ["heads", "batch"])
def test_ctrl_c_stops_a_long_call_within_a_second(threads, call):
    done = run_python(SIGINT.format(threads=threads, call=call), timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr


PROMPT_SIGINT = """
    import os, subprocess, time
    import numpy as np
    from kelvor_py import MHAContext

    rng = np.random.default_rng(0)
    ctx = MHAContext(2, 128, 3, 262144, threads={threads})
    kv = rng.standard_normal((2, 200000, 2, 128)).astype(np.float32)
    ctx.append_heads(kv[0, :1000], kv[1, :1000], 0)
    before = ctx.__getstate__()
    sender = subprocess.Popen(["sh", "-c", f"sleep 0.2; kill -INT {{os.getpid()}}"])
    try:
        ctx.append_heads(kv[0, 1000:], kv[1, 1000:], 1000)
        time.sleep(5)  # the signal lands here when the prompt was stored first
        raise SystemExit("no KeyboardInterrupt")
    except KeyboardInterrupt:
        pass
    sender.wait()
    tokens = ctx.tokens(0)
    print("tokens after the interrupt", tokens)
    if tokens == 1000:
        assert ctx.__getstate__() == before
    else:
        twin = MHAContext(2, 128, 3, 262144, threads={threads})
        twin.append_heads(kv[0], kv[1], 0)
        assert ctx.__getstate__() == twin.__getstate__()
"""


@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_during_a_prompt_stores_all_or_nothing(threads):
    done = run_python(PROMPT_SIGINT.format(threads=threads), timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr


NO_THREADS = """
    import resource
    import numpy as np
    from kelvor_py import MHAContext

    def status(field):
        with open("/proc/self/status") as f:
            return int(next(line for line in f if line.startswith(field + ":")).split()[1])

    rng = np.random.default_rng(0)
    kv = rng.standard_normal((2, 600, 4, 32)).astype(np.float32)
    q = rng.standard_normal((4, 3, 32)).astype(np.float32)
    ctx, twin = MHAContext(4, 32, 3, 1024, threads=3), MHAContext(4, 32, 3, 1024)
    twin.append_heads(kv[0], kv[1], 0)
    base = status("Threads")
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    # Room for a little memory but not for a thread's stack.
    resource.setrlimit(resource.RLIMIT_AS, (status("VmSize") * 1024 + (4 << 20), hard))
    try:
        ctx.append_heads(kv[0], kv[1], 0)
        out = ctx.compute_heads(q)
        during = status("Threads")
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    assert during == base, (base, during)
    assert out.tobytes() == twin.compute_heads(q).tobytes()
    ctx.compute_heads(q)
    assert status("Threads") == base + 2, "the pool tries again"
"""


def test_a_worker_that_cannot_start_leaves_the_call_to_the_caller():
    from conftest import UNDER_SANITIZER
    if UNDER_SANITIZER:
        pytest.skip("an address-space limit is meaningless under AddressSanitizer")
    done = run_python(NO_THREADS, timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr


HANDLER_CALLS_IN = """
    import signal
    import numpy as np
    from kelvor_py import MHAContext

    rng = np.random.default_rng(0)
    ctx = MHAContext(2, 128, 3, 65536, threads={threads})
    kv = rng.standard_normal((2, 65536, 2, 128)).astype(np.float32)
    ctx.append_heads(kv[0], kv[1], 0)
    q = rng.standard_normal((8192, 128)).astype(np.float32)
    want = ctx.compute(0, q[0]).tobytes()
    signal.signal(signal.SIGALRM, lambda *_: ctx.compute(0, q[0]))
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        ctx.compute_batch(0, q)
        raise SystemExit("the call finished before the signal")
    except RuntimeError as e:
        assert "signal handler called into the context" in str(e), e
    assert ctx.compute(0, q[0]).tobytes() == want
"""


@pytest.mark.parametrize("threads", [1, 2])
def test_a_signal_handler_calling_into_the_busy_context_raises(threads):
    # The handler runs inside the call it interrupted, which holds the
    # context: it must fail at once, not wait for itself forever.
    done = run_python(HANDLER_CALLS_IN.format(threads=threads), timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr


# Contexts asking for more threads than the machine has, one made and one
# loaded from a state, each used and dropped while a threads=2 context lives.
POOL_BOUND = """
    import os, pickle, time
    import numpy as np
    from kelvor_py import MHAContext

    def threads_now():
        return len(os.listdir("/proc/self/task"))

    hardware = len(os.sched_getaffinity(0))
    base = threads_now()
    rng = np.random.default_rng(0)
    kv = rng.standard_normal((2, 300, 16, 32)).astype(np.float32)
    q = rng.standard_normal((16, 4, 32)).astype(np.float32)
    small = MHAContext(16, 32, 3, 1024, threads=2)
    small.append_heads(kv[0], kv[1], 0)
    want = small.compute_heads(q).tobytes()
    assert "#" not in repr(MHAContext(1, 8, 2, 4, threads=hardware + 1))
    for made in (lambda: MHAContext(16, 32, 3, 1024, threads=100000),
                 lambda: pickle.loads(pickle.dumps(MHAContext(16, 32, 3, 1024, threads=2**31 - 1)))):
        big = made()
        assert big.threads in (100000, 2**31 - 1)
        assert repr(big).endswith(f"  # uses {hardware + 1} threads here: a worker per hardware thread "
                                  f"({hardware}) and the caller"), repr(big)
        big.append_heads(kv[0], kv[1], 0)
        assert big.compute_heads(q).tobytes() == want
        held = threads_now() - base
        assert held <= hardware, (held, hardware)
        del big
        time.sleep(0.1)  # past the workers' idle wait
        left = threads_now() - base
        assert left <= 1, left  # what the threads=2 context can use
    assert small.compute_heads(q).tobytes() == want
    print("ok")
"""


def test_the_pool_holds_no_more_workers_than_hardware_threads():
    done = run_python(POOL_BOUND, timeout=60, OPENBLAS_NUM_THREADS="1")
    assert done.returncode == 0 and done.stdout == "ok\n", done.stdout + done.stderr


# A signal handler forks in the middle of a long call; the child returns into
# the call, which has lost the workers that were helping, and must finish it.
FORK_IN_HANDLER = """
    import os, signal
    import numpy as np
    from kelvor_py import MHAContext

    rng = np.random.default_rng(0)
    ctx = MHAContext(2, 128, 3, 65536, threads={threads})
    kv = rng.standard_normal((2, 65536, 2, 128)).astype(np.float32)
    ctx.append_heads(kv[0], kv[1], 0)
    q = rng.standard_normal((1024, 128)).astype(np.float32)
    want = ctx.compute_batch(0, q).tobytes()
    children = []
    signal.signal(signal.SIGALRM, lambda *_: children.append(os.fork()))
    signal.setitimer(signal.ITIMER_REAL, 0.05)
    got = ctx.compute_batch(0, q).tobytes()
    if children == [0]:
        os._exit(0 if got == want and ctx.compute_batch(1, q[:9]).shape == (9, 128) else 3)
    assert len(children) == 1, "the call finished before the signal"
    _, status = os.waitpid(children[0], 0)
    assert status == 0, f"child status {{status}}"
    assert got == want
    print("ok")
"""


@pytest.mark.parametrize("threads", [2, 3])
def test_a_child_forked_inside_a_call_finishes_it_alone(threads):
    done = run_python(FORK_IN_HANDLER.format(threads=threads), timeout=120)
    assert done.returncode == 0 and done.stdout == "ok\n", done.stdout + done.stderr


# At threads=1 the GIL is held throughout, but a signal handler runs at each
# check for signals, between rows already checked and their store. The first
# token is a sink, kept as stored for good.
HANDLER_WRITES = """
    import signal
    import numpy as np
    from kelvor_py import MHAContext

    rng = np.random.default_rng(0)
    kv = rng.standard_normal((2, 200000, 2, 128), dtype=np.float32)  # checked over well more than 25 ms
    clean = kv[:, :2].copy()
    twin = MHAContext(2, 128, 3, 1024, sinks=1)
    twin.append_heads(kv[0], kv[1], 0)
    def spoil(*_):
        kv[0, 0, 1, 5] = np.nan  # the first row, checked long before
    signal.signal(signal.SIGALRM, spoil)
    for attempt in range(5):
        kv[:, :2] = clean
        ctx = MHAContext(2, 128, 3, 1024, sinks=1)
        signal.setitimer(signal.ITIMER_REAL, 0.005)
        try:
            ctx.append_heads(kv[0], kv[1], 0)
        except ValueError as e:  # the handler ran before the call began
            assert "token 0, row 1 is not" in str(e) and ctx.tokens(1) == 0, e
            continue
        if np.isnan(kv[0, 0, 1, 5]):
            break
    else:
        raise SystemExit("the handler never ran inside the call")
    assert ctx.__getstate__() == twin.__getstate__()
    print("ok")
"""


def test_a_signal_handler_writing_to_checked_rows_changes_nothing_stored():
    done = run_python(HANDLER_WRITES, timeout=120)
    assert done.returncode == 0 and done.stdout == "ok\n", done.stdout + done.stderr
