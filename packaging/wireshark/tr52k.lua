-- Wireshark dissector for the TR52K unit's command protocol (TCP port 5000).
--
-- Every frame is a six-byte header (the word 0x0068, the command code and
-- the payload length, all little-endian) and its payload; values inside
-- payloads are big-endian. The client sends requests, the unit answers each
-- with a frame of the same command, whose payload length is fixed per
-- command. Requests and replies are paired per TCP stream in order, so each
-- reply shows its request and the response time, and each request its reply.
--
-- Installed in Wireshark's global plugin folder; for one run:
--   wireshark -X lua_script:tr52k.lua capture.pcap
--   tshark -2 -X lua_script:tr52k.lua -r capture.pcap -Y tr52k
-- A unit on another port: Decode As... TCP port N as TR52K.

local tr52k = Proto("tr52k", "TR52K unit protocol")

local COMMANDS = {
    [0x0000] = "Ping",
    [0x1000] = "Set operational mode",
    [0x1001] = "DSP flash start/finish",
    [0x1002] = "Turn off",
    [0x1003] = "Read device id",
    [0x1008] = "Read status record",
    [0x1020] = "DSP flash block",
    [0x1021] = "EEPROM page write",
    [0x1022] = "EEPROM bulk erase",
    [0x1023] = "ContinuousStatus read",
    [0x1024] = "Select EEPROM",
    [0x2000] = "Read operational status",
    [0x2002] = "Read network settings",
    [0x2003] = "Read device info",
    [0x2009] = "Read configuration page",
}
-- The payload length of each command's reply.
local REPLY_LENGTH = {
    [0x0000] = 0, [0x1000] = 0, [0x1001] = 4, [0x1002] = 0, [0x1003] = 16, [0x1008] = 256,
    [0x1020] = 0, [0x1021] = 0, [0x1022] = 4, [0x1023] = 1, [0x1024] = 0,
    [0x2000] = 23, [0x2002] = 5, [0x2003] = 48, [0x2009] = 128,
}
local DSP_NAMES = { [0] = "DSP1", [1] = "DSP2" }
local DSP_STEPS = { [0x01] = "start", [0xFF] = "finish" }
local TURN_OFF = { [0x01] = "Graphs (first of two)", [0x02] = "Graphs (second of two)", [0x06] = "Consolidated status" }
local MODES = {
    [0] = "Unused",
    [1] = "2 BitSyncs, 3 Decoms, 2 Sims Mode",
    [2] = "1 BitSync, 2 Decoms, 1 Sim, 1 Super Sim Mode",
    [3] = "1 Decom, 2 Super Sims Mode",
}

-- Bit `mask` (a power of two) of v; plain arithmetic, for any Lua.
local function bit_set(v, mask) return math.floor(v / mask) % 2 == 1 end

local function eeprom_index(code)
    if code >= 0x10 and code <= 0x17 then return code - 0x10 end
    if code >= 0x30 and code <= 0x33 then return code - 0x30 + 8 end
    return nil
end

