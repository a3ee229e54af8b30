"""Hosting the duplex shutdown service: the registry of subscribers and the
sessions through which it calls them back.

A ShutdownHost serves ``norv.contracts.v1.Shutdown`` (IShutdown with its
callback contract IShutdownCallback) on the endpoint ``Shutdown`` of a
process id, with the rules of every host (see ``norv_interop.hosting``).
Each client session is one bidirectional stream: the client sends operation
calls and callback replies, the host sends operation replies and callbacks.
The host keeps reading a session while it waits for that client's answer,
so a client that calls in from its handler stalls nothing; operations reach
the service object one at a time, on one dispatcher thread.

Thread-safety: request_stop() and force_stop() may run on any thread, also
while clients subscribe; the service object's operations arrive on the
host's dispatcher thread.
"""

import collections
import queue
import threading

import grpc

from .contracts import SHUTDOWN_ENDPOINT, shutdown_pb2
from .errors import CommunicationException, FaultException, TimeoutException
from .hosting import _Host, fault_text

DEFAULT_CALLBACK_TIMEOUT = 5.0  # seconds, as the C++ component's default


class ShutdownService:
    """The service object of a shutdown host: the registry of subscribers.

    It maps each client's 32-bit key to that client's callback channel (a
    CallbackChannel). ``subscribe``, ``unsubscribe`` and ``ping`` serve the
    contract's operations and may be overridden (what they raise goes back
    to the client as a fault); the two walks are not meant to be.

    The walks visit the registry as it stood when they began (a snapshot),
    call clients one after the other with no lock held, and remove nothing.
    Only connected clients are called. A client that raises, times out or
    goes away during its call counts as agreeing (request) or is passed
    over (force); the walk never stops early.
    """

    def __init__(self):
        self._mutex = threading.Lock()
        self._clients = None  # a dict replaced on every change, never mutated

    def subscribe(self, key, callback):
        """Records ``callback``, the calling client's channel, under ``key``,
        replacing any earlier one (which is neither told nor closed)."""
        with self._mutex:
            clients = dict(self._clients or {})
            clients[key] = callback
            self._clients = clients

    def unsubscribe(self, key):
        """Forgets ``key``; an unknown key is no error."""
        with self._mutex:
            if self._clients is None or key not in self._clients:
                return
            clients = dict(self._clients)
            del clients[key]
            self._clients = clients

    def ping(self):
        """Does nothing: the call simply completes."""

    def subscribers(self, connected_only=False):
        """The keys subscribed now; with ``connected_only``, those whose
        client's session still lives (the ones a walk would call)."""
        with self._mutex:
            clients = self._clients or {}
        return sorted(key for key, channel in clients.items()
                      if not connected_only or channel.is_connected)

    def request_shutdown_all_clients(self):
        """Asks every connected subscriber; False exactly when at least one
        answered False. True with no subscriber."""
        with self._mutex:
            clients = self._clients
        result = True
        for channel in (clients or {}).values():
            if not channel.is_connected:
                continue
            try:
                if not channel.request_shutdown():
                    result = False
            except Exception:
                pass  # a client that fails, times out or goes away agrees
        return result

    def force_shutdown_all_clients(self):
        """Tells every connected subscriber to shut down."""
        with self._mutex:
            clients = self._clients
        for channel in (clients or {}).values():
            if not channel.is_connected:
                continue
            try:
                channel.force_shutdown()
            except Exception:
                pass  # a client that fails, times out or goes away is passed over


_END_OK = object()


