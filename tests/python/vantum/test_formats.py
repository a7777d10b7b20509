"""Binary formats named on the file's line, compressed text previewed after
decompression, control characters keeping binary data out of the text, and
the companions listed beside a file."""
import bz2
import gzip
import io
import lzma
import os
import shutil
import subprocess
import zipfile

import pytest

from plexaro.helpers.vantum import build_vantum
from support.vantum_head_model import bgzf

HEADER = "ACTUAL UPSTREAM OUTPUT at runtime:"
FASTQ = "@r1\nACGT\n+\nIIII\n@r2\nTTGA\n+\nJJJJ\n"


def zip_bytes():
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as z:
        z.writestr("a.txt", "inside\n")
    return buf.getvalue()


# Hand-made samples: each format's magic bytes and a little of what follows.
BINARY_SAMPLES = {
    "BAM (binary alignments, BGZF-compressed)": bgzf(b"BAM\x01\x10\x00\x00\x00@HD\tVN:1.6\n"),
    "BAM (binary alignments, uncompressed)": b"BAM\x01\x10\x00\x00\x00@HD\tVN:1.6\n",
    "BCF (binary variant calls, BGZF-compressed)": bgzf(b"BCF\x02\x02\x20\x00\x00\x00##fileformat"),
    "BCF (binary variant calls, uncompressed)": b"BCF\x02\x02\x20\x00\x00\x00##fileformat=VCFv4.2\n",
    "CRAM 3.1 (compressed alignments)": b"CRAM\x03\x01" + b"file-id".ljust(20, b"\0"),
    "BAI index (BAM index)": b"BAI\x01\x01\x00\x00\x00\x02\x00\x00\x00",
    "CSI index (coordinate-sorted index)": bgzf(b"CSI\x01\x0e\x00\x00\x00\x05\x00\x00\x00"),
    "TBI index (tabix index)": bgzf(b"TBI\x01\x01\x00\x00\x00\x02\x00\x00\x00"),
    "zstd-compressed": bytes.fromhex("28b52ffd2004410000746578740a"),
    "zip archive": zip_bytes(),
    "PNG image": b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR\x00\x00\x00\x01",
    "PDF document": b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n1 0 obj\n<< /Type /Catalog >>\nendobj\n",
    "HDF5 data": b"\x89HDF\r\n\x1a\n\x00\x00\x00\x00\x00\x08\x08\x00",
    "gzip-compressed": gzip.compress(b"\x00\x01binary inside\x00"),
    "BGZF-compressed (bgzip, reads as gzip)": bgzf(b"\x00\x01binary inside\x00"),
    "bzip2-compressed": bz2.compress(b"\x00\x01binary inside\x00"),
    "xz-compressed": lzma.compress(b"\x00\x01binary inside\x00"),
}


def put(path, content: bytes):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(content)
    return str(path)


@pytest.mark.parametrize("name", BINARY_SAMPLES)
def test_binary_format_named_on_the_file_line_and_in_a_directory(tmp_path, name):
    f = put(tmp_path / "out", BINARY_SAMPLES[name])
    d = tmp_path / "d"
    put(d / "out", BINARY_SAMPLES[name])
    size = len(BINARY_SAMPLES[name])
    assert build_vantum({"o": f, "d": str(d)}).split("\n")[1:] == [
        f"  o = {f!r}  [file, size: {size} bytes, format: {name}]",
        f"  d = {str(d)!r}  [directory, files: ['out']]",
        f"    'out': [{name}]",
    ]


COMPRESSORS = {
    "gzip-compressed": gzip.compress,
    "BGZF-compressed (bgzip, reads as gzip)": bgzf,
    "bzip2-compressed": bz2.compress,
    "xz-compressed": lzma.compress,
}


@pytest.mark.parametrize("name", COMPRESSORS)
def test_compressed_text_previews_its_first_decompressed_lines(tmp_path, name):
    packed = COMPRESSORS[name](FASTQ.encode())
    f = put(tmp_path / "reads.fq.x", packed)
    d = tmp_path / "d"
    put(d / "reads.fq.x", packed)
    assert build_vantum({"r": f, "d": str(d)}).split("\n", 1)[1] == "\n".join([
        f"  r = {f!r}  [file, size: {len(packed)} bytes, format: {name}]",
        "    first 5 lines (decompressed):",
        "      @r1", "ACGT", "+", "IIII", "@r2",
        f"  d = {str(d)!r}  [directory, files: ['reads.fq.x']]",
        f"    'reads.fq.x': [{name}] @r1", "ACGT", "+",
    ])


def test_concatenated_streams_read_as_one_text(tmp_path):
    lines = [f"line {i}\n".encode() for i in range(5)]
    cases = {
        "gz": b"".join(gzip.compress(x) for x in lines),
        "bgzf": b"".join(bgzf(x) for x in lines),   # an end block between each
        "bz2": b"".join(bz2.compress(x) for x in lines),
        "xz": b"".join(lzma.compress(x) for x in lines),
    }
    for kind, packed in cases.items():
        f = put(tmp_path / kind, packed)
        assert build_vantum({"f": f}).endswith(
            "first 5 lines (decompressed):\n      line 0\nline 1\nline 2\nline 3\nline 4"), kind


