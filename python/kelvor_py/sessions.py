"""A model's whole key/value cache (one MHAContext per layer) and the caller's metadata, saved and resumed in Redis.

    import redis
    from kelvor_py import sessions

    client = redis.Redis()                      # or redis.RedisCluster(...): auth and TLS are the client's
    version = sessions.save_session(client, "conv-42", caches, meta=token_ids.tobytes(), ttl=3600)
    caches, meta, version = sessions.load_session(client, "conv-42")
    ...                                         # the next turn
    version = sessions.save_session(client, "conv-42", caches, meta=meta, expected_version=version)

A session is kept under keys that share the hash tag {session}, so they fall in
one Redis Cluster slot:

    PREFIX:{session}:manifest   its version, each layer's length and checksum, the metadata's length and digest
    PREFIX:{session}:chunk:K    the layers' saved states (MHAContext.__getstate__) and then the metadata, one
                                after another, cut into chunks of CHUNK_BYTES

Chunks are sized to fill one of the Redis allocator's size classes, so a
session takes the server little more than its bytes (a value of 1.3 MB would be
rounded up to 1.5 MiB), and no single value comes near Redis's limit of one.

A save writes every key in one MULTI/EXEC, all with one expiry deadline, after
WATCHing the manifest: the server applies all of it or none of it, and a save
whose version check fails changes nothing. A load reads the manifest, checks
the sizes it names against a limit, then reads it again with every value in
one MULTI/EXEC, bounded by those sizes, and returns only once every layer has
been checked and rebuilt.
"""
import contextlib
import hashlib
import math
import struct
from typing import Iterable, List, NamedTuple, Optional, Union

import redis

import kelvor_py

__all__ = ["Session", "SessionError", "SessionNotFound", "SessionConflict", "SessionDamaged", "SessionTooLarge",
           "save_session", "load_session", "delete_session", "session_keys", "DEFAULT_MAX_BYTES", "CHUNK_BYTES"]

Client = Union[redis.Redis, redis.RedisCluster]
DEFAULT_MAX_BYTES = 1 << 30
MAX_LAYERS = 4096

# Manifest, little-endian: magic, format version, layers, session version, metadata length, metadata digest,
# chunk size; then per layer its state's length and last 8 bytes (the state's own XXH3 checksum, which loading
# verifies); then a digest of everything before it.
MAGIC = b"KELVORSN"
FORMAT_VERSION = 1
HEAD = struct.Struct("<8sIIQQ16sQ")
LAYER = struct.Struct("<Q8s")
DIGEST_BYTES = 16
MANIFEST_LIMIT = HEAD.size + MAX_LAYERS * LAYER.size + DIGEST_BYTES
# 256 KiB less the string's header and a margin: jemalloc's class of 256 KiB holds it whole.
CHUNK_BYTES = 262080
# What a manifest may name: small chunks would make a load send a command per few bytes.
MIN_CHUNK_BYTES, MAX_CHUNK_BYTES = 1 << 16, 1 << 29
# Bounds the keys a save, a deletion or session_keys lists from a manifest: 17 GB in chunks of CHUNK_BYTES.
MAX_CHUNKS = 1 << 16
ATTEMPTS = 3


class SessionError(Exception):
    """A session could not be saved or loaded."""


class SessionNotFound(SessionError, LookupError):
    """No session under that name: never saved, expired or deleted."""


class SessionConflict(SessionError):
    """The stored version is not the one the save expected: another worker saved first."""

    def __init__(self, message, expected, found):
        super().__init__(message)
        self.expected, self.found = expected, found


class SessionDamaged(SessionError, ValueError):
    """What the store holds is truncated, corrupted, foreign or from a newer release."""


class SessionTooLarge(SessionError, ValueError):
    """The session is larger than the load's max_bytes."""


class Session(NamedTuple):
    contexts: List[kelvor_py.MHAContext]
    meta: bytes
    version: int


