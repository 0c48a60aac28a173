"""Every failure ends as ConfigError: one line on stderr and one exit status."""

DONE, REJECTED, NO_ANSWER, NO_PORT, BAD_ARGUMENTS = 0, 1, 2, 3, 4


class ConfigError(Exception):
    def __init__(self, status, text):
        super().__init__(text)
        self.status = status


class Rejected(ConfigError):
    """The receiver answered ACK-NAK."""

    def __init__(self, text):
        super().__init__(REJECTED, text)


def bad_arguments(text):
    return ConfigError(BAD_ARGUMENTS, text)