class _ServerSession:
    """One client's session on a shutdown host: the messages waiting to be
    sent, the callbacks waiting for their answer, and whether it lives."""

    def __init__(self, host_site, callback_timeout):
        self.site = host_site
        self._callback_timeout = callback_timeout
        self._cond = threading.Condition()
        self._outbox = collections.deque()
        self._pending = {}
        self._next_id = 1
        self._connected = True
        self._end = None  # _END_OK or (StatusCode, details) once ended
        self.channel = CallbackChannel(self)

    @property
    def connected(self):
        with self._cond:
            return self._connected

    def send(self, message):
        with self._cond:
            if self._end is not None:
                return False
            self._outbox.append(message)
            self._cond.notify_all()
            return True

    def end(self, how):
        """Ends the session: nothing more is sent, waiting callbacks fail."""
        with self._cond:
            if self._end is None:
                self._end = how
            self._connected = False
            self._outbox.clear()
            self._cond.notify_all()

    def next_outgoing(self):
        """The next message to send, or how the session ended."""
        with self._cond:
            self._cond.wait_for(lambda: self._end is not None or self._outbox)
            if self._end is not None:
                return self._end
            return self._outbox.popleft()

    def complete(self, reply):
        with self._cond:
            # Its caller gave up, or a peer repeated an id: the first stands.
            if reply.id in self._pending and self._pending[reply.id] is None:
                self._pending[reply.id] = reply
                self._cond.notify_all()

    def callback(self, request, name):
        where = "%s, callback %s" % (self.site, name)
        with self._cond:
            if not self._connected:
                raise CommunicationException(where + ": the client's session has ended")
            call_id = self._next_id
            self._next_id += 1
            call = shutdown_pb2.CallbackCall(id=call_id)
            (call.request_shutdown if request else call.force_shutdown).SetInParent()
            self._pending[call_id] = None
            self._outbox.append(shutdown_pb2.ServerMessage(callback=call))
            self._cond.notify_all()
            self._cond.wait_for(
                lambda: not self._connected or self._pending[call_id] is not None,
                self._callback_timeout)
            reply = self._pending.pop(call_id)
            connected = self._connected
        if reply is not None:
            if reply.HasField("fault"):
                raise FaultException(where + ": the client raised a fault: " +
                                     reply.fault.message, reply.fault.message)
            return reply
        if not connected:
            raise CommunicationException(where +
                                         ": the client's session ended before it answered")
        raise TimeoutException("%s: the client did not answer within %d ms"
                               % (where, round(self._callback_timeout * 1000)))


class CallbackChannel:
    """The way back to one subscribed client, handed to
    ``ShutdownService.subscribe``. Calls wait for the client's answer, at
    most the host's callback time-out."""

    def __init__(self, session):
        self._session = session

    @property
    def is_connected(self):
        """True while the client's session lives."""
        return self._session.connected

    def request_shutdown(self):
        """Asks the client; its answer (bool). Raises FaultException when
        its handler raised, TimeoutException or CommunicationException."""
        return self._session.callback(True, "RequestShutdown").accepted

    def force_shutdown(self):
        """Tells the client to shut down and waits for its handler to return."""
        self._session.callback(False, "ForceShutdown")


