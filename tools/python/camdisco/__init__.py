# SPDX-License-Identifier: MIT
"""camdisco: a client of the camera discovery protocol (UDP port 9333).

Standard library only, Python 3.9 or later, Linux. Attribute and key names are
those of `devsearch --json` (docs/protocol.md, section 12, lists them).

    import camdisco
    for dev in camdisco.search(timeout=2.0):           # every camera on every link
        print(dev.ip, dev.mac, dev.mode, dev.url, dev.interface)
    dev = camdisco.find(camdisco.search(expect=1), mac="00-11-22-33-44-55")
    res = camdisco.modify(dev, user="admin", password="1234", ip="192.168.1.77",
                          mode="static", wait=True)    # confirmed by a search
    camdisco.set_mac(dev, "02-AB-CD-EF-01-23", user="admin", password="1234")

    plan = camdisco.assign(camdisco.search(), "192.168.1.100")    # a site at once
    for row in camdisco.apply(plan, "admin", "1234"):
        print(row.mac, row.result, row.confirm_ms)

    devs = await camdisco.async_search(expect=1)        # the same under asyncio

Datagrams without a network: camdisco.wire (Header, SearchReply, ModifyRequest,
ModifyReply). Errors: camdisco.errors (all derive from CamDiscoError). The
command line: `camdisco --help`.
"""

from .aio import (async_apply, async_modify, async_search, async_set_mac,
                  async_wait_for_move)
from .errors import (CamDiscoError, DeviceNotFound, FieldError, ForeignReply, MalformedDatagram,
                     NoReply, NotConfirmed, PlanError, Rejected)
from .net import (BROADCAST, DEVICE_KEYS, Device, Interface, ModifyResult, check_settings,
                  device_request, find, interfaces, modify, search, set_mac, sort_devices,
                  wait_for_move)
from .siteplan import (PLAN_COLUMNS, ApplyResult, PlanRow, apply, assign, parse_plan,
                       plan_to_csv, read_csv, to_csv)
from .wire import (DEVICE_READ_SIZE, EXT_WORD_SIZE, HEAD_SIZE, MAC_FIELD_SIZE,
                   MODE_DHCP, MODE_NONE, MODE_STATIC, MODIFY_BODY_EXTENDED, MODIFY_BODY_FIRST,
                   MODIFY_REPLY_BODY_SIZE, MSG_MODIFY, MSG_SEARCH, MSG_SEARCH_CUSTOM,
                   MSG_SEARCH_EXT, MSGID_SIZE, PASSWORD_SIZE, PORT, SEARCH_BODY_OFFSETS,
                   SEARCH_BODY_SIZE, SEARCH_REPLY_SIZE, SEARCH_TYPES, SNAPSHOT_PATH, USER_SIZE,
                   Header, Mode, ModifyReply, ModifyRequest, SearchReply, camera_url,
                   decode_search_request, encode_search, mode_code, mode_text, new_msgid,
                   new_seq, normalize_mac, snapshot_url)

__version__ = "2.0.0"

__all__ = [
    "__version__", "PORT", "MSG_SEARCH", "MSG_SEARCH_CUSTOM", "MSG_SEARCH_EXT", "MSG_MODIFY",
    "SEARCH_TYPES", "MODE_DHCP", "MODE_STATIC", "MODE_NONE", "HEAD_SIZE", "EXT_WORD_SIZE",
    "SEARCH_BODY_SIZE", "SEARCH_REPLY_SIZE", "SEARCH_BODY_OFFSETS", "MODIFY_BODY_FIRST",
    "MODIFY_BODY_EXTENDED", "MODIFY_REPLY_BODY_SIZE", "MSGID_SIZE", "USER_SIZE",
    "PASSWORD_SIZE", "MAC_FIELD_SIZE", "DEVICE_READ_SIZE", "SNAPSHOT_PATH", "BROADCAST",
    "DEVICE_KEYS", "PLAN_COLUMNS",
    "CamDiscoError", "MalformedDatagram", "ForeignReply", "FieldError", "PlanError",
    "DeviceNotFound", "NoReply", "NotConfirmed", "Rejected",
    "Mode", "Header", "SearchReply", "ModifyRequest", "ModifyReply", "Interface", "Device",
    "ModifyResult", "PlanRow", "ApplyResult",
    "encode_search", "decode_search_request", "normalize_mac", "mode_code", "mode_text",
    "camera_url", "snapshot_url", "new_msgid", "new_seq",
    "interfaces", "search", "find", "sort_devices", "device_request", "check_settings",
    "modify", "set_mac", "wait_for_move",
    "to_csv", "read_csv", "parse_plan", "plan_to_csv", "assign", "apply",
    "async_search", "async_modify", "async_set_mac", "async_wait_for_move", "async_apply",
]
