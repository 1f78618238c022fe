# SPDX-License-Identifier: MIT
"""camdisco against byte arrays written by hand from the field tables of the
protocol (offsets, widths, little-endian), not from the module's own formats,
and against the datagrams captured from the real daemon (tests/lib/datagrams.txt,
which must agree with docs/protocol.md); then the exchange loops against a fake
device on loopback (no root)."""

import asyncio
import csv
import io
import os
import socket
import threading
import unittest

import camdisco
import datagrams
from camdisco import (FieldError, ForeignReply, Header, MalformedDatagram, ModifyReply,
                      ModifyRequest, SearchReply)


def put(buf, offset, raw):
    buf[offset:offset + len(raw)] = raw


def le(value, size):
    return value.to_bytes(size, "little")


# Header: Version 1 and ExtSize 5 in byte 0 (1 | 5 << 2 = 0x15), Reserved 0x5A,
# AckFlag 0x0102, MsgType 11, MsgSubType 0x0304, MsgSize 0, Seq 0xA1B2C3D4.
SEARCH_REQ = bytes([0x15, 0x5A, 0x02, 0x01, 0x0B, 0x00, 0x04, 0x03,
                    0x00, 0x00, 0x00, 0x00, 0xD4, 0xC3, 0xB2, 0xA1])


def search_reply_bytes():
    """A 464-byte reply, every field put at its offset in the datagram."""
    buf = bytearray(464)
    put(buf, 0, SEARCH_REQ[:8] + le(448, 4) + SEARCH_REQ[12:])
    put(buf, 16 + 0, b"10.1.0.1")
    put(buf, 16 + 16, b"H" * 36)                     # fills HostName: no terminator
    put(buf, 16 + 52, b"255.255.255.0")
    put(buf, 16 + 68, b"0.0.0.0")
    put(buf, 16 + 84, b"8.8.8.8")
    put(buf, 16 + 100, b"0.0.0.0")
    put(buf, 16 + 116, bytes([0x55, 0, 0, 0]))       # Port 85
    put(buf, 16 + 120, le(8080, 4))
    put(buf, 16 + 124, le(0xFFFFFFFF, 4))            # no mode reported
    put(buf, 16 + 128, b"IPC-Type-X")
    put(buf, 16 + 156, le(0x5658040200080000, 8))    # DevTypeULL at 156 (packed to 4)
    put(buf, 16 + 164, b"V1.2.3")
    put(buf, 16 + 200, le(1010, 4))
    put(buf, 16 + 204, b"front door")
    put(buf, 16 + 240, b"00-11-22-33-44-55")
    put(buf, 16 + 276, le(4, 4))
    buf[16 + 280] = 1
    put(buf, 16 + 282, b"P" * 32)
    return bytes(buf)


class HeaderTest(unittest.TestCase):
    def test_fields_and_bit_fields_of_byte_zero(self):
        head = Header.unpack(SEARCH_REQ)
        self.assertEqual(head, Header(msg_type=11, msg_size=0, seq=0xA1B2C3D4, ack_flag=0x0102,
                                      sub_type=0x0304, version=1, ext_size=5, reserved=0x5A))
        self.assertEqual(head.pack(), SEARCH_REQ)
        # the earlier name of ack_flag still reads and writes it
        self.assertEqual((head.ack, Header(11, ack=7).ack_flag, head.replace(ack=9).ack_flag),
                         (0x0102, 7, 9))
        self.assertEqual(Header(12, version=3, ext_size=63).pack()[0], 0xFF)

    def test_values_that_do_not_fit_are_refused(self):
        for bad in (dict(version=4), dict(ext_size=64), dict(seq=1 << 32), dict(ack_flag=-1),
                    dict(msg_size="x")):
            with self.subTest(bad):
                with self.assertRaises(FieldError):
                    Header(11, **bad).pack()
        with self.assertRaises(MalformedDatagram):
            Header.unpack(SEARCH_REQ[:15])

    def test_search_request(self):
        self.assertEqual(camdisco.encode_search(seq=0x01020304),
                         bytes([0, 0, 0, 0, 11, 0, 0, 0, 0, 0, 0, 0, 4, 3, 2, 1]))
        self.assertEqual(camdisco.encode_search(msg_type=620)[4:6], bytes([0x6C, 0x02]))
        self.assertEqual(camdisco.decode_search_request(SEARCH_REQ + b"tail").seq, 0xA1B2C3D4)
        with self.assertRaises(FieldError):
            camdisco.encode_search(msg_type=12)
        # a device's reply (MsgSize 448) and other types are no search request
        for data in (search_reply_bytes(), Header(13).pack()):
            with self.assertRaises(MalformedDatagram):
                camdisco.decode_search_request(data)


