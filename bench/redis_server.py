"""A throwaway redis-server for the tests, the session example and its benchmark: persistence off, on a Unix
socket or a free loopback port."""
import contextlib
import os
import shutil
import socket
import subprocess
import time

STARTUP_SECONDS = 15


def missing():
    """Why the Redis tests cannot run here, or None."""
    if shutil.which("redis-server") is None:
        return "redis-server is not installed (Debian package redis-server; make test installs it)"
    try:
        import redis  # noqa: F401
    except ImportError:
        return "the Python client redis is not installed (make test installs it)"
    return None


def free_port():
    # A cluster node also listens on its port + 10000.
    while True:
        with socket.socket() as a, socket.socket() as b:
            a.bind(("127.0.0.1", 0))
            port = a.getsockname()[1]
            if port + 10000 < 65536:
                try:
                    b.bind(("127.0.0.1", port + 10000))
                except OSError:
                    continue
                return port


@contextlib.contextmanager
def redis_server(folder, *, cluster=False):
    """Yields the connection keywords of a new redis-server (a one-node cluster owning every slot when cluster is
    set, reached over TCP; otherwise over a Unix socket in folder), and stops it afterwards."""
    import redis
    folder = str(folder)
    port = free_port() if cluster else 0
    args = ["redis-server", "--save", "", "--appendonly", "no", "--dir", folder, "--bind", "127.0.0.1",
            "--port", str(port)]
    if cluster:
        args += ["--cluster-enabled", "yes", "--cluster-config-file", "nodes.conf"]
        where = {"host": "127.0.0.1", "port": port}
    else:
        path = os.path.join(folder, "redis.sock")
        args += ["--unixsocket", path, "--unixsocketperm", "700"]
        where = {"unix_socket_path": path}
    # The sanitizer runtime preloaded for the module's tests has no business in the server.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    log = open(os.path.join(folder, "redis.log"), "wb")
    server = subprocess.Popen(args, stdout=log, stderr=subprocess.STDOUT, env=env, cwd=folder)
    try:
        client = redis.Redis(**where, socket_timeout=5)
        deadline = time.monotonic() + STARTUP_SECONDS
        while True:
            try:
                client.ping()
                if cluster:
                    client.execute_command("CLUSTER", "ADDSLOTSRANGE", 0, 16383)
                    while b"cluster_state:ok" not in client.execute_command("CLUSTER", "INFO"):
                        if time.monotonic() > deadline:
                            raise TimeoutError("the one-node cluster did not come up")
                        time.sleep(0.05)
                break
            except redis.ConnectionError:
                if server.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("redis-server did not start:\n" + open(log.name).read()) from None
                time.sleep(0.05)
        client.close()
        yield where
    finally:
        server.terminate()
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait(timeout=10)
        log.close()
