"""Client of kiv-services-daemon: asks whether a user's password (or GSS
token) is good.  Standard library only.

    >>> import kivclient
    >>> r = kivclient.authenticate("alice", "secret")
    >>> r.ok, r.code, r.uid, r.groups, r.name

authenticate() returns a Result whenever the daemon answered, whatever the
answer; it raises ClientError (ProtocolError for a malformed answer) when
there is no usable answer, and ValueError for arguments the daemon could not
take.  Every connect, write and read is bounded by `timeout` seconds.
"""

import socket
import struct
from typing import NamedTuple, Tuple, Union

__all__ = [
    "DEFAULT_SOCKET", "AUTH_OK", "AUTH_ERROR", "AUTH_NOT_PRIVILEGED", "AUTH_EXPIRED",
    "AUTH_NOAUTH", "AUTH_UNKNOWN_USER", "AUTH_REQUEST_FAILED", "Result", "ClientError",
    "ProtocolError", "authenticate", "result_name",
]

DEFAULT_SOCKET = "/var/run/kiv-services-daemon_socket"
MAX_NAME = 255
MAX_PASSWORD = 255
MAX_TOKEN = 65536

# Result codes (the first word of every reply), as signed 32-bit values.
AUTH_OK = struct.unpack("=i", struct.pack("=I", 0x92042300))[0]
AUTH_ERROR = 2
AUTH_NOT_PRIVILEGED = 3
AUTH_EXPIRED = 4
AUTH_NOAUTH = 5
AUTH_UNKNOWN_USER = 6
AUTH_REQUEST_FAILED = 7

_NAMES = {
    AUTH_OK: "AUTH_OK", AUTH_ERROR: "AUTH_ERROR", AUTH_NOT_PRIVILEGED: "AUTH_NOT_PRIVILEGED",
    AUTH_EXPIRED: "AUTH_EXPIRED", AUTH_NOAUTH: "AUTH_NOAUTH",
    AUTH_UNKNOWN_USER: "AUTH_UNKNOWN_USER", AUTH_REQUEST_FAILED: "AUTH_REQUEST_FAILED",
}

_HELLO_MAGIC = 0x92042301
_PROTOCOL_VERSION = 3
_REQUEST_PASSWORD = 1
_REQUEST_GSS_TOKEN = 4
_NAME_SCRAMBLE = 0x0A
_SECRET_SCRAMBLE = 0x0B
_MAX_GROUPS = 65536          # Linux's NGROUPS_MAX
_REPLY_FIXED = 20
_MAX_REPLY_BODY = _REPLY_FIXED + 4 * _MAX_GROUPS + MAX_NAME + 1


class Result(NamedTuple):
    """The daemon's answer.  uid, groups and name are set only on AUTH_OK;
    uid is unsigned (4294967295 when the daemon reported none)."""
    code: int
    uid: int = 0xFFFFFFFF
    groups: Tuple[int, ...] = ()
    name: str = ""

    @property
    def ok(self) -> bool:
        return self.code == AUTH_OK


class ClientError(Exception):
    """No usable answer: connect failure, time-out, connection closed."""


class ProtocolError(ClientError):
    """The answer was malformed; it is never taken as a success."""


def result_name(code: int) -> str:
    """Name of a result code, e.g. "AUTH_NOAUTH"; "UNKNOWN(<n>)" for others."""
    return _NAMES.get(code, "UNKNOWN(%d)" % code)


def _as_bytes(value: Union[str, bytes, bytearray], what: str) -> bytes:
    if isinstance(value, str):
        return value.encode("utf-8")
    if isinstance(value, (bytes, bytearray)):
        return bytes(value)
    raise TypeError("%s must be str or bytes" % what)


def _recv_exact(sock: socket.socket, n: int) -> bytes:
    buf = bytearray()
    while len(buf) < n:
        try:
            piece = sock.recv(n - len(buf))
        except socket.timeout:
            raise ClientError("timed out reading (%d of %d bytes)" % (len(buf), n)) from None
        except OSError as e:
            raise ClientError("reading: %s" % e) from None
        if not piece:
            raise ClientError("connection closed after %d of %d bytes" % (len(buf), n))
        buf += piece
    return bytes(buf)