class SearchReplyTest(unittest.TestCase):
    def test_every_field_at_its_offset(self):
        data = search_reply_bytes()
        rep = SearchReply.unpack(data)
        self.assertEqual(rep.header.ext_size, 5, "the body is at 16 whatever ExtSize says")
        self.assertEqual((rep.ip, rep.netmask, rep.gateway, rep.dns1, rep.dns2),
                         ("10.1.0.1", "255.255.255.0", "0.0.0.0", "8.8.8.8", "0.0.0.0"))
        self.assertEqual(rep.hostname, "H" * 36)
        self.assertEqual((rep.media_port, rep.web_port), (85, 8080))
        self.assertEqual((rep.mode, rep.mode_code), ("none", camdisco.MODE_NONE))
        self.assertEqual((rep.device_type, rep.device_type_code), ("IPC-Type-X",
                                                                   0x5658040200080000))
        self.assertEqual((rep.version, rep.device_id, rep.name),
                         ("V1.2.3", 1010, "front door"))
        self.assertEqual((rep.url, rep.snapshot_url),
                         ("http://10.1.0.1:8080/", "http://10.1.0.1:8080/cgi-bin/stillcgi"))
        self.assertEqual((rep.mac, rep.channels, rep.record_version, rep.net_interface),
                         ("00-11-22-33-44-55", 4, 1, 0))
        self.assertEqual(rep.p2p_id, "P" * 32)
        self.assertEqual(rep.reserved, bytes(128))
        self.assertEqual(rep.fields["MacAddr"], b"00-11-22-33-44-55".ljust(36, b"\0"))
        self.assertEqual(rep.fields["HostName"], b"H" * 36)
        self.assertEqual(rep.pack(), data, "round trip")

    def test_malformed_replies_are_refused(self):
        data = search_reply_bytes()
        cases = {
            "one byte short": data[:463],
            "one byte long": data + b"\0",
            "a request": data[:16],
            "MsgSize of a request": data[:8] + le(0, 4) + data[12:],
            "modification type": data[:4] + le(12, 2) + data[6:],
        }
        for name, bad in cases.items():
            with self.subTest(name):
                with self.assertRaises(MalformedDatagram):
                    SearchReply.unpack(bad)

    def test_texts_longer_than_their_field_are_refused_when_built(self):
        rep = SearchReply.unpack(search_reply_bytes())
        from dataclasses import replace
        self.assertEqual(len(replace(rep, device_type="T" * 28).pack()), 464)
        with self.assertRaises(FieldError):
            replace(rep, device_type="T" * 29).pack()


def modify_body_bytes(set_mac=0):
    """The 116-byte extended body, field by field."""
    body = bytearray(116)
    put(body, 0, b"msgid-0123456789")
    put(body, 16, b"admin")
    put(body, 26, b"12345678901234")                  # fills pwd: no terminator
    put(body, 40, bytes([192, 168, 1, 10]))           # cip, first octet first
    put(body, 44, bytes([192, 168, 1, 77]))
    put(body, 48, bytes([255, 255, 255, 0]))
    put(body, 52, bytes([192, 168, 1, 1]))
    put(body, 56, bytes([8, 8, 4, 4]))
    put(body, 60, bytes([0, 0, 0, 0]))
    put(body, 64, le(85, 2))
    put(body, 66, le(8080, 2))
    body[68], body[69], body[70] = 0, 1, set_mac      # wMode DHCP, wNewFlag, ZizodSetMac
    put(body, 72, le(0x5658040200080000, 8))
    put(body, 80, b"00-11-22-33-44-55")
    return bytes(body)