def test_only_the_first_four_kib_are_decompressed(tmp_path):
    # One long line: the preview is cut from the first 4 KiB, and a character
    # split by that bound does not spoil it.
    body = "a" * 4095 + "é" + "\x00" * 100
    f = put(tmp_path / "long.gz", gzip.compress(body.encode()))
    assert build_vantum({"f": f}).split("\n")[2:] == [
        "    first 5 lines (decompressed):", "      " + "a" * 400]
    # Binary data after the bound is never seen either.
    g = put(tmp_path / "late.gz", gzip.compress(b"x\n" * 3000 + b"\x00" * 10))
    assert build_vantum({"g": g}).endswith("      x\nx\nx\nx\nx")


SHORT = b"@r1\nACGT\n"   # fewer lines than a preview shows


@pytest.mark.parametrize("packed", [
    gzip.compress(SHORT)[:-12],                   # cut inside the stream
    gzip.compress(SHORT)[:-8] + b"\0\0\0\0\0\0\0\0",  # wrong check sum
    gzip.compress(SHORT) + b"junk after the member",
    bz2.compress(SHORT)[:-10],
    lzma.compress(SHORT)[:-10],
    b"\x1f\x8b\x08\x00" + b"\xff" * 40,
])
def test_corrupt_or_cut_compressed_data_gets_its_format_but_no_preview(tmp_path, packed):
    f = put(tmp_path / "bad", packed)
    lines = build_vantum({"f": f}).split("\n")
    assert len(lines) == 2
    assert lines[1].startswith(f"  f = {f!r}  [file, size: {len(packed)} bytes, format: ")


@pytest.mark.parametrize("pack, shown", [
    (gzip.compress, True), (lzma.compress, True),
    (bz2.compress, False),   # nothing of a bzip2 block comes out before its end
])
def test_a_cut_file_still_shows_the_lines_it_holds_whole(tmp_path, pack, shown):
    packed = pack(FASTQ.encode() + os.urandom(10000))   # binary after the lines
    f = put(tmp_path / "cut", packed[:-20])
    assert build_vantum({"f": f}).endswith(
        "first 5 lines (decompressed):\n      @r1\nACGT\n+\nIIII\n@r2") == shown


def test_padding_after_compressed_streams_is_not_data(tmp_path):
    f = put(tmp_path / "padded.gz", gzip.compress(b"text\n") + b"\0" * 16)
    g = put(tmp_path / "padded.xz", lzma.compress(b"text\n") + b"\0" * 16)
    assert build_vantum({"f": f, "g": g}).split("\n")[3::3] == ["      text", "      text"]


@pytest.mark.parametrize("content", [
    b"before\x00after\n", b"bell\x07\n", b"vertical\x0btab\n", b"form\x0cfeed\n",
    b"escape \x1b[31mred\n", b"sep\x1c\n", b"delete\x7f\n", b"next line \xc2\x85\n",
    b"c1 \xc2\x9f\n",
])
def test_control_characters_mean_no_text_preview(tmp_path, content):
    f = put(tmp_path / "f", content)
    d = tmp_path / "d"
    put(d / "f", b"x\n" * 2 + content)   # the third line holds the control
    assert build_vantum({"f": f, "d": str(d)}).split("\n")[1:] == [
        f"  f = {f!r}  [file, size: {len(content)} bytes]",
        f"  d = {str(d)!r}  [directory, files: ['f']]",
    ]


def test_tab_carriage_return_and_controls_past_the_first_lines_are_text(tmp_path):
    f = put(tmp_path / "f", b"a\tb\r\n1\n2\n3\n4\n\x00\x01 binary tail")
    assert build_vantum({"f": f}).endswith("first 5 lines:\n      a\tb\n1\n2\n3\n4")
    g = put(tmp_path / "g", b"a\tb\r\n1\n2\n3\n4 \x00\x01 binary tail")
    assert build_vantum({"g": g}).split("\n")[1:] == [f"  g = {g!r}  [file, size: 27 bytes]"]


