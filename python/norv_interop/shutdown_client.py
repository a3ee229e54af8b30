"""A client application's subscription to a shutdown service.

The session is one bidirectional gRPC stream to the endpoint ``Shutdown`` of
the host's process id. The client sends operation calls (subscribe,
unsubscribe, ping) and answers the service's callbacks (request and force);
a reader thread delivers replies and queues callbacks, and a callback
thread runs the handlers, so that a handler may itself call subscribe,
unsubscribe or ping on its own session without stalling anything.

Thread-safety: every method may be called from any thread, also from inside
a handler. The handlers run one at a time, on the client's callback thread.
"""

import collections
import queue
import threading

import grpc

from . import addressing
from .contracts import SHUTDOWN_ENDPOINT, shutdown_pb2, shutdown_pb2_grpc
from .errors import (CommunicationException, EndpointNotFoundException, FaultException,
                     TimeoutException)
from .hosting import fault_text

DEFAULT_CONNECT_TIMEOUT = 5.0
DEFAULT_CALL_TIMEOUT = 60.0

_CHANNEL_OPTIONS = [
    ("grpc.max_receive_message_length", -1),
    ("grpc.max_send_message_length", -1),
    # A fresh connection of its own, never a sibling channel's back-off.
    ("grpc.use_local_subchannel_pool", 1),
    ("grpc.enable_channelz", 0),
]