EXPECTED_REQ = ModifyRequest(
    user="admin", password="12345678901234", target="192.168.1.10", ip="192.168.1.77",
    netmask="255.255.255.0", gateway="192.168.1.1", dns1="8.8.4.4", dns2="0.0.0.0",
    media_port=85, web_port=8080, mode=0, mode_valid=True, set_mac=False, extended=True,
    device_type_code=0x5658040200080000, mac="00-11-22-33-44-55", msgid=b"msgid-0123456789")


class ModifyRequestTest(unittest.TestCase):
    def test_extended_form(self):
        data = bytes([0, 0, 0, 0, 12, 0, 0, 0]) + le(116, 4) + le(5, 4) + modify_body_bytes()
        head, req = ModifyRequest.unpack(data)
        self.assertEqual(req, EXPECTED_REQ)
        self.assertEqual(head.seq, 5)
        self.assertEqual(EXPECTED_REQ.pack(seq=5), data)
        self.assertEqual(len(data), 132)

    def test_first_form_is_the_first_88_bytes(self):
        from dataclasses import replace
        first = replace(EXPECTED_REQ, extended=False, mac="", device_type_code=0)
        data = first.pack(seq=5)
        self.assertEqual(data, bytes([0, 0, 0, 0, 12, 0, 0, 0]) + le(72, 4) + le(5, 4) +
                         modify_body_bytes()[:72])
        self.assertEqual(ModifyRequest.unpack(data)[1], first)

    def test_forms_are_told_apart_by_msgsize_alone(self):
        body = modify_body_bytes()
        as_first = bytes([0, 0, 0, 0, 12, 0, 0, 0]) + le(72, 4) + le(0, 4) + body
        self.assertFalse(ModifyRequest.unpack(as_first)[1].extended, "132 bytes, MsgSize 72")
        as_ext = as_first[:8] + le(200, 4) + as_first[12:]
        self.assertTrue(ModifyRequest.unpack(as_ext)[1].extended, "any MsgSize above 72")
        with self.assertRaises(MalformedDatagram):
            ModifyRequest.unpack(as_ext[:131])   # says extended, carries less
        with self.assertRaises(MalformedDatagram):
            ModifyRequest.unpack(as_first[:87])

    def test_mac_set_flag_and_header_fields_kept(self):
        from dataclasses import replace
        req = replace(EXPECTED_REQ, set_mac=True)
        head = Header(99, msg_size=1, seq=9, ack=0x0102, sub_type=0x0304, version=1,
                      ext_size=3, reserved=0x5A)
        data = req.pack(header=head)
        self.assertEqual(data[16 + 70], 1)
        self.assertEqual(Header.unpack(data), head.replace(msg_type=12, msg_size=116))

    def test_values_that_do_not_fit_are_refused_never_cut(self):
        from dataclasses import replace
        cases = {
            "user of 11 bytes": dict(user="u" * 11),
            "password of 15 bytes": dict(password="p" * 15),
            "MAC text of 37 bytes": dict(mac="m" * 37),
            "msgid of 17 bytes": dict(msgid=b"m" * 17),
            "address": dict(ip="192.168.1.256"),
            "port": dict(media_port=65536),
        }
        for name, change in cases.items():
            with self.subTest(name):
                with self.assertRaises(FieldError):
                    replace(EXPECTED_REQ, **change).pack()
        # a user name filling its field exactly is fine
        data = replace(EXPECTED_REQ, user="u" * 10).pack()
        self.assertEqual(data[32:42], b"u" * 10)


