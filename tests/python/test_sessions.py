"""kelvor_py.sessions against a real redis-server that the tests start (persistence off) and stop."""
import os
import socket
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import kelvor_py

import redis_server

if redis_server.missing():
    if os.environ.get("KELVOR_REQUIRE_REDIS"):
        pytest.fail(redis_server.missing(), pytrace=False)
    pytest.skip(redis_server.missing(), allow_module_level=True)

import redis  # noqa: E402
from redis.crc import key_slot  # noqa: E402

from kelvor_py import sessions  # noqa: E402
from kelvor_py.sessions import SessionConflict, SessionDamaged, SessionNotFound, SessionTooLarge  # noqa: E402

HD = 32


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    with redis_server.redis_server(tmp_path_factory.mktemp("redis")) as where:
        yield where


@pytest.fixture
def client(server):
    c = redis.Redis(**server, socket_timeout=10)
    c.flushall()
    yield c
    c.close()


def model(rng, tokens=600):
    """Three layers in different settings: answering from codes with every option, exactly, and a wrapped ring."""
    layers = [kelvor_py.MHAContext(2, HD, 3, 1024, seed=1, encoding="fitted", value_bits=2, recent=4, sinks=2),
              kelvor_py.MHAContext(2, HD, 2, 1024, seed=2),
              kelvor_py.MHAContext(2, HD, 4, 256, seed=3, encoding="fitted", threads=2)]
    for i, ctx in enumerate(layers):
        n = 40 if i == 1 else tokens
        ctx.append_heads(rng.standard_normal((n, 2, HD)), rng.standard_normal((n, 2, HD)), 0)
    return layers


def assert_same(got, want, rng):
    queries = rng.standard_normal((4, HD)).astype(np.float32)
    for a, b in zip(got, want, strict=True):
        assert a.__getstate__() == b.__getstate__()
        assert np.array_equal(a.compute_heads(queries).view(np.uint32), b.compute_heads(queries).view(np.uint32))


def stored_keys(c):
    return sorted(k.decode() for k in c.keys("*"))


@pytest.mark.parametrize("kind", ["standalone", "one-node cluster"])
def test_round_trip_is_bit_for_bit_and_keys_share_one_slot(request, tmp_path, rng, kind):
    if kind == "standalone":
        c = request.getfixturevalue("client")
    else:  # a cluster node refuses a transaction over keys of different slots
        server = redis_server.redis_server(tmp_path, cluster=True)
        c = redis.RedisCluster(**server.__enter__(), socket_timeout=10)
        request.addfinalizer(lambda: (c.close(), server.__exit__(None, None, None)))
    layers, long_meta = model(rng), rng.bytes(3 * sessions.CHUNK_BYTES)
    version = sessions.save_session(c, "chat:7", layers, meta=long_meta)
    got, meta, loaded_version = sessions.load_session(c, "chat:7")
    assert (meta, loaded_version) == (long_meta, version)
    assert_same(got, layers, rng)
    keys = sessions.session_keys(c, "chat:7")
    assert len(keys) == 1 + 4 and stored_keys(c) == sorted(keys) and len({key_slot(k.encode()) for k in keys}) == 1
    # A later, smaller turn leaves none of the old chunks behind.
    newer = sessions.save_session(c, "chat:7", layers[:2], meta=b"short", expected_version=version)
    assert newer == version + 1 and stored_keys(c) == sorted(keys[:2])
    assert len(sessions.load_session(c, "chat:7").contexts) == 2
    assert sessions.delete_session(c, "chat:7") and stored_keys(c) == []


def test_time_to_live_expires_the_whole_session_at_one_deadline(client, rng):
    version = sessions.save_session(client, "s", model(rng, 20), ttl=1)
    deadlines = {client.execute_command("PEXPIRETIME", k) for k in sessions.session_keys(client, "s")}
    assert len(deadlines) == 1 and deadlines.pop() > time.time() * 1000
    assert sessions.load_session(client, "s").version == version
    time.sleep(1.2)
    with pytest.raises(SessionNotFound, match="never saved, expired or deleted"):
        sessions.load_session(client, "s")
    with pytest.raises(SessionConflict, match="does not exist .it expired or was deleted.") as e:
        sessions.save_session(client, "s", model(rng, 20), expected_version=version)
    assert (e.value.expected, e.value.found) == (version, None) and stored_keys(client) == []


