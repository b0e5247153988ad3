# Types of the production subclass of redis_main.OstrelRedisMain.
import logging
import os
from typing import Literal, TypedDict, Unpack

import redis
import redis_main
from redis.cluster import RedisCluster

__all__ = ["ClientCacheSettings", "OstrelRedis", "OstrelRedisConfig"]
__version__: str
log: logging.Logger

class ClientCacheSettings(TypedDict, total=False):
    max_size: int

# every key is optional; a misspelt key or a value of the wrong type is an error
class OstrelRedisConfig(TypedDict, total=False):
    host: str
    port: int
    password: str | bytes
    username: str
    database: Literal[0]
    decode_responses: bool
    max_connections: int
    pool_timeout: float
    ssl: bool
    ssl_ca_certs: str | os.PathLike[str]
    ssl_certfile: str | os.PathLike[str]
    ssl_keyfile: str | os.PathLike[str]
    ssl_password: str | bytes
    ssl_cert_reqs: Literal["required", "optional", "none"]
    ssl_check_hostname: bool
    socket_timeout: float
    socket_connect_timeout: float
    socket_keepalive: bool
    health_check_interval: float
    retries: int
    client_name: str
    sentinels: list[tuple[str, int] | str]
    sentinel_service: str
    sentinel_username: str
    sentinel_password: str | bytes
    sentinel_ssl: bool
    failover_hold: float
    cluster: bool
    cluster_nodes: list[tuple[str, int] | str]
    client_cache: bool | ClientCacheSettings
    ssh: bool
    ssh_host: str
    ssh_port: int
    ssh_user: str
    ssh_password: str
    ssh_rsa: str
    ssh_rsa_pwd: str
    ssh_known_hosts: str
    ssh_host_key_check: bool
    ssh_timeout: float
    ssh_keepalive: float
    ssh_max_connections: int

class OstrelRedis(redis_main.OstrelRedisMain):
    def __init__(self, config: OstrelRedisConfig) -> None: ...
    def _set_params_dict(self) -> None: ...
    def _set_default_params(self) -> None: ...
    # a Sentinel-managed pool when the configuration names sentinels; with cluster, a cluster
    # client, which the base class's pool-only signature cannot say
    # a client kept per database key; with cluster, the key's cluster client
    def _get_engine(self, db: int | str) -> redis.Redis | RedisCluster: ...  # type: ignore[override]
    def _connect(self, db: int | str) -> redis.ConnectionPool | RedisCluster: ...  # type: ignore[override]
    def close(self) -> None: ...
    def cache_stats(self, db: int | str = 0) -> dict[str, int] | None: ...
    def __enter__(self) -> OstrelRedis: ...
    def __exit__(self, *exc_info: object) -> None: ...
    @classmethod
    def from_url(cls, url: str, **overrides: Unpack[OstrelRedisConfig]) -> OstrelRedis: ...