class ModifyReplyTest(unittest.TestCase):
    def test_body_after_extsize_words(self):
        data = bytes([1 | 3 << 2, 0x5A, 0, 0, 12, 0, 4, 3]) + le(16, 4) + le(5, 4) + bytes(12)
        data += b"msgid-0123456789"
        self.assertEqual(len(data), 44)
        rep = ModifyReply.unpack(data, seq=5, msgid=b"msgid-0123456789")
        self.assertEqual((rep.header.ack, rep.header.ext_size, rep.msgid),
                         (0, 3, b"msgid-0123456789"))
        self.assertEqual(rep.pack(), data)

    def test_malformed_and_foreign_replies(self):
        good = bytes([0, 0, 0, 0, 12, 0, 0, 0]) + le(16, 4) + le(5, 4) + b"msgid-0123456789"
        self.assertEqual(ModifyReply.unpack(good).msgid, b"msgid-0123456789")
        for name, bad in {"short": good[:31], "long": good + b"\0",
                          "ExtSize 1 without its word": bytes([4]) + good[1:],
                          "MsgSize 72": good[:8] + le(72, 4) + good[12:],
                          "search type": good[:4] + le(11, 2) + good[6:]}.items():
            with self.subTest(name):
                with self.assertRaises(MalformedDatagram):
                    ModifyReply.unpack(bad)
        with self.assertRaises(ForeignReply):
            ModifyReply.unpack(good, seq=6)
        with self.assertRaises(ForeignReply):
            ModifyReply.unpack(good, msgid=b"msgid-0123456788")


class CapturedDatagramsTest(unittest.TestCase):
    """The captured exchange (the client at 192.168.1.50, the camera at
    192.168.1.10, account admin/1234) read by the package, field by field."""

    @classmethod
    def setUpClass(cls):
        cls.samples = {name: s.data for name, s in datagrams.load().items()}

    def test_the_docs_show_the_sample_file(self):
        with open(os.path.join(os.environ["CAM_SOURCE_DIR"], "docs", "protocol.md")) as f:
            text = f.read()
        section = text[text.index("## 10. Captured datagrams"):text.index("## 11. ")]
        self.assertEqual(datagrams.docs_dumps(section), list(self.samples.values()))

    def test_search(self):
        self.assertEqual(camdisco.encode_search(seq=0x101), self.samples["search_request"])
        rep = SearchReply.unpack(self.samples["search_reply"])
        self.assertEqual((rep.header.seq, rep.ip, rep.netmask, rep.gateway, rep.dns1, rep.dns2),
                         (0x101, "192.168.1.10", "255.255.255.0", "0.0.0.0", "0.0.0.0",
                          "0.0.0.0"))
        self.assertEqual((rep.media_port, rep.web_port, rep.mode, rep.device_type_code,
                          rep.device_id, rep.mac, rep.channels, rep.record_version),
                         (85, 85, "static", 0x5658040200080000, 1010, "00-11-22-33-44-55", 4,
                          1))
        self.assertEqual((rep.hostname, rep.device_type, rep.version, rep.name, rep.p2p_id),
                         ("",) * 5)
        self.assertEqual(rep.pack(), self.samples["search_reply"])

    def test_modifications_and_their_replies(self):
        # name: (first form, password, gateway, first DNS server, MAC set, MAC text)
        cases = {"modify_first": (True, "1234", "192.168.1.254", "0.0.0.0", False, ""),
                 "modify_extended": (False, "1234", "192.168.1.254", "192.168.1.53", False,
                                     "00-11-22-33-44-55"),
                 "mac_set": (False, "1234", "192.168.1.254", "192.168.1.53", True,
                             "02-11-22-33-44-55"),
                 "wrong_password": (False, "4321", "192.168.1.2", "0.0.0.0", False,
                                    "02-11-22-33-44-55")}
        for name, (first, password, gateway, dns1, set_mac, mac) in cases.items():
            with self.subTest(name):
                data = self.samples[name + "_request"]
                head, req = ModifyRequest.unpack(data)
                self.assertEqual((req.extended, req.user, req.password, req.target, req.ip,
                                  req.netmask, req.gateway, req.dns1, req.dns2),
                                 (not first, "admin", password, "192.168.1.10", "192.168.1.10",
                                  "255.255.255.0", gateway, dns1, "0.0.0.0"))
                self.assertEqual((req.media_port, req.web_port, req.mode, req.mode_valid,
                                  req.set_mac, req.mac),
                                 (85, 85, camdisco.MODE_STATIC, True, set_mac, mac))
                self.assertEqual(req.msgid, b"PY%014x" % head.seq)
                self.assertEqual(req.pack(header=head), data)
                reply = self.samples.get(name + "_reply")
                self.assertEqual(reply is None, password != "1234")
                if reply is not None:
                    rep = ModifyReply.unpack(reply, seq=head.seq, msgid=req.msgid)
                    self.assertEqual((rep.header.ack, rep.header.msg_size), (0, 16))