class ShutdownHost(_Host):
    """Serves the duplex ``norv.contracts.v1.Shutdown`` (IShutdown with
    callback contract IShutdownCallback) for process ``pid`` on the endpoint
    ``Shutdown``.

    ``service`` is the registry (a new ShutdownService when None), kept
    across close() and open(). Each call out to a client waits at most
    ``callback_timeout`` seconds. ``max_sessions`` bounds the clients
    served at once: each session holds one of the server's threads (and a
    reader thread of its own); a client beyond it waits for a free one.
    """

    endpoint = SHUTDOWN_ENDPOINT

    def __init__(self, pid, service=None, callback_timeout=DEFAULT_CALLBACK_TIMEOUT,
                 max_sessions=64):
        # Two threads of the pool are left for the health service.
        super().__init__(pid, SHUTDOWN_ENDPOINT, max_sessions + 2)
        self.service = ShutdownService() if service is None else service
        self.callback_timeout = float(callback_timeout)
        self._sessions = set()
        self._sessions_mutex = threading.Lock()
        self._closing = False
        self._calls = None
        self._dispatcher = None

    def request_stop(self):
        """Asks every connected subscriber whether it agrees to shut down:
        False exactly when one answered False (see ShutdownService)."""
        return self.service.request_shutdown_all_clients()

    def force_stop(self):
        """Tells every connected subscriber to shut down."""
        self.service.force_shutdown_all_clients()

    # -- the server side of sessions

    def _add_handlers(self, server):
        server.add_generic_rpc_handlers((grpc.method_handlers_generic_handler(
            "norv.contracts.v1.Shutdown", {
                "Session": grpc.stream_stream_rpc_method_handler(
                    self._session,
                    request_deserializer=shutdown_pb2.ClientMessage.FromString,
                    response_serializer=shutdown_pb2.ServerMessage.SerializeToString),
            }),))

    def _starting(self):
        self._closing = False
        self._calls = queue.Queue()
        self._dispatcher = threading.Thread(
            target=self._dispatch_loop, args=(self._calls,), daemon=True,
            name="norv-shutdown-dispatch-%d" % self.pid)
        self._dispatcher.start()

    def _ending(self):
        with self._sessions_mutex:
            self._closing = True
            sessions = list(self._sessions)
        for session in sessions:
            session.end((grpc.StatusCode.UNAVAILABLE, "the host is closing"))

    def _stopped(self):
        if self._dispatcher is not None:
            self._calls.put(None)
            self._dispatcher.join()
            self._dispatcher = None

    def _session(self, requests, context):
        session = _ServerSession(self.site, self.callback_timeout)
        with self._sessions_mutex:
            if self._closing:
                context.abort(grpc.StatusCode.UNAVAILABLE, "the host is closing")
            self._sessions.add(session)
        context.add_callback(
            lambda: session.end((grpc.StatusCode.CANCELLED, "the client went away")))
        calls = self._calls
        threading.Thread(target=self._read_session, args=(session, requests, calls),
                         daemon=True, name="norv-shutdown-session").start()
        try:
            while True:
                item = session.next_outgoing()
                if item is _END_OK:
                    return
                if isinstance(item, tuple):
                    context.abort(*item)
                yield item
        finally:
            session.end(_END_OK)
            with self._sessions_mutex:
                self._sessions.discard(session)

    def _read_session(self, session, requests, calls):
        # Goes on reading while a callback of this session waits for its
        # answer, so a client that calls in from its handler stalls nothing.
        try:
            for message in requests:
                kind = message.WhichOneof("kind")
                if kind == "call":
                    calls.put((session, message.call))
                elif kind == "callback_reply":
                    session.complete(message.callback_reply)
                else:
                    session.end((grpc.StatusCode.INVALID_ARGUMENT,
                                 "a client message carried neither a call nor a callback reply"))
                    return
            session.end(_END_OK)  # the client half-closed: its session is over
        except Exception:
            session.end((grpc.StatusCode.CANCELLED, "the client went away"))

    def _dispatch_loop(self, calls):
        while True:
            task = calls.get()
            if task is None:
                return
            session, call = task
            message = shutdown_pb2.ServerMessage()
            message.reply.id = call.id
            try:
                with self._dispatch:
                    self._run_call(session, call)
            except Exception as error:
                message.reply.fault.message = fault_text(error)
            session.send(message)

    def _run_call(self, session, call):
        operation = call.WhichOneof("operation")
        if operation == "subscribe":
            self.service.subscribe(call.subscribe.key, session.channel)
        elif operation == "unsubscribe":
            self.service.unsubscribe(call.unsubscribe.key)
        elif operation == "ping":
            self.service.ping()
        else:
            raise ValueError("the call names no operation of IShutdown")


def serve_shutdown(pid, service=None, **options):
    """Opens a ShutdownHost for process ``pid``; see ShutdownHost."""
    return ShutdownHost(pid, service, **options).open()
