"""Fixtures: real redis-server processes on free loopback ports, stopped at the end."""

import os
import shutil
import socket
import subprocess
import tempfile
import time

import pytest
import redis


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def find_redis_server():
    path = shutil.which("redis-server") or "/usr/bin/redis-server"
    if not os.path.exists(path):
        pytest.fail("redis-server is not installed (scripts/setup.sh installs it)")
    return path


def server_env():
    """The environment for server processes: without a sanitizer runtime preloaded for Python."""
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


class RedisServer:
    """One throwaway redis-server: loopback only, no persistence."""

    def __init__(self, password=None, port=None):
        self.host = "127.0.0.1"
        self.port = port or free_port()
        self.password = password
        self.dir = tempfile.mkdtemp(prefix="redis-main-test-")
        self.proc = None

    def start(self):
        args = [
            find_redis_server(), "--port", str(self.port), "--bind", self.host,
            "--save", "", "--appendonly", "no", "--dir", self.dir, "--databases", "16",
        ]
        if self.password:
            args += ["--requirepass", self.password]
        self.proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     env=server_env())
        deadline = time.monotonic() + 10
        while True:
            try:
                if self.client().ping():
                    return self
            except redis.ConnectionError:
                pass
            if self.proc.poll() is not None:
                raise RuntimeError(f"redis-server exited with {self.proc.returncode}")
            if time.monotonic() > deadline:
                raise RuntimeError("redis-server did not answer within 10 s")
            time.sleep(0.05)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def client(self, db=0, decode_responses=True):
        """A plain redis-py client, to check what the module wrote."""
        return redis.Redis(host=self.host, port=self.port, password=self.password, db=db,
                           decode_responses=decode_responses)

    def config(self, **extra):
        """A configuration mapping for OstrelRedisMain pointing at this server."""
        cfg = {"host": self.host, "port": self.port}
        if self.password:
            cfg["password"] = self.password
        cfg.update(extra)
        return cfg

    def flush(self):
        self.client().flushall()


@pytest.fixture(scope="session")
def redis_server():
    server = RedisServer().start()
    yield server
    server.stop()
    shutil.rmtree(server.dir, ignore_errors=True)


@pytest.fixture(scope="session")
def redis_server_with_password():
    server = RedisServer(password="s3cret-test-pw").start()
    yield server
    server.stop()
    shutil.rmtree(server.dir, ignore_errors=True)


@pytest.fixture
def server(redis_server):
    """The shared server, emptied before the test."""
    redis_server.flush()
    return redis_server