class MacTextTest(unittest.TestCase):
    def test_normalize_mac(self):
        self.assertEqual(camdisco.normalize_mac("02:ab:cd:ef:01:23"), "02-AB-CD-EF-01-23")
        self.assertEqual(camdisco.normalize_mac("02-AB-cd-EF-01-23"), "02-AB-CD-EF-01-23")
        for bad in ("02:ab:cd:ef:01", "02:ab-cd:ef:01:23", "02:ab:cd:ef:01:2g", ""):
            with self.subTest(bad):
                with self.assertRaises(FieldError):
                    camdisco.normalize_mac(bad)


def device(ip, mac, name="cam", mode="static", **kw):
    values = dict(header=Header(11), ip=ip, netmask="255.255.255.0", gateway="10.9.0.254",
                  dns1="0.0.0.0", dns2="0.0.0.0", mac=mac, mode=mode, media_port=85,
                  web_port=80, name=name)
    values.update(kw)
    return camdisco.Device(**values)


class CsvAndPlanTest(unittest.TestCase):
    DEVS = [device("10.9.0.2", "02-00-00-00-00-02", name='hall, "north"', arrival=1),
            device("10.9.0.3", "02-00-00-00-00-03", name="yard\x1b[2Jx", arrival=0,
                   web_port=0)]

    def test_search_csv_is_rfc4180_with_the_json_keys(self):
        text = camdisco.to_csv(self.DEVS)
        self.assertTrue(text.endswith("\r\n"))
        self.assertEqual(3, text.count("\r\n"), "one line per device, whatever its texts")
        rows = list(csv.reader(io.StringIO(text, newline="")))   # an independent reader
        self.assertEqual(list(camdisco.DEVICE_KEYS), rows[0])
        self.assertEqual(list(rows[0]), list(self.DEVS[0].to_json()))
        got = dict(zip(rows[0], rows[1]))
        self.assertEqual((got["name"], got["mode"], got["web_port"], got["url"],
                          got["snapshot_url"], got["device_type_code"]),
                         ('hall, "north"', "static", "80", "http://10.9.0.2:80/",
                          "http://10.9.0.2:80/cgi-bin/stillcgi", "0x0000000000000000"))
        got = dict(zip(rows[0], rows[2]))
        self.assertEqual(("yard?[2Jx", "", ""), (got["name"], got["url"], got["snapshot_url"]))

    def test_an_edited_search_csv_is_a_plan(self):
        text = camdisco.to_csv(self.DEVS).replace("10.9.0.3,", "10.9.0.30,", 1)
        plan = camdisco.parse_plan("\ufeff" + text)
        self.assertEqual([(r.line, r.mac, r.ip, r.netmask, r.mode) for r in plan],
                         [(2, "02-00-00-00-00-02", "10.9.0.2", "255.255.255.0", "static"),
                          (3, "02-00-00-00-00-03", "10.9.0.30", "255.255.255.0", "static")])
        plan = camdisco.parse_plan("mode,mac,ip\n,02:00:00:00:00:0a,\ndhcp,02-00-00-00-00-0b,"
                                   "10.9.0.9\n")
        self.assertEqual([(r.mac, r.ip, r.mode) for r in plan],
                         [("02-00-00-00-00-0A", None, None), ("02-00-00-00-00-0B", "10.9.0.9",
                                                              "dhcp")])
        rows = camdisco.assign(self.DEVS[:1], "10.9.0.2")
        self.assertEqual(camdisco.parse_plan(camdisco.plan_to_csv(rows)), rows)

    def test_malformed_plans_are_refused_with_line_and_reason(self):
        head = "mac,ip,netmask\n"
        good = "02-00-00-00-00-02,10.9.0.20,255.255.255.0\n"
        cases = {
            "mac,ip,port\n": (1, 'unknown column "port"'),
            "ip,netmask\n10.9.0.2,255.0.0.0\n": (1, 'no "mac" column'),
            "mac,ip,mac\n": (1, 'column "mac" appears twice'),
            head: (1, "no rows"),
            head + good + "02-00-00-00-00-03,10.9.0.256,\n": (3, "ip: not an IPv4"),
            head + good + "02-00-00-00-00-03,10.9.0.021,\n": (3, "ip: not an IPv4"),
            head + good + "02-00-00-00-00-03,10.9.0.21,255.0.255.0\n": (3, "contiguous"),
            head + good + "02-00-00-00-00-03,224.0.0.1,\n": (3, "unicast"),
            head + good + "02:00:00:00:00:02,10.9.0.21,\n": (3, "also on line 2"),
            head + good + "\n02-00-00-00-00-03,10.9.0.20,\n": (4, "ip 10.9.0.20 is also on "
                                                                "line 2"),
            head + good + "02-00-00-00-00-03,10.9.0.21\n": (3, "2 cells, the header has 3"),
            head + "02-00-00-00-00-0g,10.9.0.20,\n": (2, "mac: not a MAC"),
            head + '"02-00-00-00-00-02,10.9.0.20,\n': (2, "not closed"),
            head + '02-00-00-00-00-02,10.9."0.20,\n': (2, "quote inside an unquoted cell"),
            head + "02-00-00-00-00-02,10.9.0.20\r,\n": (2, "carriage return"),
            "mac,mode\n02-00-00-00-00-02,auto\n": (2, "mode"),
        }
        for text, (line, why) in cases.items():
            with self.subTest(text=text):
                with self.assertRaises(camdisco.PlanError) as ctx:
                    camdisco.parse_plan(text)
                self.assertEqual(line, ctx.exception.line)
                self.assertIn(why, ctx.exception.reason)
        # two DHCP rows may carry the same (unused) address
        camdisco.parse_plan("mac,ip,mode\n02-00-00-00-00-02,10.9.0.9,dhcp\n"
                            "02-00-00-00-00-03,10.9.0.9,dhcp\n")


