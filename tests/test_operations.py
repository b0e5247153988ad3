"""Data operations against a real redis-server."""

import redis_main


def test_set_then_get_round_trip(server):
    obj = redis_main.OstrelRedisMain(server.config())
    assert obj._set("k", "v", 3) is None
    assert obj._get("k", 3) == "v"
    assert server.client(3).get("k") == "v"
    assert obj._get("k") is None
