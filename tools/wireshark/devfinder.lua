-- SPDX-License-Identifier: MIT
-- devfinder.lua: Wireshark dissector for the camera discovery datagrams (UDP 9333).
--
--   tshark -X lua_script:tools/wireshark/devfinder.lua -r lan.pcap -V
--   tshark -X lua_script:tools/wireshark/devfinder.lua -o devfinder.show_password:TRUE ...
--   display filters: devfinder, devfinder.reply, devfinder.mod.form == "extended", ...
--
-- Every datagram starts with a 16-byte header; the body follows at offset 16, except in a
-- modification reply, which puts ExtSize zero words (4 bytes each) between the two. All
-- integers are little-endian; IPv4 addresses in a modification request are 4 bytes, first
-- octet first; text fields are zero-padded and carry no terminator when full.
-- Requests go to the discovery port, replies come from it.

local DISCOVERY_PORT = 9333

local HEAD_LEN = 16
local SEARCH_BODY_LEN = 448     -- search reply body
local MOD_FIRST_LEN = 72        -- modification request body, first form
local MOD_EXT_LEN = 116         -- modification request body, extended form
local MOD_RSP_BODY_LEN = 16     -- modification reply body: the request's msgid
local DEVICE_READ_LEN = 132     -- the daemon reads at most this much of a datagram

local MSG_SEARCH, MSG_MODIFY, MSG_SEARCH_CUSTOM, MSG_SEARCH_EXT = 11, 12, 618, 620

local msg_type_names = {
    [MSG_SEARCH] = "Search (MSG_TYPE_SEARCH)",
    [MSG_MODIFY] = "Network modification (MSG_TYPE_MDEVINFO)",
    [MSG_SEARCH_CUSTOM] = "Search, customised products (MSG_TYPE_SEARCH_CUSTOM)",
    [MSG_SEARCH_EXT] = "Search (MSG_TYPE_SEARCH_EXT)",
}
local search_types = { [MSG_SEARCH] = true, [MSG_SEARCH_CUSTOM] = true, [MSG_SEARCH_EXT] = true }

local proto = Proto("devfinder", "Camera discovery protocol")