class AssignTest(unittest.TestCase):
    def test_sequential_skipping_held_and_edge_addresses(self):
        devs = [device("10.9.0.%d" % (i + 2), "02-00-00-00-00-%02X" % (0x20 - i), arrival=i)
                for i in range(3)]   # .2 .3 .4; MAC order is the reverse of arrival
        rows = camdisco.assign(devs, "10.9.0.1")
        self.assertEqual([(r.mac, r.ip) for r in rows],
                         [("02-00-00-00-00-1E", "10.9.0.1"), ("02-00-00-00-00-1F", "10.9.0.5"),
                          ("02-00-00-00-00-20", "10.9.0.6")])
        rows = camdisco.assign(devs, "10.9.0.251", order="found")
        self.assertEqual([(r.mac, r.ip) for r in rows][:2], [("02-00-00-00-00-20", "10.9.0.251"),
                                                             ("02-00-00-00-00-1F", "10.9.0.252")])
        # .254 is the gateway, .255 the broadcast address, and the next is another subnet
        with self.assertRaises(camdisco.FieldError):
            camdisco.assign(devs, "10.9.0.252")
        self.assertEqual(["10.9.1.254", "10.9.1.255", "10.9.2.0"], [r.ip for r in camdisco.assign(
            devs, "10.9.1.254", netmask="255.255.0.0")])

    def test_a_plan_apply_would_refuse_is_not_written(self):
        devs = [device("10.9.0.2", "02-00-00-00-00-02")]
        with self.assertRaises(camdisco.FieldError) as ctx:   # the gateway stays behind
            camdisco.assign(devs, "10.8.0.2")
        self.assertIn("gateway", str(ctx.exception))
        rows = camdisco.assign(devs, "10.8.0.2", gateway="0.0.0.0")
        self.assertEqual((rows[0].ip, rows[0].gateway), ("10.8.0.2", "0.0.0.0"))


