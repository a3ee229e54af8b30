"""Where an endpoint lives: its directory, socket and lock file.

An endpoint is named by a process id and an endpoint name. It is one Unix
domain socket, ``<dir>/<pid>.<encoded name>.sock``, beside the lock file its
host holds, ``<dir>/<pid>.<encoded name>.lock``. The directory is the first of

1. ``$NORV_PIPE_DIR``, when set and not empty;
2. ``$XDG_RUNTIME_DIR/norv``, when ``XDG_RUNTIME_DIR`` is set and not empty;
3. ``/tmp/norv-<euid>``.

It must be a real directory (not a symbolic link), owned by the effective
user, of mode exactly 0700; a host creates it when it is missing. These are
the C++ component's rules, with its error texts, so that a Python peer and a
C++ peer agree on every endpoint.

Thread-safety: the functions keep no state; an EndpointLock is used by one
thread at a time.
"""

import errno
import fcntl
import os
import socket
import stat
import time

from .errors import (AddressAccessDeniedException, AddressAlreadyInUseException,
                     EndpointNotFoundException)

# sizeof(sockaddr_un.sun_path) - 1 on Linux: the longest path a Unix socket
# address holds with its terminating NUL.
MAX_SOCKET_PATH = 107

_PLAIN = frozenset(b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-")


def endpoint_directory():
    """The directory of every endpoint of this user, as the environment names it."""
    directory = os.environ.get("NORV_PIPE_DIR")
    if directory:
        return directory
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    if runtime:
        return runtime + "/norv"
    return "/tmp/norv-%d" % os.geteuid()


def site(pid, name):
    """``process <pid>, endpoint <name>``: how every error names its endpoint."""
    return "process %d, endpoint %s" % (pid, name)


def encode_endpoint_name(name):
    """The endpoint name as it appears in file names.

    ASCII letters, digits, ``.``, ``_`` and ``-`` stay; every other byte of
    the name's UTF-8 becomes ``%XX`` (upper-case hex), so that no name leaves
    the directory: ``a/b`` becomes ``a%2Fb``. Raises ValueError for the empty
    name.
    """
    if not name:
        raise ValueError("an endpoint name must not be empty")
    return "".join(chr(b) if b in _PLAIN else "%%%02X" % b for b in name.encode("utf-8"))


def socket_path(pid, name, directory=None):
    """The socket of endpoint ``name`` of process ``pid``."""
    if directory is None:
        directory = endpoint_directory()
    return "%s/%d.%s.sock" % (directory, pid, encode_endpoint_name(name))


def lock_path(pid, name, directory=None):
    """The lock file that the host of endpoint ``name`` of ``pid`` holds."""
    if directory is None:
        directory = endpoint_directory()
    return "%s/%d.%s.lock" % (directory, pid, encode_endpoint_name(name))


def grpc_target(path):
    """The gRPC target of a socket path: gRPC percent-decodes ``unix:`` targets."""
    return "unix:" + path.replace("%", "%25")


def check_endpoint_directory(directory, where, create=False):
    """Checks (and with ``create``, makes) the endpoint directory.

    ``where`` opens every message (``process 4242, endpoint Shutdown``).
    Raises AddressAccessDeniedException for a directory that is a symbolic
    link, not a directory, owned by another user or not of mode 0700, and
    EndpointNotFoundException for a missing one when ``create`` is false.
    """
    try:
        st = os.lstat(directory)
    except OSError as error:
        if error.errno != errno.ENOENT:
            raise AddressAccessDeniedException(
                "%s: cannot examine the endpoint directory %s: %s"
                % (where, directory, os.strerror(error.errno))) from None
        if not create:
            raise EndpointNotFoundException(
                "%s: nobody is listening (the endpoint directory %s does not exist)"
                % (where, directory)) from None
        try:
            os.mkdir(directory, 0o700)
        except FileExistsError:
            pass
        except OSError as error:
            raise AddressAccessDeniedException(
                "%s: cannot create the endpoint directory %s: %s"
                % (where, directory, os.strerror(error.errno))) from None
        # A restrictive umask may have taken the owner's bits; set the mode
        # it was made for, only on a real directory of ours (checked below).
        try:
            st = os.lstat(directory)
            if stat.S_ISDIR(st.st_mode) and st.st_uid == os.geteuid():
                os.chmod(directory, 0o700)
            st = os.lstat(directory)
        except OSError as error:
            raise AddressAccessDeniedException(
                "%s: cannot examine the endpoint directory %s: %s"
                % (where, directory, os.strerror(error.errno))) from None
    if stat.S_ISLNK(st.st_mode):
        raise AddressAccessDeniedException(
            "%s: the endpoint directory %s is a symbolic link; refusing to use it"
            % (where, directory))
    if not stat.S_ISDIR(st.st_mode):
        raise AddressAccessDeniedException(
            "%s: the endpoint directory %s is not a directory" % (where, directory))
    if st.st_uid != os.geteuid():
        raise AddressAccessDeniedException(
            "%s: the endpoint directory %s is owned by uid %d, not by uid %d"
            % (where, directory, st.st_uid, os.geteuid()))
    if stat.S_IMODE(st.st_mode) != 0o700:
        raise AddressAccessDeniedException(
            "%s: the endpoint directory %s has mode %04o, expected 0700"
            % (where, directory, stat.S_IMODE(st.st_mode)))


def check_socket_path_length(path, where):
    """Refuses a socket path longer than a Unix socket address holds,
    rather than let it be cut short onto some other endpoint."""
    size = len(os.fsencode(path))
    if size > MAX_SOCKET_PATH:
        raise AddressAccessDeniedException(
            "%s: the socket path %s is %d bytes long, more than the %d a Unix socket "
            "address can hold" % (where, path, size, MAX_SOCKET_PATH))


LISTENING, NOBODY, REFUSED = "listening", "nobody", "refused"


def probe_socket(path):
    """Whether something accepts connections on ``path``: LISTENING, NOBODY
    (no file, or the file of a host that died) or REFUSED (not usable)."""
    if len(os.fsencode(path)) > MAX_SOCKET_PATH:
        return REFUSED
    probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        probe.connect(path)
        return LISTENING
    except BlockingIOError:  # a full backlog: somebody is there
        return LISTENING
    except (FileNotFoundError, ConnectionRefusedError):
        return NOBODY
    except OSError:
        return REFUSED
    finally:
        probe.close()


def require_listener(directory, path, where):
    """What a client checks before a new connection: the directory, the
    path's length, and that somebody listens on the socket."""
    check_endpoint_directory(directory, where, create=False)
    check_socket_path_length(path, where)
    state = probe_socket(path)
    if state == NOBODY:
        raise EndpointNotFoundException("%s: nobody is listening on %s" % (where, path))
    if state == REFUSED:
        raise AddressAccessDeniedException("%s: the socket %s cannot be used" % (where, path))


class EndpointLock:
    """The exclusive ``flock`` a host holds on its endpoint's lock file.

    gRPC's server removes whatever file is at its socket path before it
    binds, so a second server would silently take a live endpoint; the lock
    keeps one live host per endpoint across languages (the C++ hosts take
    the same lock). It must be flock(2): fcntl locks do not see flock locks.
    """

    # A pruner (norvctl endpoints --prune) holds the lock of an endpoint it
    # found stale for a few microseconds: only a lock still held after this
    # grace belongs to another host.
    _GRACE_SECONDS = 0.020

    def __init__(self):
        self._fd = -1
        self._path = None

    @property
    def held(self):
        return self._fd >= 0

    def acquire(self, path, where):
        """Takes the lock or raises AddressAlreadyInUseException (another
        live host holds it) or AddressAccessDeniedException."""
        for _ in range(16):
            try:
                fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC | os.O_NOFOLLOW, 0o600)
            except OSError as error:
                raise AddressAccessDeniedException(
                    "%s: cannot open the lock file %s: %s"
                    % (where, path, os.strerror(error.errno))) from None
            deadline = time.monotonic() + self._GRACE_SECONDS
            while True:
                try:
                    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    break
                except BlockingIOError:
                    if time.monotonic() < deadline:
                        time.sleep(0.001)
                        continue
                    os.close(fd)
                    raise AddressAlreadyInUseException(
                        "%s: another live host already serves this endpoint (it holds the "
                        "lock file %s)" % (where, path)) from None
                except OSError as error:
                    os.close(fd)
                    raise AddressAccessDeniedException(
                        "%s: cannot lock %s: %s"
                        % (where, path, os.strerror(error.errno))) from None
            # The previous owner may have unlinked the file while we were
            # locking it: the lock counts only on the file still at the path.
            try:
                held, named = os.fstat(fd), os.lstat(path)
                if (held.st_dev, held.st_ino) == (named.st_dev, named.st_ino):
                    self._fd, self._path = fd, path
                    return
            except OSError:
                pass
            os.close(fd)
        raise AddressAlreadyInUseException(
            "%s: the lock file %s keeps being replaced by another host" % (where, path))

    def release(self):
        """Removes the lock file while still holding it, then lets it go: a
        host that opened the old file meanwhile sees the inode change."""
        if self._fd < 0:
            return
        try:
            os.unlink(self._path)
        except OSError:
            pass
        os.close(self._fd)
        self._fd = -1
