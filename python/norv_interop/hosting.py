"""Hosting a data service or a launcher for a process id, and what every
host shares.

A host serves one endpoint (see ``norv_interop.addressing``) from a service
object, with the C++ hosts' rules:

- ``open()`` checks (and creates) the endpoint directory, checks the socket
  path's length, then takes the endpoint's lock file before it listens. A
  live host of either language holding it makes ``open()`` raise
  AddressAlreadyInUseException ("... another live host already serves this
  endpoint ..."); a socket left by a host that died is removed and taken
  over.
- Every contract operation reaches the service object under the host's
  dispatch lock: one operation at a time.
- What a service object raises reaches the caller as a fault: the status
  UNKNOWN with the exception's text (a FaultException's ``reason``), which a
  C++ caller receives as a FaultException carrying that text.
- A data service's list replies carry at most ``max_items`` rows (65536
  unless raised, as the C++ hosts' MaxItemsInObjectGraph); a longer one
  fails with RESOURCE_EXHAUSTED.
- Every host also answers ``grpc.health.v1.Health/Check``: SERVING for the
  service name ``""`` while it is open.
- ``close()`` stops listening, ends the sessions of a shutdown host, gives
  calls in progress up to 2 s, removes the socket, then removes the lock
  file while still holding it. A host is a context manager: ``with`` opens
  it (unless it is open already) and closes it.

Service objects are gRPC servicers: a data service or launcher object has
one method per operation it serves, named as in the contract
(``GetAuthors``), taking ``(request, context)`` and returning the reply
message; subclass ``contracts.data_service_pb2_grpc.DataServiceServicer`` or
``contracts.application_launcher_pb2_grpc.ApplicationLauncherServicer`` or
write a plain class. An operation the object lacks answers UNIMPLEMENTED.
The helpers of ``norv_interop.values`` build and read the messages.

The shutdown host, ShutdownHost, is in ``norv_interop.shutdown_host``.

Thread-safety: open() and close() may be called from any thread; the
operations arrive on the host's threads.
"""

import atexit
import concurrent.futures
import os
import queue
import threading
import weakref

import grpc

from . import addressing
from .contracts import (DATA_SERVICE_ENDPOINT, LAUNCHER_ENDPOINT, application_launcher_pb2,
                        data_service_pb2, types_pb2)
from .errors import (AddressAccessDeniedException, AddressAlreadyInUseException,
                     CommunicationException, FaultException)

DEFAULT_MAX_ITEMS = 65536
CLOSE_GRACE_SECONDS = 2.0

_SERVER_OPTIONS = [
    ("grpc.max_receive_message_length", -1),
    ("grpc.max_send_message_length", -1),
    ("grpc.enable_channelz", 0),
]


def fault_text(error, raiser="the service"):
    """The text a fault carries for ``error``: a FaultException's reason,
    another exception's text, or its type when it has no text."""
    if isinstance(error, FaultException):
        return error.reason
    text = str(error)
    return text if text else "%s raised %s" % (raiser, type(error).__name__)


# Open hosts of this process. At exit only their files are removed (by the
# process that bound them, not by a forked child); their threads end with
# the process.
_open_hosts = weakref.WeakSet()


@atexit.register
def _remove_files_at_exit():
    for host in list(_open_hosts):
        host._remove_files_if_mine()


