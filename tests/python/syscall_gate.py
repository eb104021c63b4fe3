"""Holding a thread's file opens until a Python thread lets each one go.

A seccomp filter with user notification (Linux 5.5 and later) makes every
`openat` of the thread that installs it, and of the threads that thread
starts afterwards, wait in the kernel until the filter's listener answers.
Here the listener is a Python thread, so whatever waits at the gate goes on
only once that thread gets to run. The filter stays on the thread for its
life: install it on a thread of its own, in a child interpreter."""

import ctypes
import fcntl
import os
import platform
import select
import struct
import threading

# Per machine: the audit architecture the filter checks, and the numbers of
# openat and of seccomp there.
_MACHINES = {"x86_64": (0xC000003E, 257, 317), "aarch64": (0xC00000B7, 56, 277)}

_PR_SET_NO_NEW_PRIVS = 38
_SECCOMP_SET_MODE_FILTER = 1
_SECCOMP_FILTER_FLAG_NEW_LISTENER = 1 << 3
_SECCOMP_RET_ALLOW = 0x7FFF0000
_SECCOMP_RET_USER_NOTIF = 0x7FC00000
_SECCOMP_USER_NOTIF_FLAG_CONTINUE = 1
# _IOWR('!', 0, struct seccomp_notif) and _IOWR('!', 1, struct seccomp_notif_resp).
_NOTIF_RECV, _NOTIF_SIZE = 0xC0502100, 80
_NOTIF_SEND = 0xC0182101
# Classic BPF: load a word of seccomp_data, jump if equal, return.
_LOAD, _JUMP_IF_EQUAL, _RETURN = 0x20, 0x15, 0x06


class _SockFprog(ctypes.Structure):
    _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_void_p)]


class Unavailable(Exception):
    """The system offers no user notification for seccomp filters."""


class OpenGate:
    """A gate on `openat`: `install_on_this_thread()` installs it on the
    calling thread, `serve()` (on another thread) answers each held call by
    letting it proceed, until `stop()`. `held` lists the thread ids whose
    calls waited at the gate."""

    def __init__(self):
        self.held = []
        self._listener = None
        self._ready = threading.Event()
        self._stopped = threading.Event()
        self._libc = ctypes.CDLL(None, use_errno=True)

    def install_on_this_thread(self):
        """Raises Unavailable where the system has no such gate."""
        try:
            arch, openat, seccomp = _MACHINES[platform.machine()]
            program = b"".join(
                struct.pack("HBBI", *instruction)
                for instruction in (
                    (_LOAD, 0, 0, 4),  # seccomp_data.arch
                    (_JUMP_IF_EQUAL, 0, 3, arch),
                    (_LOAD, 0, 0, 0),  # seccomp_data.nr
                    (_JUMP_IF_EQUAL, 0, 1, openat),
                    (_RETURN, 0, 0, _SECCOMP_RET_USER_NOTIF),
                    (_RETURN, 0, 0, _SECCOMP_RET_ALLOW),
                )
            )
            buffer = ctypes.create_string_buffer(program, len(program))
            fprog = _SockFprog(len(program) // 8, ctypes.addressof(buffer))
            if self._libc.prctl(_PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0:
                raise OSError(ctypes.get_errno(), "prctl")
            listener = self._libc.syscall(
                seccomp, _SECCOMP_SET_MODE_FILTER, _SECCOMP_FILTER_FLAG_NEW_LISTENER, ctypes.byref(fprog)
            )
            if listener < 0:
                raise OSError(ctypes.get_errno(), os.strerror(ctypes.get_errno()))
        except (KeyError, OSError) as error:
            self._ready.set()
            raise Unavailable(str(error)) from error
        self._listener = listener
        self._ready.set()

    def serve(self):
        self._ready.wait()
        if self._listener is None:
            return
        poller = select.poll()
        poller.register(self._listener, select.POLLIN)
        # The poll's timeout only lets this loop see stop(); a held call is
        # answered as soon as it arrives.
        while not self._stopped.is_set():
            if not poller.poll(50):
                continue
            notification = bytearray(_NOTIF_SIZE)
            try:
                fcntl.ioctl(self._listener, _NOTIF_RECV, notification, True)
            except OSError:
                continue  # the caller went away (a signal) before it was taken
            call_id, thread_id = struct.unpack_from("QI", notification)
            self.held.append(thread_id)
            try:
                answer = struct.pack("QqiI", call_id, 0, 0, _SECCOMP_USER_NOTIF_FLAG_CONTINUE)
                fcntl.ioctl(self._listener, _NOTIF_SEND, bytearray(answer), True)
            except OSError:
                pass  # the caller went away meanwhile
        os.close(self._listener)

    def stop(self):
        self._stopped.set()
