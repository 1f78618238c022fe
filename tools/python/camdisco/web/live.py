# SPDX-License-Identifier: MIT
"""The live table of the page: searches repeated every few seconds while a page
asks for the table, and what each camera did in them.

    table = LiveTable(lambda: camdisco.search(timeout=2.0), interval=3.0)
    table.touch()              # a page is open: rounds go on for IDLE_AFTER_S
    table.snapshot()           # round, cameras (new, missed, silent) as the page shows them

A camera is known by its MAC text (else its address), so one that moved keeps
its row. It is new for NEW_ROUNDS rounds after the first round it answered in
(cameras of the first round are not new), and silent once it missed
SILENT_AFTER rounds in a row; a silent camera keeps its row, greyed, until it
answers again.
"""

import threading
import time
from dataclasses import dataclass
from typing import Callable, Dict, List, Optional

from ..errors import CamDiscoError, DeviceNotFound
from ..net import Device, sort_devices
from ..wire import normalize_mac

NEW_ROUNDS = 3
SILENT_AFTER = 3
# The rounds stop when no page has asked for the table this long.
IDLE_AFTER_S = 15.0


@dataclass
class Entry:
    device: Device
    first_round: int
    last_round: int          # the last round it answered in


class LiveTable:
    """Cameras seen by repeated searches; safe to use from several threads."""

    def __init__(self, search: Callable[[], List[Device]], interval: float = 3.0) -> None:
        self._search = search
        self.interval = interval
        self._lock = threading.Lock()
        self._entries: Dict[str, Entry] = {}
        self.rounds = 0
        self.searching = False
        self.error = ""
        self._active_until = 0.0
        self._wake = threading.Event()
        self._stop = threading.Event()
        self._thread: Optional[threading.Thread] = None

    # ------------------------------------------------------------ rounds

    def run_round(self) -> None:
        """One search; every camera that answered is updated, the others miss it."""
        with self._lock:
            self.searching = True
        try:
            found = self._search()
            error = ""
        except (CamDiscoError, OSError) as exc:
            found, error = [], "the search failed: %s" % exc
        with self._lock:
            self.searching = False
            self.error = error
            if error:
                return              # a round that could not search counts for nobody
            self.rounds += 1
            for dev in found:
                entry = self._entries.get(dev.key)
                if entry is None:
                    self._entries[dev.key] = Entry(dev, self.rounds, self.rounds)
                else:
                    entry.device, entry.last_round = dev, self.rounds

    def update(self, dev: Device) -> None:
        """A device as a confirming search saw it (after a change)."""
        with self._lock:
            entry = self._entries.get(dev.key)
            if entry is None:
                self._entries[dev.key] = Entry(dev, max(self.rounds, 1), self.rounds)
            else:
                entry.device = dev

    def touch(self) -> None:
        """A page asked for the table: rounds go on (or start again)."""
        with self._lock:
            self._active_until = time.monotonic() + IDLE_AFTER_S
        self._wake.set()

    def start(self) -> None:
        if self._thread is None:
            self._thread = threading.Thread(target=self._run, name="camdisco-search",
                                            daemon=True)
            self._thread.start()

    def stop(self) -> None:
        self._stop.set()
        self._wake.set()
        if self._thread is not None:
            self._thread.join(10)

    def _run(self) -> None:
        while not self._stop.is_set():
            with self._lock:
                idle = time.monotonic() >= self._active_until
            if idle:
                self._wake.wait()
                self._wake.clear()
                continue
            began = time.monotonic()
            self.run_round()
            self._stop.wait(max(0.0, began + self.interval - time.monotonic()))

    # ------------------------------------------------------------ reading

    def snapshot(self) -> Dict[str, object]:
        """The table as GET /api/cameras answers it."""
        with self._lock:
            cams = []
            for dev in sort_devices(e.device for e in self._entries.values()):
                e = self._entries[dev.key]
                missed = self.rounds - e.last_round
                cams.append({"device": e.device.to_json(),
                             "new": e.first_round > 1 and
                             self.rounds - e.first_round < NEW_ROUNDS,
                             "missed": missed, "silent": missed >= SILENT_AFTER})
            return {"round": self.rounds, "searching": self.searching, "error": self.error,
                    "interval": self.interval, "cameras": cams}

    def devices(self) -> List[Device]:
        """The cameras that are not silent, sorted by address."""
        with self._lock:
            return sort_devices(e.device for e in self._entries.values()
                                if self.rounds - e.last_round < SILENT_AFTER)

    def find(self, mac: str) -> Device:
        """The camera with this MAC, silent or not."""
        want = normalize_mac(mac)
        with self._lock:
            for e in self._entries.values():
                try:
                    if normalize_mac(e.device.mac) == want:
                        return e.device
                except CamDiscoError:
                    continue
        raise DeviceNotFound("no camera %s in the table" % want)
