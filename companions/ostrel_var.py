"""Configuration object: a bag of named values that reads an unknown name as None."""

_SECRETS = frozenset({"password", "ssh_password", "ssh_rsa_pwd"})


class OstrelVar:
    """Holds the configuration entries given as keyword arguments.

    Reading a name that was never stored gives None instead of raising, so callers
    can test optional settings with a plain attribute read. Dunder names still raise
    AttributeError, so copy, pickle and friends see an ordinary object.
    """

    def __init__(self, **entries):
        self.__dict__.update(entries)

    def __getattr__(self, name):
        # only called for names missing from the instance dict
        if name.startswith("__") and name.endswith("__"):
            raise AttributeError(name)
        return None

    def get(self, name):
        return self.__dict__.get(name)

    def set(self, name, value):
        setattr(self, name, value)

    def todict(self):
        return dict(self.__dict__)

    def __eq__(self, other):
        if not isinstance(other, OstrelVar):
            return NotImplemented
        return self.__dict__ == other.__dict__

    __hash__ = None

    def __repr__(self):
        shown = ", ".join(
            f"{name}={'***' if value is not None and (name in _SECRETS or name == 'ssh_rsa' and any(m in str(value) for m in ('KEY-----', '\n', '\\n'))) else repr(value)}"
            for name, value in self.__dict__.items()
        )
        return f"OstrelVar({shown})"