local f = {
    -- header
    version = ProtoField.uint8("devfinder.version", "Version", base.DEC, nil, 0x03),
    ext_size = ProtoField.uint8("devfinder.ext_size", "ExtSize (4-byte words)", base.DEC, nil,
                                0xFC),
    reserved = ProtoField.uint8("devfinder.reserved", "Reserved", base.HEX),
    ack_flag = ProtoField.uint16("devfinder.ack_flag", "AckFlag", base.DEC),
    msg_type = ProtoField.uint16("devfinder.msg_type", "MsgType", base.DEC, msg_type_names),
    msg_subtype = ProtoField.uint16("devfinder.msg_subtype", "MsgSubType", base.DEC),
    msg_size = ProtoField.uint32("devfinder.msg_size", "MsgSize (body bytes)", base.DEC),
    seq = ProtoField.uint32("devfinder.seq", "Seq", base.DEC),
    reply = ProtoField.bool("devfinder.reply", "Reply"),
    ext_words = ProtoField.bytes("devfinder.ext_words", "Extension words"),
    ignored = ProtoField.bytes("devfinder.ignored", "Bytes the device ignores"),
    -- search reply body
    dev_ip = ProtoField.string("devfinder.dev.ip", "IP"),
    dev_hostname = ProtoField.string("devfinder.dev.hostname", "HostName"),
    dev_netmask = ProtoField.string("devfinder.dev.netmask", "NetMask"),
    dev_gateway = ProtoField.string("devfinder.dev.gateway", "GateWay"),
    dev_dns1 = ProtoField.string("devfinder.dev.dns1", "DNS1"),
    dev_dns2 = ProtoField.string("devfinder.dev.dns2", "DNS2"),
    dev_port = ProtoField.uint32("devfinder.dev.port", "Port (media)", base.DEC),
    dev_web_port = ProtoField.uint32("devfinder.dev.web_port", "IEPort (web)", base.DEC),
    dev_mode = ProtoField.uint32("devfinder.dev.network_mode", "NetworkMode", base.DEC,
                                 { [0] = "DHCP", [2] = "static", [0xFFFFFFFF] = "not reported" }),
    dev_type = ProtoField.string("devfinder.dev.dev_type", "DevType"),
    dev_type_code = ProtoField.uint64("devfinder.dev.dev_type_code", "DevTypeULL", base.HEX),
    dev_ver = ProtoField.string("devfinder.dev.dev_ver", "DevVer"),
    dev_id = ProtoField.uint32("devfinder.dev.device_id", "DeviceID", base.DEC),
    dev_name = ProtoField.string("devfinder.dev.device_name", "DeviceName"),
    dev_mac = ProtoField.string("devfinder.dev.mac", "MacAddr"),
    dev_channels = ProtoField.uint32("devfinder.dev.channels", "ChannelNum", base.DEC),
    dev_rec_version = ProtoField.uint8("devfinder.dev.record_version", "Version (of the record)",
                                       base.DEC),
    dev_net_if = ProtoField.int8("devfinder.dev.net_interface", "cNetInterface", base.DEC),
    dev_p2p_id = ProtoField.string("devfinder.dev.p2p_id", "P2pID"),
    dev_reserved = ProtoField.bytes("devfinder.dev.reserved", "Reserved"),
    -- modification request and reply bodies
    mod_form = ProtoField.string("devfinder.mod.form", "Form"),
    mod_msgid = ProtoField.bytes("devfinder.mod.msgid", "msgid"),
    mod_user = ProtoField.string("devfinder.mod.user", "User"),
    mod_pwd = ProtoField.string("devfinder.mod.pwd", "Password"),
    mod_cip = ProtoField.ipv4("devfinder.mod.cip", "Target address (cip)"),
    mod_ip = ProtoField.ipv4("devfinder.mod.ip", "New address"),
    mod_mask = ProtoField.ipv4("devfinder.mod.mask", "New netmask"),
    mod_gw = ProtoField.ipv4("devfinder.mod.gw", "New gateway"),
    mod_dns1 = ProtoField.ipv4("devfinder.mod.dns1", "New DNS1"),
    mod_dns2 = ProtoField.ipv4("devfinder.mod.dns2", "New DNS2"),
    mod_mport = ProtoField.uint16("devfinder.mod.media_port", "New media port", base.DEC),
    mod_wport = ProtoField.uint16("devfinder.mod.web_port", "New web port", base.DEC),
    mod_mode = ProtoField.uint8("devfinder.mod.mode", "wMode", base.DEC,
                                { [0] = "DHCP", [2] = "static" }),
    mod_new_flag = ProtoField.uint8("devfinder.mod.new_flag", "wNewFlag", base.DEC),
    mod_set_mac = ProtoField.uint8("devfinder.mod.set_mac", "ZizodSetMac", base.DEC),
    mod_reserved = ProtoField.uint8("devfinder.mod.reserved", "Reserved", base.HEX),
    mod_type_code = ProtoField.uint64("devfinder.mod.dev_type_code", "devTypeULL", base.HEX),
    mod_mac = ProtoField.string("devfinder.mod.mac", "macAddr"),
}
local field_list = {}
for _, field in pairs(f) do field_list[#field_list + 1] = field end
proto.fields = field_list

local ex = {
    short_header = ProtoExpert.new("devfinder.expert.short_header",
                                   "Datagram shorter than the 16-byte header",
                                   expert.group.MALFORMED, expert.severity.ERROR),
    short_body = ProtoExpert.new("devfinder.expert.short_body", "Body shorter than its record",
                                 expert.group.MALFORMED, expert.severity.ERROR),
    bad_size = ProtoExpert.new("devfinder.expert.bad_size", "MsgSize disagrees with the record",
                               expert.group.MALFORMED, expert.severity.WARN),
    over_read = ProtoExpert.new("devfinder.expert.over_read",
                                "Bytes beyond the 132 the device reads",
                                expert.group.PROTOCOL, expert.severity.NOTE),
    unknown_type = ProtoExpert.new("devfinder.expert.unknown_type",
                                   "Message type the device does not answer",
                                   expert.group.UNDECODED, expert.severity.WARN),
    cleartext = ProtoExpert.new("devfinder.expert.cleartext_password",
                                "Password travels in clear text",
                                expert.group.SECURITY, expert.severity.NOTE),
}
proto.experts = { ex.short_header, ex.short_body, ex.bad_size, ex.over_read, ex.unknown_type,
                  ex.cleartext }

proto.prefs.show_password = Pref.bool("Show passwords", false,
    "Show the password of modification requests as it was sent (it crosses the LAN "
    .. "unencrypted). Off: the tree and field output show it masked.")

local PASSWORD_MASK = "********"

-- A zero-padded text field: up to its first NUL, never beyond its width.
local function field_text(range)
    local bytes = range:bytes()
    local n = 0
    while n < bytes:len() and bytes:get_index(n) ~= 0 do n = n + 1 end
    if n == 0 then return "" end
    return range:range(0, n):string(ENC_UTF_8)
end

-- Record layouts: { offset in the body, width, field, kind [, note of a value] }.
--   text: zero-padded text; le: little-endian integer; raw: bytes as they travel
--   (IPv4 addresses, msgid); secret: the password
local SEARCH_REPLY = {
    { 0, 16, f.dev_ip, "text" },
    { 16, 36, f.dev_hostname, "text" },
    { 52, 16, f.dev_netmask, "text" },
    { 68, 16, f.dev_gateway, "text" },
    { 84, 16, f.dev_dns1, "text" },
    { 100, 16, f.dev_dns2, "text" },
    { 116, 4, f.dev_port, "le" },
    { 120, 4, f.dev_web_port, "le" },
    { 124, 4, f.dev_mode, "le" },
    { 128, 28, f.dev_type, "text" },
    { 156, 8, f.dev_type_code, "le" },   -- not 8-aligned: the record is packed to 4
    { 164, 36, f.dev_ver, "text" },
    { 200, 4, f.dev_id, "le" },
    { 204, 36, f.dev_name, "text" },
    { 240, 36, f.dev_mac, "text" },
    { 276, 4, f.dev_channels, "le" },
    { 280, 1, f.dev_rec_version, "le" },
    { 281, 1, f.dev_net_if, "le" },
    { 282, 38, f.dev_p2p_id, "text" },
    { 320, 128, f.dev_reserved, "raw" },
}

local MOD_REQUEST = {
    { 0, 16, f.mod_msgid, "raw" },
    { 16, 10, f.mod_user, "text" },
    { 26, 14, f.mod_pwd, "secret" },
    { 40, 4, f.mod_cip, "raw" },
    { 44, 4, f.mod_ip, "raw" },
    { 48, 4, f.mod_mask, "raw" },
    { 52, 4, f.mod_gw, "raw" },
    { 56, 4, f.mod_dns1, "raw" },
    { 60, 4, f.mod_dns2, "raw" },
    { 64, 2, f.mod_mport, "le" },
    { 66, 2, f.mod_wport, "le" },
    { 68, 1, f.mod_mode, "le" },
    { 69, 1, f.mod_new_flag, "le",
      function(v) return v == 0 and "no mode given: static is meant" or "wMode is valid" end },
    { 70, 1, f.mod_set_mac, "le",
      function(v) return v == 1 and "set the MAC address only" or "ordinary request" end },
    { 71, 1, f.mod_reserved, "le" },
    -- extended form only
    { 72, 8, f.mod_type_code, "le" },
    { 80, 36, f.mod_mac, "text" },
}

-- Adds the fields of layout that lie within the first `avail` bytes of the body at
-- body_off (and within `limit` bytes of the record); returns how many were added.
local function add_record(tree, tvb, body_off, avail, limit, layout)
    local added = 0
    for _, e in ipairs(layout) do
        local off, width, field, kind, note = e[1], e[2], e[3], e[4], e[5]
        if off + width > avail or off + width > limit then break end
        local r = tvb(body_off + off, width)
        if kind == "text" then
            tree:add(field, r, field_text(r))
        elseif kind == "secret" then
            local text = field_text(r)
            if text ~= "" and not proto.prefs.show_password then
                tree:add(field, r, PASSWORD_MASK):append_text(
                    " (masked; preference devfinder.show_password shows it)")
            else
                tree:add(field, r, text)
            end
        elseif kind == "le" then
            local item = tree:add_le(field, r)
            if note then item:append_text(" (" .. note(r:le_uint()) .. ")") end
        else
            tree:add(field, r)
        end
        added = added + 1
    end
    return added
end

-- Dotted text of 4 address bytes at off, or "?" when they are not all there.
local function ipv4_at(tvb, off)
    if off + 4 > tvb:len() then return "?" end
    return string.format("%d.%d.%d.%d", tvb(off, 1):uint(), tvb(off + 1, 1):uint(),
                         tvb(off + 2, 1):uint(), tvb(off + 3, 1):uint())
end

local function text_at(tvb, off, width)
    if off + width > tvb:len() then return "?" end
    return field_text(tvb(off, width))
end

-- Reply or request: by the discovery port where only one end uses it, else by the
-- MsgSize a reply header carries.
local function is_reply(pinfo, msg_type, msg_size)
    local from_port = pinfo.src_port == DISCOVERY_PORT
    local to_port = pinfo.dst_port == DISCOVERY_PORT
    if from_port ~= to_port then return from_port end
    if msg_type == MSG_MODIFY then return msg_size == MOD_RSP_BODY_LEN end
    return msg_size == SEARCH_BODY_LEN
end

-- Bytes from off to the end that the device does not read or use.
local function add_ignored(tree, tvb, off, what)
    local len = tvb:len()
    if off >= len then return end
    tree:add(f.ignored, tvb(off, len - off)):append_text(" (" .. what .. ")")
end

local function dissect_search(tvb, pinfo, tree, reply, msg_type, msg_size, seq)
    local len = tvb:len()
    if not reply then
        pinfo.cols.info = string.format("Search request (MsgType %d), Seq %d", msg_type, seq)
        add_ignored(tree, tvb, HEAD_LEN, "a search carries no body")
        return
    end
    local avail = len - HEAD_LEN
    local body = tree:add(proto, tvb(HEAD_LEN, math.min(avail, SEARCH_BODY_LEN)),
                          "Device (SearchDevRsp)")
    add_record(body, tvb, HEAD_LEN, avail, SEARCH_BODY_LEN, SEARCH_REPLY)
    if avail < SEARCH_BODY_LEN then
        body:add_proto_expert_info(ex.short_body, string.format(
            "Search reply body of %d bytes: the record is %d", avail, SEARCH_BODY_LEN))
    end
    if msg_size ~= SEARCH_BODY_LEN then
        tree:add_proto_expert_info(ex.bad_size, string.format(
            "MsgSize %d in a search reply: the body is %d bytes", msg_size, SEARCH_BODY_LEN))
    end
    add_ignored(tree, tvb, HEAD_LEN + SEARCH_BODY_LEN, "after the record")
    pinfo.cols.info = string.format("Search reply, Seq %d: %s %s \"%s\"", seq,
                                    text_at(tvb, HEAD_LEN, 16), text_at(tvb, HEAD_LEN + 240, 36),
                                    text_at(tvb, HEAD_LEN + 204, 36))
end

local function dissect_mod_request(tvb, pinfo, tree, msg_size, seq)
    local len = tvb:len()
    -- MsgSize alone tells the forms apart; the body is always read at offset 16
    local extended = msg_size > MOD_FIRST_LEN
    local need = extended and MOD_EXT_LEN or MOD_FIRST_LEN
    local form = extended and "extended" or "first"
    local seen = math.min(len, DEVICE_READ_LEN) - HEAD_LEN
    local body = tree:add(proto, tvb(HEAD_LEN, math.min(seen, need)), string.format(
        "Modification request, %s form (%d-byte body)", form, need))
    body:add(f.mod_form, form):set_generated()
    add_record(body, tvb, HEAD_LEN, seen, need, MOD_REQUEST)
    if seen < need then
        body:add_proto_expert_info(ex.short_body, string.format(
            "The %s form needs a %d-byte body, %d bytes arrived: the device reads stale "
            .. "bytes for the rest", form, need, seen))
    end
    if msg_size ~= MOD_FIRST_LEN and msg_size ~= MOD_EXT_LEN then
        tree:add_proto_expert_info(ex.bad_size, string.format(
            "MsgSize %d is neither %d nor %d: the device takes the %s form",
            msg_size, MOD_FIRST_LEN, MOD_EXT_LEN, form))
    end
    if len > HEAD_LEN + need then
        local stop = math.min(len, DEVICE_READ_LEN)
        if stop > HEAD_LEN + need then
            tree:add(f.ignored, tvb(HEAD_LEN + need, stop - HEAD_LEN - need)):append_text(
                string.format(" (after the %s form's body)", form))
        end
        if len > DEVICE_READ_LEN then
            tree:add(f.ignored, tvb(DEVICE_READ_LEN, len - DEVICE_READ_LEN)):add_proto_expert_info(
                ex.over_read, string.format("%d bytes beyond the %d the device reads",
                                            len - DEVICE_READ_LEN, DEVICE_READ_LEN))
        end
    end
    if seen >= 40 and tvb(HEAD_LEN + 26, 1):uint() ~= 0 then
        body:add_proto_expert_info(ex.cleartext)
    end

    local set_mac = seen > 70 and tvb(HEAD_LEN + 70, 1):uint() == 1
    if set_mac then
        pinfo.cols.info = string.format("MAC set request, Seq %d: device %s, new MAC %s", seq,
                                        ipv4_at(tvb, HEAD_LEN + 40),
                                        text_at(tvb, HEAD_LEN + 80, 36))
    else
        pinfo.cols.info = string.format("Modification request (%s form), Seq %d: device %s, "
                                        .. "new address %s", form, seq,
                                        ipv4_at(tvb, HEAD_LEN + 40), ipv4_at(tvb, HEAD_LEN + 44))
    end
end

local function dissect_mod_reply(tvb, pinfo, tree, ext_size, ack, msg_size, seq)
    local len = tvb:len()
    -- unlike the search reply, this one honours ExtSize
    local body_off = HEAD_LEN + 4 * ext_size
    local words = math.min(len, body_off) - HEAD_LEN
    if words > 0 then tree:add(f.ext_words, tvb(HEAD_LEN, words)) end
    if len < body_off + MOD_RSP_BODY_LEN then
        tree:add_proto_expert_info(ex.short_body, string.format(
            "Modification reply of %d bytes: with ExtSize %d it is %d", len, ext_size,
            body_off + MOD_RSP_BODY_LEN))
    else
        local body = tree:add(proto, tvb(body_off, MOD_RSP_BODY_LEN),
                              "Modification reply (NetMDevInfoRsp)")
        body:add(f.mod_msgid, tvb(body_off, MOD_RSP_BODY_LEN))
        add_ignored(tree, tvb, body_off + MOD_RSP_BODY_LEN, "after the record")
    end
    if msg_size ~= MOD_RSP_BODY_LEN then
        tree:add_proto_expert_info(ex.bad_size, string.format(
            "MsgSize %d in a modification reply: the body is %d bytes", msg_size,
            MOD_RSP_BODY_LEN))
    end
    pinfo.cols.info = string.format("Modification reply, Seq %d, AckFlag %d%s", seq, ack,
                                    ack == 0 and " (accepted)" or "")
end

function proto.dissector(tvb, pinfo, tree)
    local len = tvb:len()
    pinfo.cols.protocol = "DEVFINDER"
    local root = tree:add(proto, tvb(0, len), "Camera discovery")
    if len < HEAD_LEN then
        root:add_proto_expert_info(ex.short_header, string.format(
            "Datagram of %d bytes: shorter than the 16-byte header", len))
        pinfo.cols.info = string.format("Malformed: %d-byte datagram", len)
        return len
    end

    local ext_size = math.floor(tvb(0, 1):uint() / 4)   -- bits 2-7 of byte 0
    local ack = tvb(2, 2):le_uint()
    local msg_type = tvb(4, 2):le_uint()
    local msg_size = tvb(8, 4):le_uint()
    local seq = tvb(12, 4):le_uint()
    local reply = is_reply(pinfo, msg_type, msg_size)

    local head = root:add(proto, tvb(0, HEAD_LEN), "Header (MsgHead)")
    head:add(f.version, tvb(0, 1))
    head:add(f.ext_size, tvb(0, 1))
    head:add(f.reserved, tvb(1, 1))
    head:add_le(f.ack_flag, tvb(2, 2))
    head:add_le(f.msg_type, tvb(4, 2))
    head:add_le(f.msg_subtype, tvb(6, 2))
    head:add_le(f.msg_size, tvb(8, 4))
    head:add_le(f.seq, tvb(12, 4))
    root:add(f.reply, reply):set_generated()
    root:append_text(reply and ", reply" or ", request")

    if search_types[msg_type] then
        dissect_search(tvb, pinfo, root, reply, msg_type, msg_size, seq)
    elseif msg_type == MSG_MODIFY and reply then
        dissect_mod_reply(tvb, pinfo, root, ext_size, ack, msg_size, seq)
    elseif msg_type == MSG_MODIFY then
        dissect_mod_request(tvb, pinfo, root, msg_size, seq)
    else
        root:add_proto_expert_info(ex.unknown_type, string.format(
            "MsgType %d: the device answers only 11, 12, 618 and 620", msg_type))
        add_ignored(root, tvb, HEAD_LEN, "unknown message type")
        pinfo.cols.info = string.format("Unknown message type %d, Seq %d", msg_type, seq)
    end
    return len
end

DissectorTable.get("udp.port"):add(DISCOVERY_PORT, proto)
