# SPDX-License-Identifier: MIT
"""The sample datagrams of the discovery protocol (datagrams.txt beside this
module): real datagrams captured from devfinder, read by the tests of every
codec in the tree (the daemon's records, devsearch, camdisco, the dissector).
docs/protocol.md shows the same bytes (section "Captured datagrams");
scripts/protocol_capture.py writes both.

    sample = load()["search_reply"]      # Sample(name, what, data)
    sample.data[16:28]                   # b"192.168.1.10"

The file: a line "name: what it is" starts a datagram, lines of "offset  hex
bytes" (16 bytes a line, the offset in hex) hold its bytes, a blank line ends
it; lines starting with "#" are comments.
"""

import collections
import os
import re

PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "datagrams.txt")

Sample = collections.namedtuple("Sample", "name what data")

_START = re.compile(r"^([a-z0-9_]+): (.+)$")
_BYTES = re.compile(r"^([0-9a-f]{4})((?:  ?[0-9a-f]{2})+)$")
# A line of the docs' dumps: offset, the hex bytes in columns 6-52, the text.
_DUMP = re.compile(r"^([0-9a-f]{4})  ([0-9a-f ]{47})  ")


def parse(text):
    """{name: Sample} of the file's text, in the file's order; ValueError naming
    the line of anything else."""
    samples = collections.OrderedDict()
    current = None
    for number, line in enumerate(text.splitlines(), 1):
        start, row = _START.match(line), _BYTES.match(line)
        if not line.strip():
            current = None
        elif line.startswith("#"):
            continue
        elif start and current is None and start.group(1) not in samples:
            current = samples[start.group(1)] = Sample(start.group(1), start.group(2),
                                                       bytearray())
        elif row and current is not None and int(row.group(1), 16) == len(current.data):
            current.data.extend(bytes.fromhex(row.group(2)))
        else:
            raise ValueError("datagrams line %d: %r" % (number, line))
    return collections.OrderedDict(
        (name, s._replace(data=bytes(s.data))) for name, s in samples.items())


def load(path=PATH):
    with open(path) as f:
        return parse(f.read())


HEADER = """# SPDX-License-Identifier: MIT
# Discovery datagrams captured from the real devfinder: a client at 192.168.1.50
# and a camera at 192.168.1.10 (account admin, password 1234) on one link, in the
# order they travelled. docs/protocol.md (section "Captured datagrams") shows the
# same bytes, and a test checks that the two agree; scripts/protocol_capture.py
# writes both (--samples). Read by tests/lib/datagrams.py and datagrams.h.
#
# A line "name: what it is" starts a datagram; lines of "offset  hex bytes" (16
# bytes a line, the offset in hex) hold its bytes; a blank line ends it.
"""


def format_file(samples):
    """The file's text for samples, a list of Sample."""
    out = [HEADER]
    for name, what, data in samples:
        rows = ["%04x  %s" % (off, " ".join("%02x" % b for b in data[off:off + 16]))
                for off in range(0, len(data), 16)]
        out.append("\n%s: %s\n%s\n" % (name, what, "\n".join(rows)))
    return "".join(out)


def docs_dumps(markdown):
    """The bytes of every hex dump in a markdown text (docs/protocol.md), in order."""
    dumps, current = [], None
    for line in markdown.splitlines():
        m = _DUMP.match(line + "  ")
        if m and (current is not None or m.group(1) == "0000"):
            if m.group(1) == "0000":
                current = bytearray()
                dumps.append(current)
            current.extend(bytes.fromhex(m.group(2)))
        else:
            current = None
    return [bytes(d) for d in dumps]