local f = {
    header = ProtoField.uint16("tr52k.header", "Header word", base.HEX),
    command = ProtoField.uint16("tr52k.command", "Command", base.HEX, COMMANDS),
    length = ProtoField.uint16("tr52k.length", "Payload length", base.DEC),
    kind = ProtoField.string("tr52k.kind", "Frame"),
    payload = ProtoField.bytes("tr52k.payload", "Payload"),
    -- Requests.
    mode = ProtoField.uint8("tr52k.mode", "Operational mode", base.DEC, MODES),
    dsp = ProtoField.uint8("tr52k.dsp", "DSP", base.DEC, DSP_NAMES),
    dsp_step = ProtoField.uint8("tr52k.dsp_step", "DSP flash step", base.HEX, DSP_STEPS),
    block = ProtoField.uint32("tr52k.block", "Block number", base.DEC),
    block_size = ProtoField.uint16("tr52k.block_size", "Block size", base.DEC),
    select_code = ProtoField.uint8("tr52k.select_code", "EEPROM select code", base.HEX),
    eeprom = ProtoField.uint8("tr52k.eeprom", "EEPROM index", base.DEC),
    page_address = ProtoField.uint16("tr52k.page_address", "Page address", base.DEC),
    byte_offset = ProtoField.uint32("tr52k.byte_offset", "Byte offset", base.DEC),
    turn_off = ProtoField.uint8("tr52k.turn_off", "Turn-off target", base.HEX, TURN_OFF),
    config_page = ProtoField.uint8("tr52k.config_page", "Configuration page", base.DEC),
    -- Replies.
    serial = ProtoField.string("tr52k.serial", "Serial number"),
    dsp1_version = ProtoField.uint32("tr52k.dsp1_version", "DSP1 firmware version", base.HEX),
    dsp2_version = ProtoField.uint32("tr52k.dsp2_version", "DSP2 firmware version", base.HEX),
    fio_version = ProtoField.uint32("tr52k.fio_version", "FIO FPGA firmware version", base.HEX),
    bridge_version = ProtoField.uint32("tr52k.bridge_version", "Bridge FPGA firmware version", base.HEX),
    dp_version = ProtoField.uint32("tr52k.dp_version", "DP FPGA firmware version", base.HEX),
    dsp_pcb = ProtoField.uint8("tr52k.dsp_pcb_rev", "DSP board PCB revision", base.DEC),
    dp_pcb = ProtoField.uint16("tr52k.dp_pcb_rev", "DP FPGA board PCB revision", base.DEC),
    personality = ProtoField.uint8("tr52k.personality", "DP FPGA personality", base.DEC, MODES),
    device_id = ProtoField.string("tr52k.device_id", "Device id"),
    dhcp = ProtoField.bool("tr52k.dhcp", "DHCP enabled"),
    ip = ProtoField.ipv4("tr52k.ip", "IP address"),
    word = ProtoField.uint16("tr52k.word", "Word", base.HEX),
    image_id = ProtoField.uint32("tr52k.image_id", "EEPROM image id", base.HEX),
    eeprom_personality = ProtoField.uint16("tr52k.eeprom_personality", "EEPROM personality", base.DEC, MODES),
    current_eeprom = ProtoField.uint16("tr52k.current_eeprom", "Current EEPROM word", base.DEC),
    update_enable = ProtoField.bool("tr52k.update_enable", "Update enable"),
    text = ProtoField.string("tr52k.text", "Text"),
    erase_done = ProtoField.bool("tr52k.erase_done", "Bulk erase complete"),
    erase_answer = ProtoField.uint32("tr52k.erase_answer", "Erase answer", base.HEX),
    -- Pairing.
    response_in = ProtoField.framenum("tr52k.response_in", "Response in", base.NONE, frametype.RESPONSE),
    request_in = ProtoField.framenum("tr52k.request_in", "Request in", base.NONE, frametype.REQUEST),
    time = ProtoField.relative_time("tr52k.time", "Response time"),
    stray = ProtoField.bytes("tr52k.stray", "Bytes of no frame"),
}
tr52k.fields = f

local e = {
    not_own = ProtoExpert.new("tr52k.not_own_frame", "Reply is not its request's own frame",
                              expert.group.SEQUENCE, expert.severity.WARN),
    no_reply = ProtoExpert.new("tr52k.no_reply", "Request without a reply",
                               expert.group.SEQUENCE, expert.severity.WARN),
    stray = ProtoExpert.new("tr52k.stray_bytes", "Bytes that belong to no frame",
                            expert.group.MALFORMED, expert.severity.WARN),
}
tr52k.experts = { e.not_own, e.no_reply, e.stray }

local tcp_stream = Field.new("tcp.stream")

-- What the first pass learnt, kept for the later ones: per frame (by frame
-- number, buffer length and offset) its pairing and block number; per TCP
-- stream the request still owed a reply.
local records, streams

function tr52k.init()
    records, streams = {}, {}
end

local function key_of(pinfo, tvb, offset)
    return pinfo.number .. ":" .. tvb:len() .. ":" .. offset
end

local function ns_time(seconds)
    local s = math.floor(seconds)
    return NSTime.new(s, math.floor((seconds - s) * 1e9 + 0.5))
end

local function add_request_fields(t, cmd, tvb, rec)
    local n = tvb:len()
    if cmd == 0x1000 and n >= 1 then
        t:add(f.mode, tvb(0, 1))
    elseif cmd == 0x1001 and n >= 3 then
        t:add(f.dsp_step, tvb(1, 1))
        t:add(f.dsp, tvb(2, 1))
    elseif cmd == 0x1002 and n >= 1 then
        t:add(f.turn_off, tvb(0, 1))
    elseif cmd == 0x1020 and n >= 1 then
        t:add(f.dsp, tvb(0, 1))
        if rec.block then t:add(f.block, rec.block):set_generated() end
        t:add(f.block_size, n - 1):set_generated()
    elseif (cmd == 0x1021 or cmd == 0x1022 or cmd == 0x1024) and n >= 1 then
        t:add(f.select_code, tvb(0, 1))
        local index = eeprom_index(tvb(0, 1):uint())
        if index then t:add(f.eeprom, index):set_generated() end
        if cmd == 0x1021 and n >= 3 then
            t:add(f.page_address, tvb(1, 2))
            t:add(f.byte_offset, tvb(1, 2):uint() * 256):set_generated()
        end
    elseif cmd == 0x2009 and n >= 1 then
        t:add(f.config_page, tvb(0, 1))
    end