class Interleaving(redis.Redis):
    """A client whose next save lets another save in between its read of the version and its write."""
    def __init__(self, before_write, **where):
        super().__init__(**where)
        self.before_write = before_write

    def pipeline(self, *args, **kwargs):
        pipe = super().pipeline(*args, **kwargs)
        multi = pipe.multi
        pipe.multi = lambda: (self.before_write(), multi())[1]
        return pipe


def test_the_second_of_two_workers_is_refused_and_the_first_turn_kept(client, server, rng):
    layers = model(rng)
    v1 = sessions.save_session(client, "s", layers)
    mine, theirs = sessions.load_session(client, "s").contexts, sessions.load_session(client, "s").contexts
    for ctx in mine + theirs:
        ctx.append_heads(rng.standard_normal((2, HD)), rng.standard_normal((2, HD)), 600)
    first = redis.Redis(**server)
    second = Interleaving(lambda: sessions.save_session(first, "s", theirs, meta=b"theirs", expected_version=v1),
                          **server)
    with pytest.raises(SessionConflict, match=f"is at version {v1 + 1}, but the save expected version {v1}"):
        sessions.save_session(second, "s", mine, meta=b"mine", expected_version=v1)
    got, meta, version = sessions.load_session(client, "s")
    assert (meta, version) == (b"theirs", v1 + 1)
    assert_same(got, theirs, rng)
    with pytest.raises(SessionConflict, match="expected it not to exist yet"):
        sessions.save_session(client, "s", mine)
    first.close(), second.close()


def swap_manifest_byte(raw):
    return raw[:60] + bytes([raw[60] ^ 1]) + raw[61:]


def resealed(raw, at, value):
    """The manifest with bytes changed at `at` and its digest made to match, as a forger would."""
    body = raw[:at] + value + raw[at + len(value):-16]
    return body + sessions._digest(body)


def newer_format(raw):
    return resealed(raw, 8, (2).to_bytes(4, "little"))


# What goes wrong in the store, and what the load must say.
DAMAGE = {
    "truncated chunk": ("chunk:0", lambda s: s[:-100], "chunk 0 holds .* bytes, its manifest"),
    "extended chunk": ("chunk:0", lambda s: s + b"!", r"chunk 0 holds \d+\+ bytes"),
    "missing chunk": ("chunk:0", None, "chunk 0 holds 0 bytes"),
    "corrupted layer": ("chunk:0", lambda s: s[:500] + bytes([s[500] ^ 4]) + s[501:], "layer 0: context state"),
    "another session's chunk": ("chunk:0", "other", "layer 0 is not the state its manifest names"),
    "changed metadata": ("chunk:0", lambda s: s[:-4] + s[-4:].upper(), "metadata does not match"),
    "corrupted manifest": ("manifest", swap_manifest_byte, "manifest is corrupted"),
    "foreign value": ("manifest", lambda s: b"a cached web page", "not a kelvor_py session"),
    "newer manifest": ("manifest", newer_format, "manifest format 2 is newer than this kelvor_py reads"),
    "manifest naming 2**64 bytes": ("manifest", lambda s: resealed(s, 24, (2**64 - 1).to_bytes(8, "little")),
                                    r"in [\d,]+ chunks, more than 65,536"),
    "not a string": ("manifest", "list", "another kind of Redis value than a string"),
    "a chunk not a string": ("chunk:0", "list", "another kind of Redis value than a string"),
}


@pytest.mark.parametrize("damage", DAMAGE)
def test_damaged_sessions_are_refused_whole(client, rng, damage):
    sessions.save_session(client, "s", model(rng), meta=b"meta")
    suffix, change, message = DAMAGE[damage]
    key = f"kelvor:{{s}}:{suffix}"
    if change is None:
        client.delete(key)
    elif change == "list":
        client.delete(key), client.rpush(key, b"x")
    elif change == "other":   # the same settings and tokens, so the same length
        sessions.save_session(client, "t", model(rng), meta=b"meta")
        client.set(key, client.get(key.replace("{s}", "{t}")))
    else:
        client.set(key, change(client.get(key)))
    with pytest.raises(SessionDamaged, match=message):
        sessions.load_session(client, "s")
    assert sessions.delete_session(client, "s") and not [k for k in stored_keys(client) if "{s}" in k]