class _DaemonThreadPool(concurrent.futures.Executor):
    """The threads a host's server runs its handlers on: daemon threads,
    made as needed up to ``max_workers``. A ThreadPoolExecutor's threads are
    joined when the program exits, and a shutdown session's handler lasts as
    long as its client: a host left open would hold the exit for ever."""

    def __init__(self, max_workers, name):
        self._max_workers = max_workers
        self._name = name
        self._tasks = queue.SimpleQueue()
        self._idle = threading.Semaphore(0)
        self._mutex = threading.Lock()
        self._workers = 0
        self._shut_down = False

    def submit(self, fn, /, *args, **kwargs):
        future = concurrent.futures.Future()
        with self._mutex:
            if self._shut_down:
                raise RuntimeError("cannot schedule new calls after shutdown")
            self._tasks.put((future, fn, args, kwargs))
            if not self._idle.acquire(timeout=0) and self._workers < self._max_workers:
                self._workers += 1
                threading.Thread(target=self._work, daemon=True,
                                 name="%s-%d" % (self._name, self._workers)).start()
        return future

    def shutdown(self, wait=True, *, cancel_futures=False):
        with self._mutex:
            self._shut_down = True
            for _ in range(self._workers):
                self._tasks.put(None)

    def _work(self):
        while True:
            task = self._tasks.get()
            if task is None:
                return
            future, fn, args, kwargs = task
            del task
            if future.set_running_or_notify_cancel():
                try:
                    future.set_result(fn(*args, **kwargs))
                except BaseException as error:
                    future.set_exception(error)
            del future
            self._idle.release()


# ---- grpc.health.v1.Health/Check, without the grpcio-health-checking
# package: its two messages are small enough to read and write here.

_SERVING, _NOT_SERVING = 1, 2


def _read_varint(data, at):
    value = shift = 0
    while True:
        byte = data[at]
        at += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            return value, at


def _health_service_name(data):
    """The ``service`` field of a HealthCheckRequest; a request that does
    not parse names no service the host knows."""
    try:
        return _parse_health_request(data)
    except (IndexError, ValueError):
        return "(a malformed request)"


def _parse_health_request(data):
    at, name = 0, b""
    while at < len(data):
        key, at = _read_varint(data, at)
        wire_type = key & 7
        if wire_type == 0:
            _, at = _read_varint(data, at)
        elif wire_type == 2:
            size, at = _read_varint(data, at)
            if key >> 3 == 1:
                name = data[at:at + size]
            at += size
        elif wire_type == 1:
            at += 8
        elif wire_type == 5:
            at += 4
        else:
            raise ValueError("wire type %d" % wire_type)
    return name.decode("utf-8", "replace")


def _health_status_bytes(status):
    return bytes((0x08, status))


# ---- Hosts.

