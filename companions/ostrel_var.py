"""Configuration object: a bag of named values that reads an unknown name as None."""

_SECRETS = frozenset({"password", "ssh_password", "ssh_rsa_pwd", "ssl_password", "sentinel_password"})


def _hidden(name, value):
    """Whether repr hides the value: a password, a pass phrase, or a private key given as text."""
    if value is None:
        return False
    return name in _SECRETS or name == "ssh_rsa" and any(m in str(value) for m in ("KEY-----", "\n", "\\n"))


def _own_attribute(cls, name):
    """True when the class defines name as a data descriptor (a slot, a property)."""
    for klass in cls.__mro__:
        if name in klass.__dict__:
            kind = type(klass.__dict__[name])
            return hasattr(kind, "__set__") or hasattr(kind, "__delete__")
    return False


class OstrelVar:
    """Holds the configuration entries given as keyword arguments.

    Entries live in a store of their own, not in the instance dict, so any name can be
    an entry (get, set, todict, self, close...) while the methods keep working: an
    attribute read finds a method first and falls back to the entries, and reading a
    name that was never stored gives None instead of raising. Dunder names are never
    looked up among the entries, so copy, pickle and friends see an ordinary object;
    read such an entry with get().
    """

    __slots__ = ("__entries", "__weakref__")

    # self is positional-only, so an entry may be called "self" too
    def __init__(self, /, **entries):
        self.__entries = entries

    def __getattr__(self, name):
        # only called for names that are not methods or other attributes of the class
        if name.startswith("__") and name.endswith("__") or name == "_OstrelVar__entries":
            raise AttributeError(name)
        return self.__entries.get(name)

    def __setattr__(self, name, value):
        # slots and properties (of subclasses too) keep their own storage; any other name is an entry
        if _own_attribute(type(self), name):
            object.__setattr__(self, name, value)
        else:
            self.__entries[name] = value

    def __delattr__(self, name):
        if _own_attribute(type(self), name):
            object.__delattr__(self, name)
        elif name in self.__entries:
            del self.__entries[name]
        else:
            raise AttributeError(name)

    def get(self, name):
        return self.__entries.get(name)

    def set(self, name, value):
        if not isinstance(name, str):
            raise TypeError(f"attribute name must be string, not '{type(name).__name__}'")
        self.__entries[name] = value

    def todict(self):
        return dict(self.__entries)

    def __eq__(self, other):
        if not isinstance(other, OstrelVar):
            return NotImplemented
        return self.__entries == other.__entries

    __hash__ = None

    def __repr__(self):
        shown = ", ".join(
            f"{name}={'***' if _hidden(name, value) else repr(value)}"
            for name, value in self.__entries.items()
        )
        return f"OstrelVar({shown})"