class ShutdownClient:
    """Subscribes under ``key`` to the shutdown service of process ``pid``.

    - ``on_request()`` answers a request to shut down: True to agree, False
      to refuse. Without it the client agrees.
    - ``on_force()`` is told to shut down; what it returns is ignored.
    - ``on_closed()`` is called once when the session ends other than by
      ``close()``: the host closed, or its process died. ``end_reason``
      then says why.

    What a handler raises goes back to the service as a fault, which the
    service counts as agreeing (request) or passes over (force).

    The constructor raises EndpointNotFoundException when nobody serves the
    endpoint, AddressAccessDeniedException for an unusable endpoint
    directory, FaultException when the service refuses the subscription.
    ``close()`` (and leaving a ``with`` block) ends the session without
    unsubscribing: the service keeps the key and skips it as disconnected.
    """

    def __init__(self, pid, key, on_request=None, on_force=None, on_closed=None,
                 connect_timeout=DEFAULT_CONNECT_TIMEOUT, call_timeout=DEFAULT_CALL_TIMEOUT):
        self.pid = int(pid)
        self.key = int(key)
        self.site = addressing.site(self.pid, SHUTDOWN_ENDPOINT)
        self.call_timeout = float(call_timeout)
        self._on_request = on_request
        self._on_force = on_force
        self._on_closed = on_closed
        self._cond = threading.Condition()
        self._open = True
        self._closed_by_client = False
        self.end_reason = None
        self._next_id = 1
        self._pending = {}
        self._callbacks = collections.deque()
        self._outbox = queue.Queue()
        self._threads = []

        where = self.site + ", operation CreateChannel"
        directory = addressing.endpoint_directory()
        path = addressing.socket_path(self.pid, SHUTDOWN_ENDPOINT, directory)
        addressing.require_listener(directory, path, where)
        self._channel = grpc.insecure_channel(addressing.grpc_target(path),
                                              options=_CHANNEL_OPTIONS)
        try:
            grpc.channel_ready_future(self._channel).result(timeout=connect_timeout)
        except grpc.FutureTimeoutError:
            self._channel.close()
            if addressing.probe_socket(path) == addressing.NOBODY:
                raise EndpointNotFoundException(
                    "%s: nobody is listening on %s" % (where, path)) from None
            raise TimeoutException("%s: could not connect to %s within %d ms"
                                   % (where, path, round(connect_timeout * 1000))) from None
        self._stream = shutdown_pb2_grpc.ShutdownStub(self._channel).Session(self._outgoing())
        for target, name in ((self._read_loop, "reader"), (self._callback_loop, "callbacks")):
            thread = threading.Thread(target=target, daemon=True,
                                      name="norv-shutdown-client-%s" % name)
            thread.start()
            self._threads.append(thread)
        try:
            self.subscribe(self.key)
        except BaseException:
            self.close()
            raise

    # -- operations

    def subscribe(self, key):
        """Subscribes (again) under ``key``, replacing whoever held it."""
        call = shutdown_pb2.OperationCall()
        call.subscribe.key = key
        self._invoke(call, "Subscribe")

    def unsubscribe(self, key):
        """Has the service forget ``key``; an unknown key is no error."""
        call = shutdown_pb2.OperationCall()
        call.unsubscribe.key = key
        self._invoke(call, "Unsubscribe")

    def ping(self):
        """A round trip to the service; raises when the session has ended."""
        call = shutdown_pb2.OperationCall()
        call.ping.SetInParent()
        self._invoke(call, "Ping")

    @property
    def is_open(self):
        """Whether the session lives."""
        with self._cond:
            return self._open

    def close(self):
        """Ends the session (without unsubscribing) and joins the client's
        threads. Closing twice does nothing; on_closed is not called."""
        with self._cond:
            if self._open:
                self._open = False
                self._closed_by_client = True
                self.end_reason = "the client closed it"
            self._cond.notify_all()
        self._stream.cancel()
        self._outbox.put(None)
        for thread in self._threads:
            if thread is not threading.current_thread():
                thread.join()
        self._channel.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __repr__(self):
        return "<ShutdownClient %s, key %d, %s>" % (self.site, self.key,
                                                     "open" if self.is_open else "ended")

    # -- inside

    def _invoke(self, call, operation):
        where = "%s, operation %s" % (self.site, operation)
        with self._cond:
            if not self._open:
                raise CommunicationException("%s: the session has ended (%s)"
                                             % (where, self.end_reason))
            call.id = self._next_id
            self._next_id += 1
            self._pending[call.id] = None
        self._outbox.put(shutdown_pb2.ClientMessage(call=call))
        with self._cond:
            self._cond.wait_for(lambda: not self._open or self._pending[call.id] is not None,
                                self.call_timeout)
            reply = self._pending.pop(call.id)
            still_open, reason = self._open, self.end_reason
        if reply is not None:
            if reply.HasField("fault"):
                text = reply.fault.message
                raise FaultException(where + ": the service raised a fault: " + text, text)
            return
        if not still_open:
            raise CommunicationException("%s: the session ended during the call (%s)"
                                         % (where, reason))
        raise TimeoutException("%s: no answer within %d ms"
                               % (where, round(self.call_timeout * 1000)))

    def _outgoing(self):
        while True:
            message = self._outbox.get()
            if message is None:
                return
            yield message

    def _read_loop(self):
        reason = "the service ended it"
        try:
            for message in self._stream:
                with self._cond:
                    kind = message.WhichOneof("kind")
                    if kind == "reply":
                        # Only the first reply to a call counts.
                        if self._pending.get(message.reply.id, False) is None:
                            self._pending[message.reply.id] = message.reply
                    elif kind == "callback":
                        self._callbacks.append(message.callback)
                    self._cond.notify_all()
        except grpc.RpcError as error:
            reason = "the service ended it: %s" % (error.details() or error.code().name)
        with self._cond:
            if self._open:
                self._open = False
                self.end_reason = reason
            self._cond.notify_all()
        self._outbox.put(None)  # ends the stream's writing side

    def _callback_loop(self):
        while True:
            with self._cond:
                self._cond.wait_for(lambda: not self._open or self._callbacks)
                if not self._open:
                    ended_by_service = not self._closed_by_client
                    break
                call = self._callbacks.popleft()
            reply = shutdown_pb2.CallbackReply(id=call.id)
            try:
                operation = call.WhichOneof("operation")
                if operation == "request_shutdown":
                    reply.accepted = bool(self._on_request()) if self._on_request else True
                elif operation == "force_shutdown":
                    if self._on_force:
                        self._on_force()
                else:
                    raise ValueError("the callback names no operation of IShutdownCallback")
            except Exception as error:
                reply.ClearField("accepted")
                reply.fault.message = fault_text(error, "the callback")
            self._outbox.put(shutdown_pb2.ClientMessage(callback_reply=reply))
        if ended_by_service and self._on_closed is not None:
            try:
                self._on_closed()
            except Exception:
                pass  # nobody is left to tell
