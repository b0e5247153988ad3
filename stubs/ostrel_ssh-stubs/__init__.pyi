# Types of the SSH tunnel companion.
import logging
from collections.abc import Mapping
from typing import Any

from ostrel_var import OstrelVar

log: logging.Logger

class SSHTunnelError(ConnectionError): ...
class HostKeyError(SSHTunnelError): ...
class AuthenticationError(SSHTunnelError): ...

class TunnelledVar(OstrelVar):
    # host and port name the tunnel's local end
    def close(self) -> None: ...

class OstrelSSH:
    config: dict[str, Any]
    def __init__(self, config: Mapping[str, Any]) -> None: ...
    def connect(self) -> TunnelledVar: ...
