# SPDX-License-Identifier: MIT
"""Reads System V objects by their ftok keys; run inside a sandbox host.

    python3 ipcpeek.py sems PATH KEYNO          -> "<val0> <val1>" or "none"
    python3 ipcpeek.py seg PATH KEYNO SIZE OUT  -> copies SIZE bytes of the
                                                   segment to OUT, or prints "none"
    python3 ipcpeek.py count                    -> "<segments> <semaphore sets>"
                                                   in this IPC namespace
    python3 ipcpeek.py hold PATH KEYNO NUM SECS -> takes semaphore NUM (undone at
                                                   exit), prints "held", and keeps it
                                                   until killed or SECS have passed
A missing key file means no reachable object: "none".

Written against the C library directly (ctypes), so the tests' view of the
objects does not share any code with the programs under test.
"""

import ctypes
import sys
import time

GETVAL = 12
SEM_UNDO = 0x1000
SHM_RDONLY = 0o10000


class SemBuf(ctypes.Structure):
    _fields_ = [("sem_num", ctypes.c_ushort), ("sem_op", ctypes.c_short),
                ("sem_flg", ctypes.c_short)]

libc = ctypes.CDLL(None, use_errno=True)
libc.ftok.restype = ctypes.c_int
libc.ftok.argtypes = [ctypes.c_char_p, ctypes.c_int]
libc.shmat.restype = ctypes.c_void_p
libc.shmat.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
libc.shmdt.argtypes = [ctypes.c_void_p]


def count(name):
    with open("/proc/sysvipc/" + name) as f:
        return len(f.read().splitlines()) - 1  # a header line, then one per object


def main(argv):
    if argv[1] == "count":
        print("%d %d" % (count("shm"), count("sem")))
        return 0
    what, path, keyno = argv[1], argv[2], int(argv[3])
    key = libc.ftok(path.encode(), keyno)
    if key == -1:
        print("none")
        return 0
    if what == "sems":
        semid = libc.semget(key, 0, 0)
        if semid < 0:
            print("none")
            return 0
        print("%d %d" % (libc.semctl(semid, 0, GETVAL), libc.semctl(semid, 1, GETVAL)))
        return 0
    if what == "hold":
        semid = libc.semget(key, 0, 0)
        op = SemBuf(int(argv[4]), -1, SEM_UNDO)
        if semid < 0 or libc.semop(semid, ctypes.byref(op), 1) != 0:
            sys.exit("semop failed")
        print("held", flush=True)
        time.sleep(float(argv[5]))
        return 0
    if what == "seg":
        size, out = int(argv[4]), argv[5]
        shmid = libc.shmget(key, 0, 0)
        if shmid < 0:
            print("none")
            return 0
        addr = libc.shmat(shmid, None, SHM_RDONLY)
        if addr is None or addr == ctypes.c_void_p(-1).value:
            sys.exit("shmat failed")
        try:
            data = ctypes.string_at(addr, size)
        finally:
            libc.shmdt(addr)
        with open(out, "wb") as f:
            f.write(data)
        print("ok")
        return 0
    sys.exit("unknown request " + what)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
