"""Norv interop for Python: serve and call the Norv endpoints.

A Norv endpoint is a gRPC server on a Unix domain socket named by a process
id and an endpoint name. This package follows the C++ component's rules and
error texts, so that Python and C++ peers meet on the same endpoints:

- ``norv_interop.addressing``: the endpoint directory, socket and lock file
  paths, and the directory's checks (owner, mode 0700, no symbolic link,
  path length).
- ``norv_interop.hosting``: ``serve_data_service`` and ``serve_launcher``
  host a servicer for a process id, taking the endpoint's lock first.
- ``norv_interop.shutdown_host``: ``serve_shutdown`` hosts the shutdown
  service; a ShutdownHost offers ``request_stop()`` and ``force_stop()``.
- ``norv_interop.shutdown_client``: ``ShutdownClient`` subscribes to a
  shutdown service with ``on_request``, ``on_force`` and ``on_closed``.
- ``norv_interop.values``: null versus empty strings, record lists and
  date-times as the wire carries them.
- ``norv_interop.contracts``: the generated messages and stubs.
- ``norv_interop.errors``: the exceptions, named as the C++ component
  names them.

Example, a launcher for the process that will call it::

    from norv_interop import serve_launcher, contracts

    class Launcher:
        def LaunchTrasko(self, request, context):
            start_trasko()
            return contracts.types_pb2.Empty()

    with serve_launcher(Launcher(), host_pid) as host:
        host.wait()
"""

from .addressing import endpoint_directory, lock_path, socket_path
from .errors import (AddressAccessDeniedException, AddressAlreadyInUseException,
                     CommunicationException, EndpointNotFoundException, FaultException,
                     MalformedMessage, QuotaExceededException, TimeoutException)
from .hosting import DataServiceHost, LauncherHost, serve_data_service, serve_launcher
from .shutdown_host import ShutdownHost, ShutdownService, serve_shutdown
from .shutdown_client import ShutdownClient
from .values import Record

__all__ = [
    "AddressAccessDeniedException", "AddressAlreadyInUseException", "CommunicationException",
    "DataServiceHost", "EndpointNotFoundException", "FaultException", "LauncherHost",
    "MalformedMessage", "QuotaExceededException", "Record", "ShutdownClient", "ShutdownHost",
    "ShutdownService", "TimeoutException", "endpoint_directory", "lock_path",
    "serve_data_service", "serve_launcher", "serve_shutdown", "socket_path",
]
