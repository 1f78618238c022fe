# SPDX-License-Identifier: MIT
"""camdisco against byte arrays written by hand from the field tables of the
protocol (offsets, widths, little-endian), not from the module's own formats;
then the exchange loops against a fake device on loopback (no root)."""

import os
import socket
import sys
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "tools", "python"))

import camdisco  # noqa: E402
from camdisco import (FieldError, ForeignReply, Header, MalformedDatagram,  # noqa: E402
                      ModifyReply, ModifyRequest, SearchReply)


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
        self.assertEqual(head, Header(msg_type=11, msg_size=0, seq=0xA1B2C3D4, ack=0x0102,
                                      sub_type=0x0304, version=1, ext_size=5, reserved=0x5A))
        self.assertEqual(head.pack(), SEARCH_REQ)
        self.assertEqual(Header(12, version=3, ext_size=63).pack()[0], 0xFF)

    def test_values_that_do_not_fit_are_refused(self):
        for bad in (dict(version=4), dict(ext_size=64), dict(seq=1 << 32), dict(ack=-1),
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
        self.assertEqual(rep.host_name, "H" * 36)
        self.assertEqual((rep.media_port, rep.web_port), (85, 8080))
        self.assertEqual(rep.network_mode, camdisco.MODE_NONE)
        self.assertEqual((rep.device_type, rep.device_type_code), ("IPC-Type-X",
                                                                   0x5658040200080000))
        self.assertEqual((rep.software_version, rep.device_id, rep.device_name),
                         ("V1.2.3", 1010, "front door"))
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


class MacTextTest(unittest.TestCase):
    def test_normalize_mac(self):
        self.assertEqual(camdisco.normalize_mac("02:ab:cd:ef:01:23"), "02-AB-CD-EF-01-23")
        self.assertEqual(camdisco.normalize_mac("02-AB-cd-EF-01-23"), "02-AB-CD-EF-01-23")
        for bad in ("02:ab:cd:ef:01", "02:ab-cd:ef:01:23", "02:ab:cd:ef:01:2g", ""):
            with self.subTest(bad):
                with self.assertRaises(FieldError):
                    camdisco.normalize_mac(bad)


class FakeDevice:
    """Answers on loopback what each test asks of it; records what arrived."""

    def __init__(self, answer):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.1)
        self.port = self.sock.getsockname()[1]
        self.answer = answer
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
            for out in self.answer(data):
                self.sock.sendto(out, peer)

    def count(self):
        with self.lock:
            return len(self.received)

    def close(self):
        self.stop.set()
        self.thread.join(5)
        self.sock.close()


def reply_for(request, ip, mac):
    from dataclasses import replace
    rep = SearchReply.unpack(search_reply_bytes())
    return replace(rep, header=Header.unpack(request), ip=ip, mac=mac).pack()


class LoopbackExchangeTest(unittest.TestCase):
    def test_search_keeps_one_record_per_device_and_only_its_own_replies(self):
        def answer(req):
            seq = Header.unpack(req).seq
            other = Header.unpack(req).replace(seq=seq ^ 1).pack()
            return [reply_for(other, "127.0.0.9", "00-00-00-00-00-09"),   # not ours
                    b"junk",
                    reply_for(req, "127.0.0.1", "00-11-22-33-44-55"),
                    reply_for(req, "127.0.0.1", "00-11-22-33-44-55"),     # repeated
                    reply_for(req, "127.0.0.1", "00-11-22-33-44-66")]     # same address

        dev = FakeDevice(answer)
        try:
            found = camdisco.search(timeout=60, ifaces=["lo"], dest="127.0.0.1",
                                    port=dev.port, want=2)
        finally:
            dev.close()
        self.assertEqual([d.mac for d in found], ["00-11-22-33-44-55", "00-11-22-33-44-66"])
        self.assertEqual({d.interface for d in found}, {"lo"})

    def test_modify_matches_its_reply_and_repeats_identically(self):
        def answer(req):
            if Header.unpack(req).msg_type in camdisco.SEARCH_TYPES:
                return [reply_for(req, "127.0.0.1", "00-11-22-33-44-55")]
            head, body = ModifyRequest.unpack(req)
            wrong = ModifyReply(head.replace(seq=head.seq + 1), body.msgid).pack()
            return [wrong, ModifyReply(head, body.msgid).pack()]

        dev = FakeDevice(answer)
        try:
            target = camdisco.search(timeout=60, ifaces=["lo"], dest="127.0.0.1",
                                     port=dev.port, want=1)[0]
            res = camdisco.modify(target, user="admin", password="1234", ip="127.0.0.2",
                                  timeout=60, port=dev.port, dest="127.0.0.1")
        finally:
            dev.close()
        self.assertEqual(res.request.ip, "127.0.0.2")
        self.assertEqual(res.request.netmask, "255.255.255.0", "kept as the device reported")
        self.assertEqual(res.request.mac, "00-11-22-33-44-55")
        self.assertEqual(res.reply.msgid, res.request.msgid)

    def test_no_reply_raises_after_identical_repeats(self):
        dev = FakeDevice(lambda req: [])
        try:
            target = camdisco.Device(header=Header(11), ip="127.0.0.1", netmask="255.0.0.0",
                                     gateway="0.0.0.0", dns1="0.0.0.0", dns2="0.0.0.0",
                                     media_port=85, web_port=85, network_mode=2,
                                     mac="00-11-22-33-44-55")
            with self.assertRaises(FieldError):   # nothing usable reported, nothing given
                camdisco.modify(camdisco.Device(header=Header(11), ip="127.0.0.1"),
                                user="admin", password="1234", port=dev.port)
            with self.assertRaises(camdisco.NoReply):
                camdisco.set_mac(target, "02:ab:cd:ef:01:23", user="admin", password="1234",
                                 timeout=0.3, retries=2, port=dev.port)
            self.assertTrue(_wait(lambda: dev.count() == 3), dev.count())
            self.assertEqual(len(set(dev.received)), 1, "repeats are the same datagram")
            req = ModifyRequest.unpack(dev.received[0])[1]
            self.assertTrue(req.set_mac)
            self.assertEqual(req.mac, "02-AB-CD-EF-01-23")
        finally:
            dev.close()


def _wait(predicate, timeout=30.0):
    import time
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.01)
    return predicate()


if __name__ == "__main__":
    unittest.main()