end

local function add_config_page(t, tvb, page)
    local function word(i) return tvb(2 * i, 2) end
    if page == 0 then
        t:add(f.dhcp, bit_set(word(34):uint(), 2))
        t:add(f.ip, tvb(76, 4))
    elseif page == 2 then
        for i = 0, 7 do t:add(f.image_id, tvb(54 + 4 * i, 4)):append_text(" (EEPROM_" .. i .. ")") end
        t:add(f.current_eeprom, word(43))
        for i = 0, 11 do t:add(f.eeprom_personality, word(44 + i)):append_text(" (EEPROM_" .. i .. ")") end
        t:add(f.update_enable, word(60), bit_set(word(60):uint(), 1))
        t:add(f.mode, tvb(127, 1), tvb(127, 1):uint() % 128)
    elseif page == 3 then
        for i = 0, 3 do t:add(f.image_id, tvb(4 * i, 4)):append_text(" (EEPROM_" .. (8 + i) .. ")") end
    elseif page and page >= 20 and page <= 24 then
        local chars = {}
        for i = 0, 31 do
            local c = tvb(2 * i + 1, 1):uint()
            if c == 0 then break end
            chars[#chars + 1] = string.char(c)
        end
        t:add(f.text, tvb(0, 64), table.concat(chars))
    end
    local words = t:add(tvb(), "Words")
    for i = 0, 63 do words:add(f.word, word(i)):prepend_text("[" .. i .. "] ") end
end

local function add_reply_fields(t, cmd, tvb, page)
    local n = tvb:len()
    if cmd == 0x2003 and n >= 33 then
        t:add(f.serial, tvb(4, 4), string.format("%04X-%03d", tvb(4, 2):uint(), tvb(6, 2):uint()))
        t:add(f.dsp1_version, tvb(8, 4))
        t:add(f.dsp2_version, tvb(12, 4))
        t:add(f.fio_version, tvb(16, 4))
        t:add(f.bridge_version, tvb(20, 4))
        t:add(f.dp_version, tvb(24, 4))
        t:add(f.dsp_pcb, tvb(29, 1))
        t:add(f.dp_pcb, tvb(30, 2))
        t:add(f.personality, tvb(32, 1))
    elseif cmd == 0x1003 and n >= 16 then
        t:add(f.device_id, tvb(0, 16))
    elseif cmd == 0x2002 and n >= 5 then
        t:add(f.dhcp, tvb(0, 1), bit_set(tvb(0, 1):uint(), 1))
        t:add(f.ip, tvb(1, 4))
    elseif cmd == 0x2000 and n >= 3 then
        t:add(f.mode, tvb(2, 1), tvb(2, 1):uint() % 128)
    elseif cmd == 0x2009 and n >= 128 then
        add_config_page(t, tvb, page)
    elseif cmd == 0x1023 and n >= 1 then
        t:add(f.erase_done, tvb(0, 1), bit_set(tvb(0, 1):uint(), 1))
    elseif cmd == 0x1022 and n >= 4 then
        t:add(f.erase_answer, tvb(0, 4))
    end
end

-- The first pass: pairs this frame with the request owed a reply, or
-- makes it the one owed. Later passes read what it wrote.
local function learn(pinfo, key, is_request, cmd, length, payload)
    local rec = { request = is_request, cmd = cmd, time = pinfo.abs_ts }
    local s = streams[tcp_stream()()]
    if not s then
        s = { blocks = 0 }
        streams[tcp_stream()()] = s
    end
    if is_request then
        if cmd == 0x1001 then s.blocks = 0 end
        if cmd == 0x1020 then
            s.blocks = s.blocks + 1
            rec.block = s.blocks
        end
        if cmd == 0x2009 and payload:len() >= 1 then rec.page = payload(0, 1):uint() end
        -- A request that was still owed a reply has none now; it stays unpaired.
        s.pending = key
    else
        local req = s.pending and records[s.pending]
        if req and req.cmd == cmd then
            rec.request_in = req.frame
            rec.delta = pinfo.abs_ts - req.time
            rec.page = req.page
            rec.own = REPLY_LENGTH[cmd] == length
            req.response_in = pinfo.number
            s.pending = nil
        else
            rec.own = false
            rec.answers = req and req.cmd or nil
        end
    end
    rec.frame = pinfo.number
    records[key] = rec
    return rec
end

-- One frame or one run of stray bytes at `offset`: the bytes it takes, or a
-- negative count of the bytes still missing.
local function dissect_one(tvb, pinfo, tree, offset, is_request)
    local left = tvb:len() - offset
    local starts_frame = left >= 2 and tvb(offset, 1):uint() == 0x68 and tvb(offset + 1, 1):uint() == 0x00
    if left < 2 and tvb(offset, 1):uint() == 0x68 then return -(2 - left) end
    if not starts_frame then
        -- Up to the next header word, or the end of what we have (but for
        -- a last 0x68 that may begin one).
        local stop = offset + 1
        while stop < tvb:len() and not (tvb(stop, 1):uint() == 0x68 and
                                        (stop + 1 == tvb:len() or tvb(stop + 1, 1):uint() == 0x00)) do
            stop = stop + 1
        end
        local t = tree:add(tr52k, tvb(offset, stop - offset))
        t:set_text("TR52K: bytes of no frame")
        t:add_proto_expert_info(e.stray, string.format("%d bytes that belong to no frame", stop - offset))
        t:add(f.stray, tvb(offset, stop - offset))
        return stop - offset, "[bytes of no frame]"
    end
    if left < 6 then return -(6 - left) end
    local length = tvb(offset + 4, 2):le_uint()
    if left < 6 + length then return -(6 + length - left) end
    local cmd = tvb(offset + 2, 2):le_uint()
    local payload = tvb(offset + 6, length)
    local key = key_of(pinfo, tvb, offset)
    local rec = records[key]
    if not rec then rec = learn(pinfo, key, is_request, cmd, length, payload) end

    local name = COMMANDS[cmd] or string.format("Command 0x%04X", cmd)
    local t = tree:add(tr52k, tvb(offset, 6 + length))
    t:set_text(string.format("TR52K %s: %s", is_request and "request" or "reply", name))
    t:add(f.kind, is_request and "request" or "reply"):set_generated()
    t:add_le(f.header, tvb(offset, 2))
    t:add_le(f.command, tvb(offset + 2, 2))
    t:add_le(f.length, tvb(offset + 4, 2))
    if length > 0 then t:add(f.payload, payload) end
    local info = (is_request and "Request: " or "Reply: ") .. name
    if is_request then
        add_request_fields(t, cmd, payload, rec)
        if cmd == 0x2009 and rec.page then info = info .. " " .. rec.page end
        if rec.block then info = info .. " " .. rec.block end
        if rec.response_in then
            t:add(f.response_in, rec.response_in):set_generated()
        else
            t:add_proto_expert_info(e.no_reply, "No reply to this request")
            info = info .. " [no reply]"
        end
    else
        add_reply_fields(t, cmd, payload, rec.page)
        if cmd == 0x2009 and rec.page then info = info .. " " .. rec.page end
        if rec.request_in then
            t:add(f.request_in, rec.request_in):set_generated()
            t:add(f.time, ns_time(rec.delta)):set_generated()
        end
        if not rec.own then
            local why
            if rec.request_in then
                why = string.format("%d payload bytes; a %s reply has %d", length, name, REPLY_LENGTH[cmd] or 0)
            elseif rec.answers then
                why = string.format("the request owed a reply is %s", COMMANDS[rec.answers] or
                                    string.format("0x%04X", rec.answers))
            else
                why = "no request is owed a reply"
            end
            t:add_proto_expert_info(e.not_own, "Reply is not its request's own frame: " .. why)
            info = info .. " [not its request's frame]"
        end
    end
    return 6 + length, info
end

function tr52k.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol = "TR52K"
    local is_request = pinfo.dst_port == pinfo.match_uint
    local offset, infos = 0, {}
    while offset < tvb:len() do
        local taken, info = dissect_one(tvb, pinfo, tree, offset, is_request)
        if taken < 0 then
            pinfo.desegment_offset = offset
            pinfo.desegment_len = -taken
            break
        end
        infos[#infos + 1] = info
        offset = offset + taken
    end
    if #infos > 0 then pinfo.cols.info = table.concat(infos, "; ") end
    return tvb:len()
end

DissectorTable.get("tcp.port"):add(5000, tr52k)
