"""The Python client against the running daemon (socket at its default path)
and against scripted sockets for answers a daemon should never give.

Run by it_clients_daemon inside its namespace with PYTHONPATH=clients/python
and KIVTEST_USER, KIVTEST_PASSWORD, KIVTEST_UID, KIVTEST_GROUPS set."""
import os
import socket
import struct
import tempfile
import threading
import time
import unittest

import kivclient

USER = os.environ.get("KIVTEST_USER", "alice")
PASSWORD = os.environ.get("KIVTEST_PASSWORD", "")
UID = int(os.environ.get("KIVTEST_UID", "-1"))
GROUPS = [int(g) for g in os.environ.get("KIVTEST_GROUPS", "").split(",") if g]


class FakeDaemon:
    """Answers the handshake, reads the request, then sends `reply` (None:
    stays silent until closed)."""

    def __init__(self, reply):
        self.dir = tempfile.TemporaryDirectory()
        self.path = os.path.join(self.dir.name, "sock")
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(self.path)
        self.listener.listen(1)
        self.listener.settimeout(10)
        self.reply = reply
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        try:
            conn, _ = self.listener.accept()
        except OSError:
            return
        with conn:
            conn.settimeout(10)
            conn.recv(8)
            conn.sendall(struct.pack("=ii", kivclient.AUTH_OK, 0))
            conn.recv(4096)
            if self.reply is not None:
                conn.sendall(self.reply)
            try:
                conn.recv(16)
            except OSError:
                pass

    def close(self):
        self.listener.close()
        self.thread.join(15)
        self.dir.cleanup()


def success(name, groups=(), announced=None, name_len=None):
    body = struct.pack("=iIii", kivclient.AUTH_OK, 1001, len(groups),
                       len(name) if name_len is None else name_len) + b"\0\0\0\0"
    body += b"".join(struct.pack("=I", g) for g in groups) + name + b"\0"
    return struct.pack("=ii", kivclient.AUTH_OK, len(body) if announced is None else announced) + body


class AgainstDaemon(unittest.TestCase):
    def test_good_password_gives_the_record(self):
        r = kivclient.authenticate(USER, PASSWORD, timeout=5)
        self.assertTrue(r.ok, kivclient.result_name(r.code))
        self.assertEqual((r.uid, r.name), (UID, USER))
        self.assertEqual(sorted(r.groups), sorted(GROUPS))

    def test_refusals_carry_the_daemons_code(self):
        r = kivclient.authenticate(USER, b"wrong-" + PASSWORD.encode(), timeout=5)
        self.assertEqual(r.code, kivclient.AUTH_NOAUTH)
        self.assertFalse(r.ok)
        self.assertEqual(kivclient.authenticate("nosuchuser", "x", timeout=5).code,
                         kivclient.AUTH_UNKNOWN_USER)

    def test_arguments_the_daemon_cannot_take_are_not_sent(self):
        for user, pw in (("n" * 256, "x"), ("", "x"), (USER, "p" * 256), (USER, "a\0b")):
            with self.assertRaises(ValueError):
                kivclient.authenticate(user, pw)


class NoUsableAnswer(unittest.TestCase):
    def test_unreachable_daemon(self):
        with self.assertRaises(kivclient.ClientError):
            kivclient.authenticate(USER, PASSWORD, socket_path="/run/kiv-nowhere", timeout=2)

    def test_silent_daemon_times_out(self):
        fake = FakeDaemon(None)
        try:
            start = time.monotonic()
            with self.assertRaises(kivclient.ClientError):
                kivclient.authenticate(USER, PASSWORD, socket_path=fake.path, timeout=0.5)
            self.assertLess(time.monotonic() - start, 5)
        finally:
            fake.close()

    def test_malformed_successes_are_never_successes(self):
        name = USER.encode()
        for reply in (success(name, (5,), announced=20 + 4 + len(name)),       # sizes do not add up
                      success(name, name_len=300),                              # name length out of range
                      success(b"root"),                                         # success for someone else
                      success(name)[:-1] + b"x",                                # no terminator
                      struct.pack("=ii", kivclient.AUTH_OK, 1 << 30)):          # absurd size
            fake = FakeDaemon(reply)
            try:
                with self.assertRaises(kivclient.ProtocolError, msg=reply.hex()):
                    kivclient.authenticate(USER, PASSWORD, socket_path=fake.path, timeout=2)
            finally:
                fake.close()


if __name__ == "__main__":
    unittest.main()
