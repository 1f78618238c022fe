# SPDX-License-Identifier: MIT
"""The errors of camdisco: one base class, and one class per way a call can end badly.

    CamDiscoError
    ├── MalformedDatagram (ValueError)   bytes that are not the datagram they were read as
    │   └── ForeignReply                 a reply to another request (Seq or msgid differ)
    ├── FieldError (ValueError)          a value that does not fit its field
    ├── PlanError (ValueError)           a site plan that cannot be applied as written
    ├── DeviceNotFound (LookupError)     no device, or several, match what was asked for
    ├── NoReply (TimeoutError)           a request went unanswered: not applied
    ├── NotConfirmed (TimeoutError)      answered, but no search showed the change in time
    └── Rejected                         answered with a nonzero AckFlag: not applied
"""

from typing import Any

__all__ = ["CamDiscoError", "MalformedDatagram", "ForeignReply", "FieldError", "PlanError",
           "DeviceNotFound", "NoReply", "NotConfirmed", "Rejected"]


class CamDiscoError(Exception):
    """Base of every error of this package."""


class MalformedDatagram(CamDiscoError, ValueError):
    """Bytes that are not the datagram they were parsed as."""


class ForeignReply(MalformedDatagram):
    """A well-formed reply, but to another request (Seq or msgid differ)."""


class FieldError(CamDiscoError, ValueError):
    """A value that does not fit its field; texts are refused, never cut."""


class PlanError(CamDiscoError, ValueError):
    """A plan (CSV) refused before anything was sent: `line` is the line of the
    file the fault is on (1 is the header), `reason` says what is wrong."""

    def __init__(self, line: int, reason: str) -> None:
        super().__init__("line %d: %s" % (line, reason))
        self.line = line
        self.reason = reason


class DeviceNotFound(CamDiscoError, LookupError):
    """No device, or more than one, matches what was asked for."""


class NoReply(CamDiscoError, TimeoutError):
    """No reply within the timeout, and no search showed the change: refused
    (wrong password, locked, settings unusable, not for it) or lost. Not applied."""

    def __init__(self, message: str, request: Any = None, device: Any = None) -> None:
        super().__init__(message)
        self.request = request      # the ModifyRequest that was sent
        self.device = device        # the Device it was sent to


class NotConfirmed(CamDiscoError, TimeoutError):
    """The device answered, but no search showed it with the new settings within
    the bound. `result` is the ModifyResult of the answered request, when there
    was one."""

    def __init__(self, message: str, result: Any = None) -> None:
        super().__init__(message)
        self.result = result


class Rejected(CamDiscoError):
    """A reply with a nonzero AckFlag: the device did not apply the request."""

    def __init__(self, ack_flag: int, request: Any = None, device: Any = None) -> None:
        super().__init__("the device answered with AckFlag %d" % ack_flag)
        self.ack_flag = ack_flag
        self.request = request
        self.device = device

    @property
    def ack(self) -> int:
        """The earlier name of ack_flag."""
        return self.ack_flag

