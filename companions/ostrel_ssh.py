"""SSH tunnel companion: forwards a local port to the Redis server through an SSH host."""


class OstrelSSH:
    """Takes the configuration dict; connect() opens the tunnel and returns the new configuration."""

    def __init__(self, config):
        self.config = dict(config)

    def connect(self):
        raise RuntimeError("SSH tunnels are not available yet in this build of ostrel_ssh")