class FakeLan:
    """Devices answering on loopback from one port, as a script: every search is
    answered for each device; a modification for a device (its address, MAC and
    type, the password) is answered and then shown by the searches after
    `move_after` more searches have arrived (the device moves after its reply)."""

    def __init__(self, macs, move_after=1, password="1234"):
        self.devs = {mac: dict(ip="10.9.0.%d" % (i + 2), netmask="255.255.255.0",
                               mode=2) for i, mac in enumerate(macs)}
        self.move_after = move_after
        self.password = password
        self.pending = []
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.1)
        self.port = self.sock.getsockname()[1]
        self.received = []
        self.lock = threading.Lock()
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        for _ in range(3000):  # bounded: 300 s at most
            if self.stop.is_set():
                return
            try:
                data, peer = self.sock.recvfrom(2048)
            except socket.timeout:
                continue
            with self.lock:
                self.received.append(data)
                for out in self._answer(data):
                    self.sock.sendto(out, peer)

    def _answer(self, data):
        head = Header.unpack(data)
        if head.msg_type in camdisco.SEARCH_TYPES:
            self.pending = [(n - 1, mac, new) for n, mac, new in self.pending]
            for _, mac, new in [p for p in self.pending if p[0] <= 0]:
                self.devs[mac].update(new)
            self.pending = [p for p in self.pending if p[0] > 0]
            from dataclasses import replace
            base = SearchReply.unpack(search_reply_bytes())
            return [replace(base, header=head, mac=mac, ip=d["ip"], netmask=d["netmask"],
                            mode=camdisco.mode_text(d["mode"]), gateway="0.0.0.0",
                            dns1="0.0.0.0", dns2="0.0.0.0", web_port=80).pack()
                    for mac, d in self.devs.items()]
        _, req = ModifyRequest.unpack(data)
        d = self.devs.get(req.mac)
        if d is None or d["ip"] != req.target or req.password != self.password:
            return []
        if not any(p[1] == req.mac for p in self.pending):
            self.pending.append((self.move_after, req.mac, dict(
                ip=req.ip, netmask=req.netmask, mode=req.mode if req.mode_valid else 2)))
        return [ModifyReply(head, req.msgid).pack()]

    def modifications(self):
        with self.lock:
            return [ModifyRequest.unpack(d)[1] for d in self.received
                    if Header.unpack(d).msg_type == camdisco.MSG_MODIFY]

    def close(self):
        self.stop.set()
        self.thread.join(5)
        self.sock.close()


def loopback():
    return [i for i in camdisco.interfaces(include_loopback=True) if i.name == "lo"]


