#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/ (run it again after
changing an input format; the files are kept in the repository)."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data.encode() if isinstance(data, str) else data)


# ---- parent link: receives of (u16 length, bytes) ----
def packet(target, command, payload=b"", length=None):
    total = 16 + len(payload) if length is None else length
    return struct.pack("<IIII", total, target, command, 0) + payload


def receives(*chunks):
    return b"".join(struct.pack("<H", len(c)) + c for c in chunks)


params = packet(0, 7, b"ovrimd\x001.0.0\x00Background:true")
to_one = packet(0x00100000, 1, b"status")
to_two = packet(0x00200000, 3, b"x" * 40)
write("parent_link_fuzzer", "parameters", receives(params))
write("parent_link_fuzzer", "stop", receives(packet(0, 8)))
write("parent_link_fuzzer", "two_in_one", receives(to_one + to_two))
write("parent_link_fuzzer", "split", receives(to_one[:5], to_one[5:17], to_one[17:] + to_two[:20], to_two[20:]))
write("parent_link_fuzzer", "no_payload_7", receives(packet(0x00100000, 7)))
write("parent_link_fuzzer", "unknown_target", receives(packet(0x7FF00000, 1, b"abc"), to_one))
write("parent_link_fuzzer", "too_long", receives(packet(0x00100000, 1, b"", 65537) + to_one, to_two))
write("parent_link_fuzzer", "too_short", receives(packet(0x00100000, 1, b"", 3) + to_one))
largest = packet(0x00100000, 1, b"p" * 65520)
write("parent_link_fuzzer", "largest", receives(largest[:30000], largest[30000:]))
write("parent_link_fuzzer", "cut_off", receives(to_two[:30]))
write("parent_link_fuzzer", "no_ioctl", receives(packet(0x00300000, 1, b"abc")))

# ---- XML files: one byte of where (1 core.xml, 2 pending, 4 product.xml), then the contents ----
core = ('<oDVR Delta="0"><Memory ID="-2147483648" Throttling="0"/><Modules><Module ID="-2147483648" Name="Core">'
        '<Plugin ID="-2147483648" LogLevel="0" LogLevelDefault="-1"/><Plugin ID="262144" LogLevel="-1" '
        'LogLevelDefault="40"/><Plugin ID="1" LogLevel="5"/></Module></Modules></oDVR>\n')
write("xml_file_fuzzer", "core", b"\x01" + core.encode())
write("xml_file_fuzzer", "pending", b"\x03" + core.encode())
write("xml_file_fuzzer", "pending_cut", b"\x02" + core[:60].encode())
write("xml_file_fuzzer", "product", b"\x04" + b'<Root><Product Family="x" Version="1.2"/></Root>')
write("xml_file_fuzzer", "no_odvr", b"\x01" + b"<Other/>")
write("xml_file_fuzzer", "depth_100", b"\x01" + (b"<a>" * 100 + b"</a>" * 100))
write("xml_file_fuzzer", "depth_101", b"\x01" + (b"<a>" * 101 + b"</a>" * 101))
write("xml_file_fuzzer", "depth_deep_open", b"\x01" + b"<a>" * 20000)
write("xml_file_fuzzer", "depth_hidden",
      b"\x01" + b"<!-- <a><a> -->" + b"<a x='<b>'>" * 99 + b"<![CDATA[<c><c>]]>" + b"</a>" * 99)
write("xml_file_fuzzer", "declaration", b"\x01<?xml version=\"1.0\"?><!DOCTYPE x><oDVR><Memory Throttling=\"abc\"/></oDVR>")
# TinyXML reads UTF-8 after a byte-order mark or a declaration and steps over a lead byte and the
# bytes it announces; the core reads byte by byte, as its depth scan counts.
BOM = b"\xef\xbb\xbf"
write("xml_file_fuzzer", "bom_lead_bytes", b"\x01" + BOM + b"<a>\xe0</a>" * 101 + b"</a>" * 101)
# A character reference that runs to a later ";" hides the tags between it and there.
write("xml_file_fuzzer", "reference_span", b"\x01" + b'<a v="&#x1"/></a>x1;">' * 101)
write("xml_file_fuzzer", "declaration_lead_bytes",
      b"\x01<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + b"<a x=\"\xf0\"><b>\xc3</b>" * 60 + b"</a>" * 60)
write("xml_file_fuzzer", "saved_utf8",
      b"\x01<?xml ?>\n<oDVR Delta=\"0\">\n    <Modules>\n        <Module ID=\"-2147483648\" Name=\"Core\" "
      b"Version=\"2.0-\xc3\xa9\">\n            <Plugin ID=\"262144\" Filename=\"\xe2\x82\xac.so\" LogLevel=\"10\" />\n"
      b"        </Module>\n    </Modules>\n</oDVR>\n")