def test_companions_listed_on_the_line_after_the_file(tmp_path):
    bam = put(tmp_path / "bam", b"BAM\x01")
    for suffix in (".csi", ".bai", ".gzi"):
        put(tmp_path / ("bam" + suffix), b"BAI\x01")
    (tmp_path / "bam.tbi").mkdir()                       # not a file
    os.symlink(tmp_path / "gone", tmp_path / "bam.fai")  # dangling
    os.mkfifo(tmp_path / "bam.crai")                     # never a companion
    sorted_bam = put(tmp_path / "x.bam", b"BAM\x01")
    alt = put(tmp_path / "x.bai", b"BAI\x01")
    fa = put(tmp_path / "ref.fa", b">c\nACGT\n")
    fai = put(tmp_path / "ref.fa.fai", b"c\t4\t3\t4\t5\n")
    put(tmp_path / "bare.bai", b"BAI\x01")
    bare = put(tmp_path / ".bam", b"BAM\x01")             # no stem: bare.bai is unrelated
    lines = build_vantum({"bam": bam, "x": sorted_bam, "ref": fa, "bare": bare}).split("\n")
    assert lines[1:] == [
        f"  bam = {bam!r}  [file, size: 4 bytes, format: BAM (binary alignments, uncompressed)]",
        f"    companion files: {[bam + '.bai', bam + '.csi', bam + '.gzi']!r}",
        f"  x = {sorted_bam!r}  [file, size: 4 bytes, format: BAM (binary alignments, uncompressed)]",
        f"    companion files: {[alt]!r}",
        f"  ref = {fa!r}  [file, size: 8 bytes]",
        f"    companion files: {[fai]!r}",
        "    first 5 lines:", "      >c", "ACGT",
        f"  bare = {bare!r}  [file, size: 4 bytes, format: BAM (binary alignments, uncompressed)]",
    ]


# --- samples written by the field's real tools --------------------------------------

TOOLS = ("samtools", "bcftools", "bgzip", "tabix")
SAM = ("@HD\tVN:1.6\tSO:coordinate\n@SQ\tSN:chr1\tLN:40\n"
       "r1\t0\tchr1\t1\t60\t4M\t*\t0\t0\tACGT\tIIII\n")
VCF = ("##fileformat=VCFv4.2\n##contig=<ID=chr1,length=40>\n"
       "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\nchr1\t5\t.\tA\tG\t50\tPASS\t.\n")


@pytest.fixture(scope="module")
def real_samples(tmp_path_factory):
    missing = [t for t in TOOLS if not shutil.which(t)]
    if missing:
        pytest.skip(f"not installed: {missing}")
    d = tmp_path_factory.mktemp("real")
    (d / "ref.fa").write_text(">chr1\n" + "ACGT" * 10 + "\n")
    (d / "a.sam").write_text(SAM)
    (d / "c.vcf").write_text(VCF)

    def sh(cmd):
        subprocess.run(cmd, shell=True, cwd=d, check=True, timeout=60,
                       stdin=subprocess.DEVNULL, capture_output=True)

    sh("samtools view -b -o a.bam a.sam && samtools index a.bam")
    sh("samtools index -c -o a.bam.csi a.bam")
    sh("samtools view -C -T ref.fa -o a.cram a.bam && samtools faidx ref.fa")
    sh("bcftools view -Ob -o c.bcf c.vcf && bcftools index c.bcf")
    sh("bcftools view -Ou c.vcf > u.bcf")
    sh("bgzip -c c.vcf > c.vcf.gz && tabix -p vcf c.vcf.gz")
    return d


def test_real_tool_outputs_are_named_and_previewed(real_samples):
    p = lambda name: str(real_samples / name)  # noqa: E731
    size = lambda name: os.path.getsize(p(name))  # noqa: E731
    data = {k: p(k) for k in ("a.bam", "a.bam.bai", "a.bam.csi", "a.cram", "c.bcf",
                              "c.bcf.csi", "u.bcf", "c.vcf.gz", "c.vcf.gz.tbi")}
    lines = build_vantum(data).split("\n")[1:]

    def file_line(k, fmt):
        return f"  {k} = {p(k)!r}  [file, size: {size(k)} bytes, format: {fmt}]"
    assert lines == [
        file_line("a.bam", "BAM (binary alignments, BGZF-compressed)"),
        f"    companion files: {[p('a.bam.bai'), p('a.bam.csi')]!r}",
        file_line("a.bam.bai", "BAI index (BAM index)"),
        file_line("a.bam.csi", "CSI index (coordinate-sorted index)"),
        file_line("a.cram", "CRAM 3.0 (compressed alignments)"),
        file_line("c.bcf", "BCF (binary variant calls, BGZF-compressed)"),
        f"    companion files: {[p('c.bcf.csi')]!r}",
        file_line("c.bcf.csi", "CSI index (coordinate-sorted index)"),
        file_line("u.bcf", "BCF (binary variant calls, uncompressed)"),
        file_line("c.vcf.gz", "BGZF-compressed (bgzip, reads as gzip)"),
        f"    companion files: {[p('c.vcf.gz.tbi')]!r}",
        "    first 5 lines (decompressed):",
        *("      " + VCF).rstrip("\n").split("\n"),
        file_line("c.vcf.gz.tbi", "TBI index (tabix index)"),
    ]


def test_uncompressed_bcf_puts_no_raw_bytes_into_the_text(real_samples, tmp_path):
    u = str(real_samples / "u.bcf")
    d = tmp_path / "d"
    d.mkdir()
    shutil.copy(u, d)
    size = os.path.getsize(u)
    assert build_vantum({"bcf": u, "d": str(d)}).split("\n")[1:] == [
        f"  bcf = {u!r}  [file, size: {size} bytes, format: BCF (binary variant calls, uncompressed)]",
        f"  d = {str(d)!r}  [directory, files: ['u.bcf']]",
        "    'u.bcf': [BCF (binary variant calls, uncompressed)]",
    ]