class LoopbackExchangeTest(unittest.TestCase):
    MACS = ["02-00-00-00-00-02", "02-00-00-00-00-03"]

    def setUp(self):
        self.lan = FakeLan(self.MACS)
        self.net = dict(ifaces=loopback(), dest="127.0.0.1", port=self.lan.port)

    def tearDown(self):
        self.lan.close()

    def search(self, **kw):
        return camdisco.search(timeout=60, retries=59, **dict(self.net, **kw))

    def test_search_ends_when_expected_and_keeps_only_its_own_replies(self):
        def answer(req):
            seq = Header.unpack(req).seq
            other = Header.unpack(req).replace(seq=seq ^ 1).pack()
            return [reply_for(other, "127.0.0.9", "00-00-00-00-00-09"),   # not ours
                    b"junk",
                    reply_for(req, "127.0.0.1", "00-11-22-33-44-55"),
                    reply_for(req, "127.0.0.1", "00-11-22-33-44-55"),     # repeated
                    reply_for(req, "127.0.0.1", "00-11-22-33-44-66")]     # same address

        self.lan._answer = answer
        found = self.search(expect=2)   # 60 s unless it ends on the second device
        self.assertEqual([d.mac for d in found], ["00-11-22-33-44-55", "00-11-22-33-44-66"])
        self.assertEqual({d.interface for d in found}, {"lo"})
        found = self.search(mac="00:11:22:33:44:66")
        self.assertIn("00-11-22-33-44-66", [d.mac for d in found])

    def test_async_search_finds_what_search_finds(self):
        found = self.search(expect=2)
        got = asyncio.run(camdisco.async_search(timeout=60, retries=59, expect=2, **self.net))
        self.assertEqual([d.to_json() for d in found], [d.to_json() for d in got])

    def test_modify_waits_for_the_move_and_repeats_identically(self):
        dev = camdisco.find(self.search(expect=2), mac=self.MACS[1])
        res = camdisco.modify(dev, "admin", "1234", ip="10.9.0.30", mode="static", wait=True,
                              timeout=60, wait_timeout=60, **self.net)
        self.assertEqual(("search", "10.9.0.30"), (res.confirmed_by, res.seen.ip))
        self.assertGreaterEqual(res.confirm_ms, 0)
        self.assertEqual(res.to_json()["new"]["ip"], "10.9.0.30")
        self.assertEqual(res.to_json()["old"]["ip"], "10.9.0.3")
        self.assertEqual(res.request.netmask, "255.255.255.0", "kept as the device reported")
        self.assertEqual(res.request.mac, self.MACS[1])
        with self.assertRaises(camdisco.FieldError):   # checked before anything is sent
            camdisco.modify(dev, "admin", "1234", ip="10.9.0.255", **self.net)
        with self.assertRaises(camdisco.FieldError):
            camdisco.modify(dev, "admin", "1234", mode="auto", **self.net)
        # under asyncio, with the mode by name: "dhcp" shows in the next searches
        dev = camdisco.find(self.search(expect=2), mac=self.MACS[0])
        res = asyncio.run(camdisco.async_modify(dev, "admin", "1234", mode="dhcp", wait=True,
                                                timeout=60, wait_timeout=60, **self.net))
        self.assertEqual("dhcp", res.seen.mode)
        self.assertEqual(2, len(self.lan.modifications()))

    def test_no_reply_is_checked_by_a_search_then_raised(self):
        dev = camdisco.find(self.search(expect=2), mac=self.MACS[0])
        with self.assertRaises(camdisco.NoReply):
            camdisco.modify(dev, "admin", "wrong", ip="10.9.0.40", timeout=0.3, retries=2,
                            **self.net)
        sent = self.lan.modifications()
        self.assertEqual(3, len(sent))
        self.assertEqual(1, len({r.msgid for r in sent}), "repeats are the same request")
        with self.assertRaises(camdisco.NotConfirmed):
            camdisco.wait_for_move(self.MACS[0], "10.9.0.40", timeout=0.5, **self.net)

    def test_apply_a_plan(self):
        plan = camdisco.parse_plan(
            "mac,ip,mode\n"
            "02-00-00-00-00-02,10.9.0.50,\n"        # moves
            "02-00-00-00-00-03,10.9.0.3,static\n"   # holds these settings already
            "02-00-00-00-00-09,10.9.0.59,\n")       # not on this LAN
        kw = dict(timeout=3, reply_timeout=60, wait_timeout=60, **self.net)
        dry = camdisco.apply(plan, "admin", "1234", dry_run=True,
                             devices=self.search(expect=2), **kw)
        self.assertEqual(["would_change", "unchanged", "not_found"], [r.result for r in dry])
        self.assertEqual([], self.lan.modifications())
        seen, sent = [], []
        res = camdisco.apply(plan, "admin", "1234", progress=seen.append,
                             sent=lambda row, ack: sent.append((row.line, ack)), **kw)
        self.assertEqual(["applied", "unchanged", "not_found"], [r.result for r in res])
        self.assertEqual(("search", 0), (res[0].confirmed_by, res[0].ack_flag))
        self.assertEqual(sorted(r.line for r in seen), [2, 3, 4])
        self.assertEqual([(2, 0)], sent, "only the row that was sent, with its AckFlag")
        self.assertEqual(["10.9.0.50"], [r.ip for r in self.lan.modifications()])
        # a second camera may not take an address that another, staying put, holds
        plan = camdisco.parse_plan("mac,ip\n02-00-00-00-00-03,10.9.0.50\n")
        res = camdisco.apply(plan, "admin", "1234", **kw)   # ends when its camera answered
        self.assertEqual("refused_locally", res[0].result)
        self.assertIn("held by the device 02-00-00-00-00-02", res[0].reason)


def reply_for(request, ip, mac):
    from dataclasses import replace
    rep = SearchReply.unpack(search_reply_bytes())
    return replace(rep, header=Header.unpack(request), ip=ip, mac=mac).pack()


if __name__ == "__main__":
    unittest.main()