write("xml_file_fuzzer", "product_latin1", b"\x04" + BOM + b'<Root><Product Family="x" Version="2.0-\xe9"/></Root>')
# The depth oracle alone reads the same texts without the byte of where.
for name in sorted(os.listdir(os.path.join(HERE, "corpus", "xml_file_fuzzer"))):
    with open(os.path.join(HERE, "corpus", "xml_file_fuzzer", name), "rb") as f:
        write("xml_depth_fuzzer", name, f.read()[1:])

# ---- configuration change documents ----
write("config_change_fuzzer", "change",
      '<oDVR Delta="1"><Modules><Module><Plugin ID="262144" LogLevel="10"/></Module></Modules></oDVR>')
write("config_change_fuzzer", "reset",
      '<x Delta="1"><Modules><Module><Plugin ID="327680" LogLevel="-1"/><Plugin ID="-2147483648" LogLevel="0"/>'
      '</Module><Module><Plugin ID="16646144" LogLevel="100"/></Module></Modules></x>')
write("config_change_fuzzer", "out_of_range",
      '<oDVR Delta="1"><Modules><Module><Plugin ID="1" LogLevel="10"/><Plugin ID="262144" LogLevel="101"/>'
      '<Plugin ID="16711680" LogLevel="5"/></Module></Modules></oDVR>')
write("config_change_fuzzer", "full_state", '<oDVR Delta="0"><Modules/></oDVR>')
write("config_change_fuzzer", "deep", '<oDVR Delta="1">' + "<a>" * 150)


# ---- PluginEvent: a setup byte, then operations ----
def op(selector, etype=0, flags=0, provider=0, stream=0, key=0, level=0, data=b""):
    return struct.pack("<BIIIIBIH", selector, etype, flags, provider, stream, key, level, len(data)) + data


DELIVER = bytes([0x0C])
P0, P1 = 0, 1  # fake plugin numbers, as providerID with selector bits 0-1 = 1
log_line = op(0x01, 0x40, 0x02, P0, level=50, data=b"a log line without its zero" * 3)
long_line = op(0x01, 0x40, 0x02, P0, level=50, data=b"L" * 600)
query = op(0x01, 0x40, 0x01, P1)
key_frame = op(0x01, 0x01, 0x01000001, P0, key=1, data=b"\x01key" * 10)
frame = op(0x01, 0x01, 0x01000001, P0, key=0, data=b"\x03delta" * 10)
audio = op(0x01, 0x02, 0x01000001, P0, data=b"\x02audio" * 8)
config = op(0x01, 0x100, 0x10, P1, data=b'\x01<oDVR Delta="1"><Modules><Module><Plugin ID="1179648" LogLevel="0"/>'
            b"</Module></Modules></oDVR>")
parent = op(0x01, 0x2000, 0, P0, data=b"to the parent")
stream_open = op(0x02, 0x01, 0x01000001, 0, stream=7, data=b"open")
stream_close = op(0x02, 0x1000, 0, 0, stream=7)
stream_event = op(0x11, 0x01, 0, P0, stream=7, data=b"\x01x")
release_kept = op(0x49, 0, 0, P0)
release_twice = op(0x89, 0, 0, P0)
release_foreign = op(0xC9, 0, 0, P0)
release_unknown = op(0x09, 0, 0, 0x12345678)
write("plugin_event_fuzzer", "media", b"\x00" + key_frame + frame + audio + DELIVER + release_kept + frame)
write("plugin_event_fuzzer", "throttled", b"\x01" + key_frame + frame + audio)
write("plugin_event_fuzzer", "logs", b"\x00" + log_line + long_line + query + DELIVER + log_line)
write("plugin_event_fuzzer", "config", b"\x00" + config + DELIVER + release_kept + config)
write("plugin_event_fuzzer", "parent", b"\x02" + parent + parent + op(0x01, 0x2000, 0, P0))
write("plugin_event_fuzzer", "no_parent", b"\x00" + parent)
write("plugin_event_fuzzer", "streams", b"\x00" + stream_open + stream_event + stream_close + stream_event)
write("plugin_event_fuzzer", "releases",
      b"\x00" + key_frame + key_frame + config + DELIVER + release_twice + release_foreign + release_unknown + release_kept)
write("plugin_event_fuzzer", "known_types",
      b"\x00" + b"".join(op(0x05, t, 0x01000012, P0, data=bytes([t & 0xFF, 1, 2])) for t in range(15)) + DELIVER)