class _Host:
    """What every host shares: addressing, the lock, the server's life."""

    endpoint = None  # set by each kind of host

    def __init__(self, pid, name, max_workers):
        addressing.encode_endpoint_name(name)  # refuses the empty name
        self.pid = int(pid)
        self.name = name
        self.site = addressing.site(self.pid, name)
        self.directory = addressing.endpoint_directory()
        self.socket_path = addressing.socket_path(self.pid, name, self.directory)
        self.lock_path = addressing.lock_path(self.pid, name, self.directory)
        self._max_workers = max_workers
        self._lock = addressing.EndpointLock()
        self._dispatch = threading.Lock()  # one contract operation at a time
        self._state = threading.RLock()
        self._server = None
        self._pool = None
        self._serving = False
        self._bound_by = None

    # -- life

    @property
    def is_open(self):
        """Whether the host listens."""
        return self._server is not None

    def open(self):
        """Takes the endpoint and starts listening; returns the host.

        Raises AddressAlreadyInUseException when a live host serves the
        endpoint, AddressAccessDeniedException when the directory or the
        socket path cannot be used.
        """
        with self._state:
            if self._server is not None:
                raise RuntimeError(self.site + ": the host is already open")
            addressing.check_endpoint_directory(self.directory, self.site, create=True)
            addressing.check_socket_path_length(self.socket_path, self.site)
            self._lock.acquire(self.lock_path, self.site)
            server = None
            try:
                self._claim_socket_path()
                pool = _DaemonThreadPool(self._max_workers,
                                         "norv-host-%d-%s" % (self.pid, self.name))
                server = grpc.server(pool, options=_SERVER_OPTIONS)
                self._add_handlers(server)
                server.add_generic_rpc_handlers((self._health_handler(),))
                try:
                    port = server.add_insecure_port(addressing.grpc_target(self.socket_path))
                except RuntimeError:
                    port = 0
                if port == 0:
                    raise AddressAccessDeniedException(
                        "%s: cannot listen on %s" % (self.site, self.socket_path))
                self._starting()
                server.start()
                os.chmod(self.socket_path, 0o600)
            except BaseException:
                if server is not None:
                    server.stop(None)
                    pool.shutdown()
                self._stopped()
                self._lock.release()
                raise
            self._server, self._pool = server, pool
            self._serving = True
            self._bound_by = os.getpid()
            _open_hosts.add(self)
            return self

    def close(self):
        """Stops listening, removes the socket and the lock file. Closing a
        host that is not open does nothing. Raises CommunicationException
        when the socket cannot be removed, after doing everything else."""
        with self._state:
            server = self._server
            if server is None:
                return
            self._serving = False
            self._ending()
            server.stop(CLOSE_GRACE_SECONDS).wait()
            self._pool.shutdown()
            self._stopped()
            failure = None
            try:
                os.unlink(self.socket_path)
            except FileNotFoundError:
                pass
            except OSError as error:
                failure = "%s: cannot remove the socket %s: %s" % (
                    self.site, self.socket_path, os.strerror(error.errno))
            self._lock.release()
            self._server = None
            _open_hosts.discard(self)
        if failure:
            raise CommunicationException(failure)

    def wait(self, timeout=None):
        """Blocks until the host is closed from another thread, or the
        time-out (seconds) passes; returns whether it is closed."""
        server = self._server
        if server is None:
            return True
        return not server.wait_for_termination(timeout)  # True: it timed out

    def __enter__(self):
        if self._server is None:
            self.open()
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __repr__(self):
        return "<%s %s, %s>" % (type(self).__name__, self.site,
                                "open" if self.is_open else "closed")

    # -- inside

    def _claim_socket_path(self):
        # Holding the lock, a socket file left there belongs to a host that
        # died, unless something that ignores the lock listens on it.
        if addressing.probe_socket(self.socket_path) == addressing.LISTENING:
            raise AddressAlreadyInUseException(
                "%s: a server that does not hold the lock file already listens on %s"
                % (self.site, self.socket_path))
        try:
            os.unlink(self.socket_path)
        except FileNotFoundError:
            pass

    def _remove_files_if_mine(self):
        if self._server is not None and self._bound_by == os.getpid():
            for path in (self.socket_path, self.lock_path):
                try:
                    os.unlink(path)
                except OSError:
                    pass

    def _health_handler(self):
        def check(service, context):
            if service:
                context.abort(grpc.StatusCode.NOT_FOUND, "unknown service " + service)
            return _SERVING if self._serving else _NOT_SERVING

        return grpc.method_handlers_generic_handler("grpc.health.v1.Health", {
            "Check": grpc.unary_unary_rpc_method_handler(
                check, request_deserializer=_health_service_name,
                response_serializer=_health_status_bytes),
        })

    def _add_handlers(self, server):
        raise NotImplementedError

    def _starting(self):
        """Before the server starts (under the state lock)."""

    def _ending(self):
        """Before the server stops (under the state lock)."""

    def _stopped(self):
        """After the server stopped, or failed to start."""


def _abort_with_fault(context, error):
    code = context.code()
    if code is None or code == grpc.StatusCode.OK:
        context.abort(grpc.StatusCode.UNKNOWN, fault_text(error))
    # The servicer chose a status itself (context.abort, or a generated
    # base class's UNIMPLEMENTED): keep it.
    context.abort(code, context.details() or b"")


def _count_items(reply):
    """The rows of the collection a reply carries (0 for other replies)."""
    field = reply.DESCRIPTOR.fields_by_name.get("value")
    if field is None or field.message_type is None or not reply.HasField("value"):
        return 0
    collection = reply.value
    for column in ("ids", "values"):  # record lists, then lists of values
        if column in collection.DESCRIPTOR.fields_by_name:
            return len(getattr(collection, column))
    return 0  # a single value, such as a DateTime


