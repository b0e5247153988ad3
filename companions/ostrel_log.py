"""Logger companion: a standard-library logger writing to stderr, and to a file on request."""

import logging
import os
import sys

_FORMAT = "%(asctime)s %(levelname)s %(name)s: %(message)s"


class _OwnLogger(logging.Logger):
    """A logger that belongs to one object and stays out of the `logging` registry.

    The registry keeps every logger it hands out until the process ends, so one
    registered per object would grow without bound in a program that makes objects
    per request. Its level cache is cleared only for the loggers it knows, so this one
    asks afresh each time instead of caching.
    """

    def isEnabledFor(self, level):
        if self.disabled or self.manager.disable >= level:
            return False
        return level >= self.getEffectiveLevel()


class OstrelLog:
    """A logger of the object's own, made with the `logging` module.

    With file=False (the default) records go to stderr only and no file is created.
    With file=True they also go to ``<name>.log`` in ``directory`` (the current
    directory when not given).
    """

    def __init__(self, file=False, name="ostrel", directory=None, level=logging.INFO):
        self.logger = _OwnLogger(f"{name}.{id(self):x}")
        self.logger.setLevel(level)
        self.logger.propagate = False
        self.path = None
        stream = logging.StreamHandler(sys.stderr)
        stream.setFormatter(logging.Formatter(_FORMAT))
        self.logger.addHandler(stream)
        if file:
            self.path = os.path.join(directory or os.getcwd(), f"{name}.log")
            handler = logging.FileHandler(self.path, encoding="utf-8")
            handler.setFormatter(logging.Formatter(_FORMAT))
            self.logger.addHandler(handler)

    def debug(self, msg, *args):
        self.logger.debug(msg, *args)

    def info(self, msg, *args):
        self.logger.info(msg, *args)

    def warning(self, msg, *args):
        self.logger.warning(msg, *args)

    def error(self, msg, *args):
        self.logger.error(msg, *args)

    def close(self):
        for handler in list(self.logger.handlers):
            self.logger.removeHandler(handler)
            handler.close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass
