# pyright: strict, reportPrivateUsage=false
"""Mistakes a type checker must report, each on the line that carries its expected codes."""

import redis_main

store = redis_main.OstrelRedisMain({"host": "127.0.0.1", "port": 6379})
store._set_list("letters", ("a", "b"))  # expect: call-overload reportCallIssue reportArgumentType
name: str = store._get_size()  # expect: assignment reportAssignmentType
store._gett("letters")  # expect: attr-defined reportAttributeAccessIssue reportUnknownMemberType
redis_main.OstrelRedisMain()  # expect: call-arg reportCallIssue

from ostrel_redis import OstrelRedis  # noqa: E402

OstrelRedis({"host": "127.0.0.1", "passwrd": "s3cret"})  # expect: typeddict-unknown-key reportArgumentType
OstrelRedis({"host": "127.0.0.1", "port": "6379"})  # expect: typeddict-item reportArgumentType
OstrelRedis.from_url("redis://127.0.0.1", retries="3")  # expect: arg-type reportArgumentType

import ostrel_redis.asyncio as aio  # noqa: E402

aio.OstrelRedis({"host": "127.0.0.1", "pool_timeout": "2"})  # expect: typeddict-item reportArgumentType


async def forgets_await(store: aio.OstrelRedis) -> int:
    return store._get_size()  # expect: return-value reportReturnType
