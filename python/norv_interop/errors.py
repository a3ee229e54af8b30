"""The exceptions of the Norv endpoints, as the C++ service component names them.

Every message says in one sentence what failed and where: the process id,
the endpoint and, for a call, the operation. Catch CommunicationException for
any of them. A host raises the addressing errors when it opens; a client
raises the call errors.
"""


class CommunicationException(Exception):
    """A call, a session or a host failed; the base of every error here."""


class EndpointNotFoundException(CommunicationException):
    """Nobody listens on the endpoint."""


class FaultException(CommunicationException):
    """The other side raised; ``reason`` is its own text."""

    def __init__(self, message, reason=None):
        super().__init__(message)
        self.reason = message if reason is None else reason


class TimeoutException(CommunicationException):
    """No answer within the time-out."""


class QuotaExceededException(CommunicationException):
    """A message carried more list items than the operation allows."""


class AddressAccessDeniedException(CommunicationException):
    """The endpoint directory or socket cannot be used.

    The directory has the wrong owner or mode, is a symbolic link, or the
    socket path is too long for a Unix socket address.
    """


class AddressAlreadyInUseException(CommunicationException):
    """Another live host already serves the endpoint."""


class MalformedMessage(ValueError):
    """A wire message contradicts the contract (columns of unequal length,
    a date-time outside the calendar)."""
