"""A client application in Python on the installed wire contracts only.

    shutdown_client.py STUB_DIR HOST_PID

STUB_DIR holds the modules generated from /usr/share/norv-interop/proto with
the system protoc and the gRPC Python plugin (norv-interop(7), EXAMPLES):

    protoc -I /usr/share/norv-interop/proto --python_out=STUB_DIR \\
      --grpc_python_out=STUB_DIR \\
      --plugin=protoc-gen-grpc_python=/usr/bin/grpc_python_plugin \\
      norv/contracts/v1/types.proto norv/contracts/v1/shutdown.proto

A host to subscribe to: `norvctl shutdown host`, which prints its process
id. The client opens a session with the shutdown service of HOST_PID,
subscribes under its process id, refuses the first
request, agrees to the next, answers the force, half-closes its side and
reads until the service ends the session. It reports each event on standard
output, as the C++ client does.
"""
import os
import queue
import sys
import threading

sys.path.insert(0, sys.argv[1])
import grpc  # noqa: E402
from norv.contracts.v1 import shutdown_pb2 as pb  # noqa: E402
from norv.contracts.v1 import shutdown_pb2_grpc as rpc  # noqa: E402


def endpoint_directory():
    # The same rule as the component's: NORV_PIPE_DIR, XDG_RUNTIME_DIR/norv,
    # then /tmp/norv-<uid>.
    if os.environ.get("NORV_PIPE_DIR"):
        return os.environ["NORV_PIPE_DIR"]
    if os.environ.get("XDG_RUNTIME_DIR"):
        return os.path.join(os.environ["XDG_RUNTIME_DIR"], "norv")
    return "/tmp/norv-%d" % os.geteuid()


def main():
    host_pid = int(sys.argv[2])
    # A bound on the whole session, so that a lost answer fails the test
    # instead of hanging it.
    watchdog = threading.Timer(60, lambda: os._exit(3))
    watchdog.daemon = True
    watchdog.start()

    outbox = queue.Queue()

    def outgoing():
        while True:
            message = outbox.get()
            if message is None:
                return  # ends our half of the stream
            yield message

    socket = os.path.join(endpoint_directory(), "%d.Shutdown.sock" % host_pid)
    with grpc.insecure_channel("unix:" + socket) as channel:
        session = rpc.ShutdownStub(channel).Session(outgoing())
        outbox.put(pb.ClientMessage(call=pb.OperationCall(
            id=1, subscribe=pb.KeyArgument(key=os.getpid()))))
        requests = 0
        forced = False
        try:
            for message in session:
                kind = message.WhichOneof("kind")
                if kind == "reply":
                    if message.reply.HasField("fault"):
                        print("subscribe failed: " + message.reply.fault.message, file=sys.stderr)
                        return 1
                    if message.reply.id == 1:
                        print("subscribed", flush=True)
                elif kind == "callback":
                    call = message.callback
                    operation = call.WhichOneof("operation")
                    if operation == "request_shutdown":
                        requests += 1
                        agree = requests > 1
                        print("request %d: %s" % (requests, "agree" if agree else "refuse"), flush=True)
                        outbox.put(pb.ClientMessage(
                            callback_reply=pb.CallbackReply(id=call.id, accepted=agree)))
                    elif operation == "force_shutdown":
                        forced = True
                        outbox.put(pb.ClientMessage(callback_reply=pb.CallbackReply(id=call.id)))
                        print("forced", flush=True)
                        outbox.put(None)
        except grpc.RpcError as error:
            # A host that stops ends the sessions it still holds.
            if not forced:
                print("session failed: %s" % error, file=sys.stderr)
                return 1
        return 0 if forced else 1


if __name__ == "__main__":
    sys.exit(main())