class _UnaryHost(_Host):
    """A host of a unary contract: one handler per operation of the servicer."""

    _service = None  # the gRPC service descriptor
    _modules = ()  # where the request and reply classes live

    def __init__(self, servicer, pid, name, max_items, max_workers):
        if servicer is None:
            raise ValueError(addressing.site(pid, name) + ": the service object is None")
        super().__init__(pid, name, max_workers)
        self.servicer = servicer
        self.max_items = int(max_items)
        if self.max_items < 0:
            raise ValueError("%s: max_items is negative (%d)" % (self.site, self.max_items))

    def _message_class(self, descriptor):
        for module in self._modules:
            found = getattr(module, descriptor.name, None)
            if found is not None and found.DESCRIPTOR.full_name == descriptor.full_name:
                return found
        raise LookupError("no generated class for " + descriptor.full_name)

    def _add_handlers(self, server):
        handlers = {}
        for method in self._service.methods:
            behavior = getattr(self.servicer, method.name, None)
            if behavior is None:
                continue
            handlers[method.name] = grpc.unary_unary_rpc_method_handler(
                self._run(method.name, behavior),
                request_deserializer=self._message_class(method.input_type).FromString,
                response_serializer=self._message_class(method.output_type).SerializeToString)
        server.add_generic_rpc_handlers(
            (grpc.method_handlers_generic_handler(self._service.full_name, handlers),))

    def _run(self, operation, behavior):
        def run(request, context):
            try:
                with self._dispatch:
                    reply = behavior(request, context)
            except Exception as error:
                _abort_with_fault(context, error)
            if reply is None:
                context.abort(grpc.StatusCode.UNKNOWN,
                              "the service object's %s returned no reply" % operation)
            count = _count_items(reply)
            if count > self.max_items:
                context.abort(
                    grpc.StatusCode.RESOURCE_EXHAUSTED,
                    "the reply of operation %s carries %d list items, more than the %d that "
                    "the host's MaxItemsInObjectGraph allows" % (operation, count,
                                                                 self.max_items))
            return reply
        return run


class DataServiceHost(_UnaryHost):
    """Serves ``norv.contracts.v1.DataService`` (IDataService) for process
    ``pid`` on the endpoint named by the contract,
    ``Norv.ServiceModel.Contracts.Service.IDataService``, where the C++
    data-service bridge's ``GetDataService(pid)`` calls it.

    ``max_items`` bounds the rows of one reply's list; ``max_workers`` the
    calls served at once (they still reach the servicer one at a time).
    """

    endpoint = DATA_SERVICE_ENDPOINT
    _service = data_service_pb2.DESCRIPTOR.services_by_name["DataService"]
    _modules = (data_service_pb2, types_pb2)

    def __init__(self, servicer, pid, max_items=DEFAULT_MAX_ITEMS, max_workers=8):
        super().__init__(servicer, pid, DATA_SERVICE_ENDPOINT, max_items, max_workers)


class LauncherHost(_UnaryHost):
    """Serves ``norv.contracts.v1.ApplicationLauncher`` (IApplicationLauncher)
    for process ``pid`` on the endpoint ``ApplicationLauncher``, where the
    launcher bridge of that process calls it."""

    endpoint = LAUNCHER_ENDPOINT
    _service = application_launcher_pb2.DESCRIPTOR.services_by_name["ApplicationLauncher"]
    _modules = (application_launcher_pb2, types_pb2)

    def __init__(self, servicer, pid, max_workers=4):
        super().__init__(servicer, pid, LAUNCHER_ENDPOINT, DEFAULT_MAX_ITEMS, max_workers)


def serve_data_service(servicer, pid, **options):
    """Opens a DataServiceHost for ``servicer`` and process ``pid``."""
    return DataServiceHost(servicer, pid, **options).open()


def serve_launcher(servicer, pid, **options):
    """Opens a LauncherHost for ``servicer`` and process ``pid``."""
    return LauncherHost(servicer, pid, **options).open()