def test_size_limit_is_checked_before_any_layer_is_read(client, rng):
    sessions.save_session(client, "s", model(rng), meta=b"m")
    size = sum(client.strlen(k) for k in sessions.session_keys(client, "s")[1:])

    def sent():
        return client.info("stats")["total_net_output_bytes"]

    before = sent()
    with pytest.raises(SessionTooLarge, match=f"holds {size:,} bytes, more than max_bytes={size - 1:,}"):
        sessions.load_session(client, "s", max_bytes=size - 1)
    assert sent() - before < 8_000 < size   # the manifest and the INFO reply, not the layers
    assert sessions.load_session(client, "s", max_bytes=size).meta == b"m"


class CuttingProxy:
    """Forwards a client's connection to the server until `limit` bytes have gone up, then drops it and refuses
    every later connection, as a server that went away would."""
    def __init__(self, target, folder, limit):
        self.path, self.target, self.limit = str(folder / "proxy.sock"), target, limit
        self.listener = socket.socket(socket.AF_UNIX)
        self.listener.bind(self.path)
        self.listener.listen()
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        near, _ = self.listener.accept()
        far = socket.socket(socket.AF_UNIX)
        far.connect(self.target)
        threading.Thread(target=self.pipe, args=(far, near, None), daemon=True).start()
        self.pipe(near, far, self.limit)
        for s in (near, far, self.listener):
            s.close()

    @staticmethod
    def pipe(src, dst, limit):
        sent = 0
        while limit is None or sent < limit:
            try:
                chunk = src.recv(min(65536, limit - sent) if limit else 65536)
                dst.sendall(chunk)
            except OSError:
                return
            if not chunk:
                return
            sent += len(chunk)


def test_a_connection_lost_mid_save_leaves_the_previous_session_whole(client, server, rng, tmp_path):
    before = model(rng)
    v1 = sessions.save_session(client, "s", before, meta=b"before")
    after = model(rng, 900)
    size = sum(len(c.__getstate__()) for c in after)
    proxy = CuttingProxy(server["unix_socket_path"], tmp_path, size // 2)
    cut = redis.Redis(unix_socket_path=proxy.path, socket_timeout=5)
    with pytest.raises(redis.ConnectionError):
        sessions.save_session(cut, "s", after, meta=b"after", expected_version=v1)
    proxy.thread.join(timeout=10)
    got, meta, version = sessions.load_session(client, "s")
    assert (meta, version) == (b"before", v1)
    assert_same(got, before, rng)


@pytest.mark.parametrize("call, error, message", [
    (lambda c, m: sessions.save_session(c, "a{b}", m), ValueError, "without braces"),
    (lambda c, m: sessions.save_session(c, "", m), ValueError, "non-empty"),
    (lambda c, m: sessions.save_session(c, "s", m, meta="text"), TypeError, "meta must be bytes"),
    (lambda c, m: sessions.save_session(c, "s", m, ttl=0), ValueError, "ttl must be a positive"),
    (lambda c, m: sessions.save_session(c, "s", m, expected_version=1.0), TypeError, "expected_version"),
    (lambda c, m: sessions.save_session(c, "s", []), ValueError, "1 to 4096 contexts, got 0"),
    (lambda c, m: sessions.save_session(c, "s", m + [b"state"]), TypeError, r"contexts\[3\] must be"),
])
def test_bad_arguments_write_nothing(client, rng, call, error, message):
    with pytest.raises(error, match=message):
        call(client, model(rng, 10))
    assert stored_keys(client) == []


def test_only_the_sessions_module_imports_redis():
    script = ("import sys, kelvor_py; assert 'redis' not in sys.modules; "
              "import kelvor_py.sessions; assert 'redis' in sys.modules")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
