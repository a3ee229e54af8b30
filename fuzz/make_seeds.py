#!/usr/bin/env python3
"""Writes the seed corpora of the document, conversion and wire fuzz targets.

The password target's seeds are encrypted under its fixed key and are kept as
files; see docs/fuzzing.md. Run from anywhere; existing seeds of the same
name are overwritten, others (regression inputs) are kept.
"""
import os
import struct

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def write(target, name, data):
    directory = os.path.join(CORPUS, target)
    os.makedirs(directory, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("utf-8")
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


# ---- preferred TD list documents
DOC = "fuzz_td_list_document"
write(DOC, "pairs", "norv-preferred-td-list 1\nmode 1\nlast-borehole-id 42\n"
      "last-td-chart-id 7\npair 1 10\npair 2 -20\npair 1 30\nend\n")
write(DOC, "empty-list", "norv-preferred-td-list 1\nmode 0\nlast-borehole-id 0\n"
      "last-td-chart-id 0\nend\n")
write(DOC, "extremes", "norv-preferred-td-list 1\nmode -2147483648\n"
      "last-borehole-id 2147483647\nlast-td-chart-id -1\npair -2147483648 2147483647\nend\n")
write(DOC, "crlf-tabs", "norv-preferred-td-list\t1\r\nmode 2\r\nlast-borehole-id  5\r\n"
      "last-td-chart-id 6\r\n pair 3 4 \r\nend\r\n")
write(DOC, "truncated", "norv-preferred-td-list 1\nmode 1\nlast-borehole-id 42\n"
      "last-td-chart-id 7\npair 1 10\npa")
write(DOC, "newer-version", "norv-preferred-td-list 2\nmode 1\n")
write(DOC, "overflow", "norv-preferred-td-list 1\nmode 1\nlast-borehole-id 2147483648\n")
write(DOC, "after-end", "norv-preferred-td-list 1\nmode 0\nlast-borehole-id 0\n"
      "last-td-chart-id 0\nend\nend\n")
write(DOC, "binary", b"norv-preferred-td-list 1\n\x00\xff\xfe mode \x80\n")

# ---- bytes for the conversions (the first byte also picks a single-byte page)
CONV = "fuzz_conversion"
write(CONV, "ascii", "Hello, world: 0123456789 ~!@#$%^&*()_+{}|:\"<>?")
write(CONV, "utf8", "Grüße, Ωμέγα, Привет, 日本語, 한국어, emoji \U0001F600")
write(CONV, "utf8-invalid", b"\xc3\x28\xa0\xa1\xe2\x28\xa1\xf0\x28\x8c\xbc\xed\xa0\x80\xf8\x88"
      b"\x80\x80\x80\xc0\xaf")
write(CONV, "cp1252-high", bytes(range(0x80, 0x100)) * 2)
write(CONV, "all-bytes", bytes(range(1, 256)) + bytes(range(255, 0, -1)))
write(CONV, "shift-jis", "日本語のテキスト、ｶﾀｶﾅ".encode("cp932") + b"\x81")
write(CONV, "gbk", "简体中文文本".encode("gbk") + b"\xfe")
write(CONV, "big5", "繁體中文文字".encode("big5") + b"\xa1")
write(CONV, "korean", "한국어 텍스트".encode("cp949") + b"\x80\x41")
write(CONV, "with-zeros", b"abc\x00def\x00\x00\xe9\xff" * 9)
write(CONV, "utf16-units", "Zeichen \U0001F600 ".encode("utf-16-le") + b"\x00\xd8A\x00\x00\xdc")

# ---- reply messages: byte 0 the message, byte 1 the culture, then the message


def varint(n):
    n &= (1 << 64) - 1
    out = b""
    while True:
        b = n & 0x7F
        n >>= 7
        if n:
            out += bytes([b | 0x80])
        else:
            return out + bytes([b])


def field(number, payload):  # length-delimited
    return varint(number << 3 | 2) + varint(len(payload)) + payload


def packed_varints(number, values):
    return field(number, b"".join(varint(v) for v in values))


def packed(number, fmt, values):
    return field(number, b"".join(struct.pack("<" + fmt, v) for v in values))


def text(number, s):
    return field(number, s.encode("utf-8") if isinstance(s, str) else s)


WIRE = "fuzz_wire_values"
STRINGS, INT32S, DOUBLES, STRING_RECORDS, DATE_RECORDS, DATE = range(6)
write(WIRE, "strings", bytes([STRINGS, 0]) + field(1, text(1, "Anna") + text(1, "") +
      text(1, "Øyvind \U0001F600") + packed_varints(2, [0, 1, 0])))
write(WIRE, "strings-null-collection", bytes([STRINGS, 0]))
write(WIRE, "strings-bad-nulls", bytes([STRINGS, 0]) + field(1, text(1, "a") +
      packed_varints(2, [1, 0, 1])))
write(WIRE, "strings-bad-utf8", bytes([STRINGS, 0]) + field(1, text(1, b"\xff\xc3(")))
write(WIRE, "int32s", bytes([INT32S, 0]) + field(1, packed_varints(1, [1, 2, -3, 2**31 - 1])))
write(WIRE, "doubles", bytes([DOUBLES, 0]) + field(1, packed(1, "i", [1, 2, 3]) +
      packed(2, "d", [1.5, float("nan"), -0.0]) + packed_varints(3, [0, 0, 1])))
write(WIRE, "doubles-short-column", bytes([DOUBLES, 0]) + field(1, packed(1, "i", [1, 2]) +
      packed(2, "d", [1.5])))
write(WIRE, "string-records", bytes([STRING_RECORDS, 1]) + field(1, packed(1, "i", [5, 6, 7]) +
      text(2, "P50") + text(2, "") + text(2, "") + packed_varints(3, [0, 1, 0]) +
      packed_varints(4, [0, 0, 1])))
write(WIRE, "string-records-bad", bytes([STRING_RECORDS, 1]) + field(1, packed(1, "i", [5, 6]) +
      text(2, "P50")))
columns = [[2011, 1, 2100], [3, 13, 12], [7, 0, 31], [23, 0, 0], [59, 0, 0], [0, 0, 0],
           [0, 0, 0]]
records = packed(1, "i", [1, 2, 3]) + b"".join(
    packed_varints(2 + i, column) for i, column in enumerate(columns))
for culture in range(7):
    write(WIRE, "date-records-%d" % culture, bytes([DATE_RECORDS, culture]) +
          field(1, records + packed_varints(9, [0, 1, 0])))


def date(y, m, d, h=0, mi=0, s=0, ns=0):
    return b"".join(varint((i + 1) << 3) + varint(v)
                    for i, v in enumerate([y, m, d, h, mi, s, ns]) if v)


for culture, (y, m, d) in enumerate([(2011, 3, 7), (1, 1, 1), (9999, 12, 31), (1900, 2, 29),
                                     (-2**31, 2**31 - 1, -2**31), (0, 0, 0), (2**31 - 1, 1, 1)]):
    write(WIRE, "date-%d" % culture, bytes([DATE, culture]) + field(1, date(y, m, d, 12, 30)))

# ---- duplex sessions: byte 0 the side and answer flags, then frames of a
# 2-byte little-endian length and a ClientMessage (host side, even byte 0)
# or a ServerMessage (client side, odd byte 0)
SESSION = "fuzz_duplex_session"


def frames(*messages):
    return b"".join(struct.pack("<H", len(m)) + m for m in messages)


def fixed(number, value):  # varint field
    return varint(number << 3) + varint(value)


def call(id, operation=None, key=None):
    body = fixed(1, id) if id else b""
    if operation is not None:
        body += field(operation, fixed(1, key) if key else b"")
    return field(1, body)


def callback_reply(id, accepted=False, fault=None):
    body = (fixed(1, id) if id else b"") + (fixed(2, 1) if accepted else b"")
    if fault is not None:
        body += field(3, text(1, fault))
    return field(2, body)


SUBSCRIBE, UNSUBSCRIBE, PING = 2, 3, 4
write(SESSION, "host-calls", bytes([0]) + frames(
    call(1, SUBSCRIBE, 4), call(2, PING), call(3, UNSUBSCRIBE, 4), call(4, SUBSCRIBE, 2**31 - 1)))
write(SESSION, "host-callbacks", bytes([6]) + frames(
    call(10, SUBSCRIBE, 1), call(11, SUBSCRIBE, 2), call(12, SUBSCRIBE, 3), call(13, PING)))
write(SESSION, "host-duplicate-ids", bytes([0]) + frames(
    call(5, PING), call(5, PING), call(0, SUBSCRIBE, 0), call(2**64 - 1, PING)))
write(SESSION, "host-no-operation", bytes([0]) + frames(call(8), call(9, PING)))
write(SESSION, "host-stray-callback-replies", bytes([2]) + frames(
    callback_reply(1, True), callback_reply(99, False, "nobody asked"), callback_reply(0),
    call(1, SUBSCRIBE, 5), callback_reply(1, False, "x" * 4000)))
write(SESSION, "host-names-nothing", bytes([0]) + frames(call(1, PING), b"", call(2, PING)))
write(SESSION, "host-unknown-fields", bytes([0]) + frames(
    call(1, PING) + fixed(15, 3) + field(16, b"junk"), field(1, fixed(1, 2) + field(9, b""))))


def reply(id, fault=None):
    body = fixed(1, id) if id else b""
    if fault is not None:
        body += field(2, text(1, fault))
    return field(1, body)


def callback(id, operation=None):
    body = fixed(1, id) if id else b""
    if operation is not None:
        body += field(operation, b"")
    return field(2, body)


REQUEST, FORCE = 2, 3
write(SESSION, "client-plain", bytes([1]))
write(SESSION, "client-fault", bytes([1]) + frames(reply(1, "the service is busy")))
write(SESSION, "client-duplicate-replies", bytes([1]) + frames(
    reply(1), reply(1, "a second answer"), reply(1, "a third")))
write(SESSION, "client-unknown-ids", bytes([1]) + frames(
    reply(2, "not yours"), reply(0), reply(2**64 - 1, "")))
write(SESSION, "client-callbacks", bytes([1]) + frames(
    callback(1, REQUEST), callback(2, FORCE), callback(3), callback(1, REQUEST), reply(1)))
write(SESSION, "client-names-nothing", bytes([1]) + frames(b"", field(7, b"junk"), reply(1)))
write(SESSION, "client-long-fault", bytes([1]) + frames(reply(1, "\u00e9" * 3000)))
