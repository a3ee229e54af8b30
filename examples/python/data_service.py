"""A data service in Python, on Debian's python3-grpcio and the installed
wire contracts only.

    data_service.py STUB_DIR

STUB_DIR holds the modules generated from /usr/share/norv-interop/proto with
the system protoc and the gRPC Python plugin (norv-interop(7), EXAMPLES):

    protoc -I /usr/share/norv-interop/proto --python_out=STUB_DIR \\
      --grpc_python_out=STUB_DIR \\
      --plugin=protoc-gen-grpc_python=/usr/bin/grpc_python_plugin \\
      norv/contracts/v1/types.proto norv/contracts/v1/data_service.proto

It serves the data service contract of its own process for a project
"north", keeping the endpoint rules: the socket and the lock file in the
endpoint directory, the lock taken with flock(2) before the socket is bound
and held while serving. It prints "serving: process PID, endpoint NAME" once
it listens and runs until SIGINT or SIGTERM. Ask it with the bridge, for
instance `norvctl data authors --pid PID --project north --user admin`.
"""
import fcntl
import os
import signal
import sys
import threading
from concurrent import futures

sys.path.insert(0, sys.argv[1])
import grpc  # noqa: E402
from norv.contracts.v1 import data_service_pb2 as pb  # noqa: E402
from norv.contracts.v1 import data_service_pb2_grpc as rpc  # noqa: E402
from norv.contracts.v1 import types_pb2 as types  # noqa: E402

ENDPOINT = "Norv.ServiceModel.Contracts.Service.IDataService"


def endpoint_directory():
    """NORV_PIPE_DIR, XDG_RUNTIME_DIR/norv, then /tmp/norv-<uid>; created
    with mode 0700 when missing, refused unless private to this user."""
    if os.environ.get("NORV_PIPE_DIR"):
        path = os.environ["NORV_PIPE_DIR"]
    elif os.environ.get("XDG_RUNTIME_DIR"):
        path = os.path.join(os.environ["XDG_RUNTIME_DIR"], "norv")
    else:
        path = "/tmp/norv-%d" % os.geteuid()
    try:
        os.mkdir(path, 0o700)
    except FileExistsError:
        pass
    info = os.lstat(path)
    if not os.path.isdir(path) or os.path.islink(path) or info.st_uid != os.geteuid() \
            or (info.st_mode & 0o7777) != 0o700:
        raise SystemExit("%s is not a private directory of this user (mode 0700)" % path)
    return path


def take_endpoint(directory, pid, name):
    """Locks <pid>.<name>.lock with flock (never fcntl's record locks, which
    a Norv host does not see) and returns the lock's descriptor and the
    socket path. The name here needs no %XX encoding: only letters and dots."""
    lock_path = os.path.join(directory, "%d.%s.lock" % (pid, name))
    socket_path = os.path.join(directory, "%d.%s.sock" % (pid, name))
    while True:
        fd = os.open(lock_path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(fd)
            raise SystemExit("another live host serves %s" % socket_path)
        locked, current = os.fstat(fd), os.lstat(lock_path)
        if (locked.st_dev, locked.st_ino) == (current.st_dev, current.st_ino):
            break
        os.close(fd)  # a closing host removed the file we locked: again
    if os.path.exists(socket_path):
        os.unlink(socket_path)  # left by a host that died: the lock was free
    return fd, lock_path, socket_path


class DataService(rpc.DataServiceServicer):
    """Project "north" only; any other project is a fault: the status
    UNKNOWN whose message is the fault's text."""

    def _check(self, request, context):
        # A null string is an absent field: read presence, not the default.
        if not request.HasField("project_path") or request.project_path != "north":
            context.abort(grpc.StatusCode.UNKNOWN,
                          "project %s is not served here" % request.project_path)

    def IsProjectAdmin(self, request, context):
        self._check(request, context)
        return pb.BoolReply(value=request.user_name == "admin")

    def GetAuthors(self, request, context):
        self._check(request, context)
        # Three names, the second null: its flag is set and its row holds "".
        return pb.StringListReply(value=types.StringList(
            values=["Amara Okafor", "", "Jon Berg"], nulls=[False, True, False]))

    def GetForecastLife(self, request, context):
        self._check(request, context)
        # A civil date-time without a time zone; every field in the calendar.
        return pb.DateTimeReply(value=types.DateTime(year=2011, month=3, day=7, hour=23,
                                                     minute=59))

    def GetForecastEURList(self, request, context):
        self._check(request, context)
        return pb.DoubleResultSetListReply()  # no value: the null collection


def main():
    pid = os.getpid()
    fd, lock_path, socket_path = take_endpoint(endpoint_directory(), pid, ENDPOINT)
    stop = threading.Event()
    for number in (signal.SIGINT, signal.SIGTERM):
        signal.signal(number, lambda *_: stop.set())
    server = grpc.server(futures.ThreadPoolExecutor(max_workers=4))
    rpc.add_DataServiceServicer_to_server(DataService(), server)
    # gRPC percent-decodes a unix: target: write each % of the path as %25.
    server.add_insecure_port("unix:" + socket_path.replace("%", "%25"))
    server.start()
    print("serving: process %d, endpoint %s" % (pid, ENDPOINT), flush=True)
    stop.wait()
    server.stop(2).wait()
    # The socket (gRPC may have removed it already), then the lock file,
    # while still holding the lock.
    try:
        os.unlink(socket_path)
    except FileNotFoundError:
        pass
    os.unlink(lock_path)
    os.close(fd)
    print("stopped", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