class Manifest(NamedTuple):
    raw: bytes
    version: int
    lengths: List[int]
    tails: List[bytes]
    meta_length: int
    meta_digest: bytes
    chunk_bytes: int

    @property
    def total(self):
        return sum(self.lengths) + self.meta_length

    @property
    def chunks(self):
        return -(-self.total // self.chunk_bytes)


def _digest(data):
    return hashlib.blake2b(data, digest_size=DIGEST_BYTES).digest()


def _check_name(session, prefix):
    for what, name in (("session", session), ("prefix", prefix)):
        if not isinstance(name, str):
            raise TypeError(f"{what} must be a str, got {type(name).__name__}")
    # An empty tag, or a brace inside it, would move keys of one session to different cluster slots.
    if not session or "{" in session or "}" in session:
        raise ValueError(f"session must be a non-empty name without braces, got {session!r}")


class Keys:
    def __init__(self, session, prefix):
        _check_name(session, prefix)
        self.stem = f"{prefix}:{{{session}}}:"
        self.manifest = self.stem + "manifest"
        self.session = session

    def chunks(self, start, stop):
        return [f"{self.stem}chunk:{k}" for k in range(start, stop)]


def session_keys(client: Client, session: str, *, prefix: str = "kelvor") -> List[str]:
    """The keys the stored session is kept under, its manifest first; [] when there is none."""
    keys = Keys(session, prefix)
    manifest = _read_manifest(client, keys)
    return [keys.manifest] + keys.chunks(0, manifest.chunks) if manifest else []


def build_manifest(version, states, meta):
    body = HEAD.pack(MAGIC, FORMAT_VERSION, len(states), version, len(meta), _digest(meta), CHUNK_BYTES)
    body += b"".join(LAYER.pack(len(s), s[-8:]) for s in states)
    return body + _digest(body)


def parse_manifest(raw, name):
    def damaged(what):
        return SessionDamaged(f"session {name!r}: {what}")

    if len(raw) < HEAD.size + DIGEST_BYTES or raw[:8] != MAGIC:
        raise damaged("not a kelvor_py session (its manifest has no kelvor_py header)")
    magic, fmt, n, version, meta_length, meta_digest, chunk_bytes = HEAD.unpack_from(raw)
    if fmt > FORMAT_VERSION:
        raise damaged(f"manifest format {fmt} is newer than this kelvor_py reads (up to {FORMAT_VERSION})")
    if not 1 <= n <= MAX_LAYERS or len(raw) != HEAD.size + n * LAYER.size + DIGEST_BYTES:
        raise damaged(f"manifest of {len(raw)} bytes does not hold the {n} layers it names")
    if _digest(raw[:-DIGEST_BYTES]) != raw[-DIGEST_BYTES:]:
        raise damaged("manifest is corrupted (digest mismatch)")
    if not MIN_CHUNK_BYTES <= chunk_bytes <= MAX_CHUNK_BYTES:
        raise damaged(f"manifest names chunks of {chunk_bytes} bytes")
    layers = [LAYER.unpack_from(raw, HEAD.size + i * LAYER.size) for i in range(n)]
    manifest = Manifest(raw, version, [size for size, _ in layers], [tail for _, tail in layers], meta_length,
                        meta_digest, chunk_bytes)
    if manifest.chunks > MAX_CHUNKS:
        raise damaged(f"manifest names {manifest.total:,} bytes in {manifest.chunks:,} chunks, more than "
                      f"{MAX_CHUNKS:,}")
    return manifest


@contextlib.contextmanager
def _strings_only(keys):
    try:
        yield
    except redis.ResponseError as e:
        if "WRONGTYPE" not in str(e):
            raise
        raise SessionDamaged(f"session {keys.session!r}: not a kelvor_py session (a key of it holds another kind "
                             f"of Redis value than a string)") from e


def _stored_manifest(keys, read):
    """The stored manifest, or None when there is none; read(exists, getrange) runs the two commands, so that
    it never fetches more than a manifest can be."""
    with _strings_only(keys):
        exists, raw = read(lambda c: c.exists(keys.manifest), lambda c: c.getrange(keys.manifest, 0, MANIFEST_LIMIT))
    if not exists:
        return None
    if len(raw) > MANIFEST_LIMIT:
        raise SessionDamaged(f"session {keys.session!r}: not a kelvor_py session (its manifest is too long)")
    return parse_manifest(raw, keys.session)


def _read_manifest(client, keys):
    def read(*commands):
        with client.pipeline(transaction=True) as pipe:
            for command in commands:
                command(pipe)
            return pipe.execute()
    return _stored_manifest(keys, read)


def _watched_manifest(pipe, keys):
    # A watching pipeline runs each command at once, until multi().
    return _stored_manifest(keys, lambda *commands: [command(pipe) for command in commands])


def _server_micros(client):
    reply = client.time()
    if isinstance(reply, dict):     # a cluster client may answer per node
        reply = next(iter(reply.values()))
    seconds, micros = reply
    return seconds * 1_000_000 + micros


def _states(contexts):
    states = []
    for i, ctx in enumerate(contexts):
        if not isinstance(ctx, kelvor_py.MHAContext):
            raise TypeError(f"contexts[{i}] must be a kelvor_py.MHAContext, got {type(ctx).__name__}")
        states.append(ctx.__getstate__())
    if not 1 <= len(states) <= MAX_LAYERS:
        raise ValueError(f"a session holds 1 to {MAX_LAYERS} contexts, got {len(states)}")
    return states


def _ttl_ms(ttl):
    if ttl is None:
        return None
    if isinstance(ttl, bool) or not isinstance(ttl, (int, float)) or not 0 < ttl < math.inf:
        raise ValueError(f"ttl must be a positive number of seconds or None, got {ttl!r}")
    return max(1, math.ceil(ttl * 1000))


def save_session(client: Client, session: str, contexts: Iterable[kelvor_py.MHAContext],
                 meta: Union[bytes, bytearray, memoryview] = b"", *, expected_version: Optional[int] = None,
                 ttl: Optional[float] = None, prefix: str = "kelvor") -> int:
    """Saves every context's state and meta under session, atomically, and returns the new version.

    expected_version is the version the caller loaded (or saved last); None means the session must not exist
    yet. Anything else stored raises SessionConflict and changes nothing. ttl (seconds) expires every key of
    the session at one deadline; None keeps it until it is deleted or overwritten. If the connection fails,
    the redis exception propagates and the session is either wholly the new one or wholly what it was.
    """
    keys = Keys(session, prefix)
    if isinstance(meta, str) or not isinstance(meta, (bytes, bytearray, memoryview)):
        raise TypeError(f"meta must be bytes, got {type(meta).__name__}")
    if expected_version is not None and (isinstance(expected_version, bool) or not isinstance(expected_version, int)):
        raise TypeError(f"expected_version must be an int or None, got {type(expected_version).__name__}")
    meta, ttl_ms, states = bytes(meta), _ttl_ms(ttl), _states(contexts)
    data = memoryview(b"".join(states + [meta]))
    if len(data) > MAX_CHUNKS * CHUNK_BYTES:
        raise ValueError(f"a session holds at most {MAX_CHUNKS * CHUNK_BYTES:,} bytes, got {len(data):,}")
    for _ in range(ATTEMPTS):
        now = _server_micros(client)
        deadline = now // 1000 + ttl_ms if ttl_ms is not None else None
        written = None
        try:
            with client.pipeline(transaction=True) as pipe:
                pipe.watch(keys.manifest)
                current = _check_expected(keys, _watched_manifest(pipe, keys), expected_version)
                # A new session's version starts from the server's clock, so a session deleted and made again
                # never repeats a version that a stale worker may still hold.
                version = current.version + 1 if current else now
                written = build_manifest(version, states, meta)
                chunks = keys.chunks(0, -(-len(data) // CHUNK_BYTES))
                stale = keys.chunks(len(chunks), current.chunks) if current else []
                pipe.multi()
                if stale:
                    pipe.delete(*stale)
                for k, key in enumerate(chunks):
                    pipe.set(key, data[k * CHUNK_BYTES:(k + 1) * CHUNK_BYTES], pxat=deadline)
                pipe.set(keys.manifest, written, pxat=deadline)
                pipe.execute()
                return version
        except (redis.WatchError, redis.ConnectionError, redis.TimeoutError):
            # Another save came in between, or the connection failed (which redis-py reports as a WatchError
            # while a key is watched), maybe after the server applied the transaction: what is stored says which.
            if written is None:
                raise
            stored = _read_manifest(client, keys)
            if stored is not None and stored.raw == written:
                return stored.version
            _check_expected(keys, stored, expected_version)
    raise SessionError(f"session {session!r}: the save was interrupted {ATTEMPTS} times without being applied")


def _check_expected(keys, current, expected_version):
    found = current.version if current else None
    if found != expected_version:
        what = "does not exist (it expired or was deleted)" if found is None else f"is at version {found}"
        wanted = "it not to exist yet" if expected_version is None else f"version {expected_version}"
        raise SessionConflict(f"session {keys.session!r} {what}, but the save expected {wanted}: load it again "
                              f"and redo the turn, or delete it", expected_version, found)
    return current


def load_session(client: Client, session: str, *, max_bytes: int = DEFAULT_MAX_BYTES,
                 prefix: str = "kelvor") -> Session:
    """(contexts, meta, version) of a saved session; raises rather than return any part of a damaged one.

    max_bytes bounds the layers and metadata together and is checked before any of them is read.
    """
    keys = Keys(session, prefix)
    for _ in range(ATTEMPTS):
        manifest = _read_manifest(client, keys)
        if manifest is None:
            raise SessionNotFound(f"no session {session!r}: never saved, expired or deleted")
        if manifest.total > max_bytes:
            raise SessionTooLarge(f"session {session!r} holds {manifest.total:,} bytes, more than "
                                  f"max_bytes={max_bytes:,}")
        # Each read asks for one byte more than a chunk holds, so a longer value shows.
        with client.pipeline(transaction=True) as pipe:
            pipe.getrange(keys.manifest, 0, MANIFEST_LIMIT)
            for key in keys.chunks(0, manifest.chunks):
                pipe.getrange(key, 0, manifest.chunk_bytes)
            with _strings_only(keys):
                again, *chunks = pipe.execute()
        if again == manifest.raw:
            return _restore(keys, manifest, chunks)
    raise SessionError(f"session {session!r} changed under every one of {ATTEMPTS} loads; try again")


def _cut(chunks, sizes):
    """Byte strings of the given sizes, taken one after another from the chunks, each copied once."""
    k, offset = 0, 0
    for size in sizes:
        parts = []
        while size:
            part = memoryview(chunks[k])[offset:offset + size]
            parts.append(part)
            size, offset = size - len(part), offset + len(part)
            if offset == len(chunks[k]):
                k, offset = k + 1, 0
        yield b"".join(parts)


def _restore(keys, manifest, chunks):
    def damaged(what):
        return SessionDamaged(f"session {keys.session!r}: {what}")

    for k, chunk in enumerate(chunks):
        size = min(manifest.chunk_bytes, manifest.total - k * manifest.chunk_bytes)
        if len(chunk) != size:
            raise damaged(f"chunk {k} holds {len(chunk)}{'+' if len(chunk) > size else ''} bytes, its manifest "
                          f"{size} (missing, truncated or overwritten)")
    *states, meta = _cut(chunks, manifest.lengths + [manifest.meta_length])
    if _digest(meta) != manifest.meta_digest:
        raise damaged("metadata does not match its manifest's digest (corrupted or overwritten)")
    contexts = []
    for i, (state, tail) in enumerate(zip(states, manifest.tails)):
        if state[-8:] != tail:
            raise damaged(f"layer {i} is not the state its manifest names (corrupted or overwritten)")
        try:
            contexts.append(kelvor_py._restore(state))
        except ValueError as e:
            raise damaged(f"layer {i}: {e}") from e
    return Session(contexts, meta, manifest.version)


def delete_session(client: Client, session: str, *, prefix: str = "kelvor") -> bool:
    """Deletes every key of a session; True if it existed. One command when its manifest can be read."""
    keys = Keys(session, prefix)
    try:
        manifest = _read_manifest(client, keys)
        return bool(client.delete(keys.manifest, *keys.chunks(0, manifest.chunks if manifest else 0)))
    except SessionDamaged:
        pass
    # Chunks run from 0 without a gap: delete them in batches until a batch finds one missing.
    client.delete(keys.manifest)
    start, batch = 0, 1024
    while client.delete(*keys.chunks(start, start + batch)) == batch:
        start += batch
    return True