def _read_reply(sock: socket.socket, user: bytes) -> Result:
    code, n = struct.unpack("=ii", _recv_exact(sock, 8))
    if code != AUTH_OK:
        if n != 0:
            raise ProtocolError("malformed result frame: second word is %d" % n)
        return Result(code)
    # Every length is checked before any of it is trusted.
    if n < _REPLY_FIXED + 2 or n > _MAX_REPLY_BODY:
        raise ProtocolError("malformed success reply: announces %d bytes" % n)
    body = _recv_exact(sock, n)
    code2, uid, count, name_len = struct.unpack_from("=iIii", body, 0)
    if code2 != AUTH_OK:
        raise ProtocolError("malformed success reply: inner code %s" % result_name(code2))
    if count < 0 or count > _MAX_GROUPS:
        raise ProtocolError("malformed success reply: group count %d" % count)
    if name_len < 1 or name_len > MAX_NAME:
        raise ProtocolError("malformed success reply: name length %d" % name_len)
    if n != _REPLY_FIXED + 4 * count + name_len + 1:
        raise ProtocolError("malformed success reply: %d bytes announced for %d groups and a "
                            "%d-byte name" % (n, count, name_len))
    if body[-1] != 0:
        raise ProtocolError("malformed success reply: name is not terminated")
    groups = struct.unpack_from("=%dI" % count, body, _REPLY_FIXED)
    name = body[_REPLY_FIXED + 4 * count:-1]
    # A success for someone else is not this request's answer.
    if name != user:
        raise ProtocolError("malformed reply: success for a different user name")
    return Result(code, uid, tuple(groups), name.decode("utf-8", "surrogateescape"))


def authenticate(user: Union[str, bytes], password: Union[str, bytes, None] = None, *,
                 token: Union[bytes, None] = None, socket_path: str = DEFAULT_SOCKET,
                 timeout: float = 10.0) -> Result:
    """Asks the daemon whether `password` (or, with token=, a GSS token) is
    good for `user`.  `timeout` bounds the connect, the write and each read."""
    name = _as_bytes(user, "user")
    if not 1 <= len(name) <= MAX_NAME or b"\0" in name:
        raise ValueError("user name must be 1 to %d bytes without NUL" % MAX_NAME)
    if (password is None) == (token is None):
        raise ValueError("give exactly one of password and token")
    if token is not None:
        secret = bytearray(_as_bytes(token, "token"))
        kind = _REQUEST_GSS_TOKEN
        if len(secret) > MAX_TOKEN:
            raise ValueError("token is longer than %d bytes" % MAX_TOKEN)
    else:
        secret = bytearray(_as_bytes(password, "password"))
        kind = _REQUEST_PASSWORD
        # The daemon reads the password as a C string.
        if len(secret) > MAX_PASSWORD or 0 in secret:
            secret[:] = bytes(len(secret))
            raise ValueError("password must be at most %d bytes without NUL" % MAX_PASSWORD)
    # Scrambled in place, so that no copy of the secret is left unwiped.
    request = bytearray(16 + len(name) + len(secret))
    struct.pack_into("=iiii", request, 0, 0, kind, len(name), len(secret))
    for i, b in enumerate(name):
        request[16 + i] = b ^ _NAME_SCRAMBLE
    base = 16 + len(name)
    for i in range(len(secret)):
        request[base + i] = secret[i] ^ _SECRET_SCRAMBLE
    secret[:] = bytes(len(secret))
    try:
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
            sock.settimeout(timeout)
            try:
                sock.connect(socket_path)
            except socket.timeout:
                raise ClientError("timed out connecting to %s" % socket_path) from None
            except OSError as e:
                raise ClientError("connect %s: %s" % (socket_path, e.strerror or e)) from None
            try:
                sock.sendall(struct.pack("=II", _HELLO_MAGIC, _PROTOCOL_VERSION))
                status, zero = struct.unpack("=ii", _recv_exact(sock, 8))
                if zero != 0:
                    raise ProtocolError("malformed handshake reply: second word is %d" % zero)
                if status == AUTH_NOT_PRIVILEGED:
                    return Result(status)
                if status != AUTH_OK:
                    raise ProtocolError("handshake refused with %s" % result_name(status))
                sock.sendall(request)
            except socket.timeout:
                raise ClientError("timed out sending the request") from None
            except (BrokenPipeError, ConnectionError) as e:
                raise ClientError("sending: %s" % e) from None
            return _read_reply(sock, name)
    finally:
        # Python's own str/bytes objects cannot be wiped; this copy can.
        request[:] = bytes(len(request))
