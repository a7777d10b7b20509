"""The description built the plain way, in Python: os.walk, the first lines
read in-process as `head -n N` gives them, the format told by the first
bytes, the standard library's decompressors, and the host's repr. Tests
compare the module against it on every rule and text; the benchmark times it
as the baseline."""
from __future__ import annotations

import bz2
import codecs
import io
import itertools
import lzma
import os
import re
import struct
import zlib

MAGIC_BYTES = 32
DECOMPRESS_STEP = 512
DECOMPRESSED_BYTES = 4096
CHUNK = 128 * 1024
INDEX_SUFFIXES = (".bai", ".crai", ".csi", ".tbi", ".fai", ".gzi")
# Controls mark binary data; tab, line feed and carriage return are text.
CONTROL = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\x7f-\x9f]")
STREAM_MAGIC = {"gzip": b"\x1f\x8b", "bzip2": b"BZh", "xz": b"\xfd7zXZ\x00"}
INDEXES = {b"BAI\x01": "BAI index (BAM index)",
           b"CSI\x01": "CSI index (coordinate-sorted index)",
           b"TBI\x01": "TBI index (tabix index)"}


def first_lines(f, n):
    """What `head -n n` prints of a binary file object."""
    return b"".join(itertools.islice(iter(f.readline, b""), n))


def _is_bgzf(h):
    if len(h) < 12 or not h[3] & 4:
        return False
    extra = h[12:12 + (h[10] | h[11] << 8)]
    while len(extra) >= 4:
        if extra[:2] == b"BC":
            return True
        extra = extra[4 + (extra[2] | extra[3] << 8):]
    return False


def detect_raw(h):
    """(format name or "", compression or None) from a file's first bytes."""
    if h[:2] == b"\x1f\x8b":
        return ("BGZF-compressed (bgzip, reads as gzip)" if _is_bgzf(h)
                else "gzip-compressed"), "gzip"
    if (len(h) >= 10 and h[:3] == b"BZh" and h[3:4] in b"123456789" and h[3:4]
            and h[4:10] in (b"\x31\x41\x59\x26\x53\x59", b"\x17\x72\x45\x38\x50\x90")):
        return "bzip2-compressed", "bzip2"
    if h[:6] == b"\xfd7zXZ\x00":
        return "xz-compressed", "xz"
    if h[:4] == b"BAM\x01":
        return "BAM (binary alignments, uncompressed)", None
    if h[:4] == b"BCF\x02":
        return "BCF (binary variant calls, uncompressed)", None
    if len(h) >= 6 and h[:4] == b"CRAM" and 1 <= h[4] <= 9:
        return f"CRAM {h[4]}.{h[5]} (compressed alignments)", None
    if h[:4] in INDEXES:
        return INDEXES[h[:4]], None
    for magic, name in ((b"\x28\xb5\x2f\xfd", "zstd-compressed"), (b"PK\x03\x04", "zip archive"),
                        (b"\x89PNG", "PNG image"), (b"%PDF-", "PDF document"),
                        (b"\x89HDF", "HDF5 data")):
        if h.startswith(magic):
            return name, None
    return "", None


def detect_inside(h):
    if h[:4] == b"BAM\x01":
        return "BAM (binary alignments, BGZF-compressed)"
    if h[:4] == b"BCF\x02":
        return "BCF (binary variant calls, BGZF-compressed)"
    return INDEXES.get(h[:4], "")


def _decompressor(kind):
    if kind == "gzip":
        return zlib.decompressobj(16 + zlib.MAX_WBITS)
    return bz2.BZ2Decompressor() if kind == "bzip2" else lzma.LZMADecompressor(lzma.FORMAT_XZ)


def decompressed_start(f, kind, lines):
    """The start of the data over all its streams, decompressed in steps of
    DECOMPRESS_STEP bytes until it holds `lines` line breaks or
    DECOMPRESSED_BYTES bytes; None when the data is corrupt or cut before its
    first lines are whole."""
    magic = STREAM_MAGIC[kind]
    out = bytearray()
    d = _decompressor(kind)
    data = f.read(CHUNK)
    at_end = not data
    limit = 0
    try:
        while out.count(b"\n") < lines and len(out) < DECOMPRESSED_BYTES:
            limit = min(limit + DECOMPRESS_STEP, DECOMPRESSED_BYTES)
            while len(out) < limit:
                if d is None:  # a stream ended: another follows only behind its magic
                    while True:
                        if kind == "gzip":
                            data = data.lstrip(b"\0")
                        if len(data) >= len(magic) or at_end:
                            break
                        more = f.read(CHUNK)
                        at_end = not more
                        data += more
                    if data[:len(magic)] != magic[:len(data)]:
                        return None if kind == "gzip" else bytes(out)
                    if len(data) < len(magic):
                        return bytes(out)
                    d = _decompressor(kind)
                if data or (kind != "gzip" and not d.needs_input):
                    out += d.decompress(data, limit - len(out))
                    data = d.unconsumed_tail if kind == "gzip" else b""
                    if d.eof:
                        data, d = d.unused_data, None
                        continue
                    if len(out) >= limit or data or (kind != "gzip" and not d.needs_input):
                        continue
                if at_end:  # cut inside a stream
                    return bytes(out) if out.count(b"\n") >= lines else None
                data = f.read(CHUNK)
                at_end = not data
    except (OSError, EOFError, zlib.error, lzma.LZMAError):
        return None
    return bytes(out)


def text_of(raw, cut=False):
    """The text of first lines, or None when they are not text."""
    try:
        text = codecs.getincrementaldecoder("utf-8")().decode(raw, final=not cut)
    except UnicodeDecodeError:
        return None
    if CONTROL.search(text):
        return None
    return text.replace("\r\n", "\n").replace("\r", "\n")


def look(path, lines, chars):
    """(format, preview or None, decompressed) of a regular file."""
    if not os.path.isfile(path):
        return "", None, False
    try:
        with open(path, "rb") as f:
            fmt, kind = detect_raw(f.read(MAGIC_BYTES))
            f.seek(0)
            if kind:
                start = decompressed_start(f, kind, lines)
                if start is None:
                    return fmt, None, False
                if detect_inside(start):
                    return detect_inside(start), None, False
                text = text_of(first_lines(io.BytesIO(start), lines),
                               cut=len(start) >= DECOMPRESSED_BYTES)
            elif fmt:
                return fmt, None, False
            else:
                text = text_of(first_lines(f, lines))
    except OSError:
        return "", None, False
    preview = text.strip()[:chars] if text else ""
    return fmt, preview or None, bool(kind and preview)


def companions(path):
    found = [path + s for s in INDEX_SUFFIXES if os.path.isfile(path + s)]
    name = os.path.basename(path)
    if len(name) > 4 and name.endswith(".bam") and os.path.isfile(path[:-4] + ".bai"):
        found.append(path[:-4] + ".bai")
    return found


def describe_dir(label, d, lines):
    found = []
    for root, _dirs, files in os.walk(d):
        for f in files:
            found.append(os.path.join(root, f))
    found = sorted(found)[:30]
    rel = [os.path.relpath(p, d) for p in found]
    lines.append(f"  {label} = {d!r}  [directory, files: {rel!r}]")
    for p, r in zip(found, rel):
        fmt, preview, _ = look(p, 3, 200)
        if fmt:
            lines.append(f"    {r!r}: [{fmt}]" + (f" {preview}" if preview else ""))
        elif preview:
            lines.append(f"    {r!r}: {preview}")


def build(data, header="ACTUAL UPSTREAM OUTPUT at runtime:"):
    lines = [header]
    for k, v in data.items():
        if isinstance(v, str) and os.path.isdir(v):
            describe_dir(k, v, lines)
        elif isinstance(v, str) and os.path.isfile(v):
            fmt, preview, decompressed = look(v, 5, 400)
            shown = f", format: {fmt}" if fmt else ""
            lines.append(f"  {k} = {v!r}  [file, size: {os.path.getsize(v)} bytes{shown}]")
            if found := companions(v):
                lines.append(f"    companion files: {found!r}")
            if preview:
                what = "first 5 lines (decompressed)" if decompressed else "first 5 lines"
                lines.append(f"    {what}:\n      " + preview)
        elif (isinstance(v, list) and v
              and all(isinstance(x, str) and os.path.isdir(x) for x in v)):
            lines.append(f"  {k} = list of {len(v)} directories:")
            for i, x in enumerate(v):
                describe_dir(f"{k}[{i}]", x, lines)
        elif isinstance(v, list) and v and isinstance(v[0], str) and os.path.isfile(v[0]):
            lines.append(f"  {k} = list of {len(v)} files, e.g. {v[:3]!r}")
        else:
            lines.append(f"  {k} = {repr(v)[:120]}")
    return "\n".join(lines)


def bgzf(data: bytes) -> bytes:
    """One BGZF block (a gzip member with the "BC" extra field) per 64 KiB,
    then the empty end-of-file block, as bgzip writes them."""
    out = b""
    for start in range(0, len(data), 65280):
        piece = data[start:start + 65280]
        c = zlib.compressobj(6, zlib.DEFLATED, -15)
        body = c.compress(piece) + c.flush()
        out += (b"\x1f\x8b\x08\x04\x00\x00\x00\x00\x00\xff\x06\x00BC\x02\x00"
                + struct.pack("<H", len(body) + 25) + body
                + struct.pack("<II", zlib.crc32(piece), len(piece)))
    return out + bytes.fromhex("1f8b08040000000000ff0600424302001b0003000000000000000000")
