"""Which names outputs take: "{slot}" with a declared extension, files
delivered under slot + extension, directory slots the tool makes itself,
and the staged names the next step sees. Stand-in tools first, then
Debian's real tools where they pick a type by the file name."""
import gzip
import os
import shutil
import subprocess

import pytest

from plexaro.helpers.vantum import build_vantum

# Writes the file named after "-o" and prints the files it was given.
WRITER = """
out = sys.argv[sys.argv.index("-o") + 1]
open(out, "w").write("data")
print(" ".join(sorted(os.listdir("."))))
"""


@pytest.mark.parametrize("record, word", [
    ({}, "trimmed"),                                              # as always
    ({"extension": ".fq.gz"}, "trimmed.fq.gz"),
    ({"extension": "fq.gz"}, "trimmed.fq.gz"),                    # the "." may be left out
    ({"extension": True, "format": "fastq.gz"}, "trimmed.fastq.gz"),
    ({"extension": False, "format": "fastq.gz"}, "trimmed"),
    ({"format": "fastq.gz"}, "trimmed"),                          # a format alone changes nothing
    ({"extension": ".fq.gz", "from_input": "reads"}, "r.fq"),     # handed on: the input's name
])
def test_the_slot_is_written_with_its_extension_and_delivered_under_it(step, record, word):
    step.tool("t", WRITER)
    manifest = {"args_template": "-o {trimmed} {reads}", "outputs": {"trimmed": record}}
    result = step.run("t", manifest, {"reads": step.file("r.fq")})
    assert step.argv("t") == ["-o", word, "r.fq"]
    delivered = word if word != "r.fq" else "trimmed"
    assert result == {"trimmed": str(step.out / delivered)}
    assert not (step.out / "_extras").exists()


def test_streams_land_under_the_extension_and_the_next_step_stages_that_name(step):
    step.tool("t", "print('a\\tb'); print('warn', file=sys.stderr)")
    manifest = {"args_template": "x > {counts} 2> {log}",
                "outputs": {"counts": {"extension": ".tsv"}, "log": {"extension": True, "format": "txt"}}}
    result = step.run("t", manifest, {}, str(step.out / "1"))
    assert result == {"counts": str(step.out / "1" / "counts.tsv"), "log": str(step.out / "1" / "log.txt")}
    assert (step.out / "1" / "counts.tsv").read_text() == "a\tb\n"
    # The next step sees the delivered name (type and all), and so does the
    # description of the step's outputs.
    step.tool("u", WRITER)
    step.run("u", {"args_template": "-o o {table}"}, {"table": result["counts"]}, str(step.out / "2"))
    assert step.argv("u") == ["-o", "o", "counts.tsv"]
    assert f"counts = {str(step.out / '1' / 'counts.tsv')!r}  [file, size: 4 bytes]" in build_vantum(result)


@pytest.mark.parametrize("record, error, message", [
    ({"extension": 3}, TypeError, "extension of output 'o' must be a file extension (a str such as \".fq.gz\") or True, got int"),
    ({"extension": ".a b"}, ValueError, "extension of output 'o' must be a file extension such as \".fq.gz\""),
    ({"extension": "../x"}, ValueError, "extension of output 'o' must be a file extension"),
    ({"extension": True, "format": "BAM/SAM"}, ValueError, "extension of output 'o' is true, but its format 'BAM/SAM' does not read"),
    ({"extension": True}, ValueError, "extension of output 'o' is true, but its format None"),
    ({"type": "dir", "create": "no"}, TypeError, "create of output 'o' must be True or False, got str"),
])
def test_bad_naming_keys_are_refused_before_the_tool_runs(step, fake_run, record, error, message):
    with pytest.raises(error) as info:
        step.run("t", {"outputs": {"o": record}}, {})
    assert str(info.value).startswith(message)
    assert fake_run.calls == []


@pytest.mark.parametrize("record, body, warned", [
    ({"format": "fastq.gz"}, "open('t', 'w').write('@r')", True),       # fastp without ".gz" in the name
    ({"format": "fastq.gz"}, "open('t', 'wb').write(b'\\x1f\\x8b')", False),
    ({"format": "fastq.gz", "extension": True}, "open('t.fastq.gz', 'w').write('@r')", False),
    ({"format": "fastq"}, "open('t', 'w').write('@r')", False),
])
def test_a_plain_file_for_a_gzip_format_is_warned_about(step, records, record, body, warned):
    step.tool("t", body)
    step.run("t", {"args_template": "x", "outputs": {"t": record}}, {})
    warnings = [r for r in records("plexaro.helpers.mivo") if r[0] == "WARNING"]
    assert warnings == ([("WARNING", "Output %s is declared as %s but is not gzip-compressed; a tool that "
                          "chooses its output type by the file name needs \"extension\" in that output's "
                          "record", ("t", "fastq.gz"))] if warned else [])


# Refuses an existing output directory, as megahit does, and makes it otherwise.
MAKES_ITS_OWN = """
d = os.path.abspath(sys.argv[-1])
if os.path.exists(d):
    sys.exit(f"Output directory {d} already exists, please change the parameter -o")
os.makedirs(d); open(os.path.join(d, "contigs.fa"), "w").write(">c")
"""


@pytest.mark.parametrize("record, makes", [({"type": "dir", "create": False}, True),
                                           ({"type": "dir", "create": False}, False),
                                           ({"type": "dir"}, True)])
def test_directory_slot_the_tool_makes_itself(step, record, makes):
    step.tool("asm", MAKES_ITS_OWN if makes else "pass")
    manifest = {"args_template": "-o {assembly}", "outputs": {"assembly": record}}
    if record.get("create", True):
        with pytest.raises(RuntimeError) as info:
            step.run("asm", manifest, {})
        assert str(info.value).endswith(
            "\nThe output directory 'assembly' was made empty before the tool ran; a tool that makes its "
            "own output directory needs \"create\": false in that output's record.")
        return
    result = step.run("asm", manifest, {})
    if makes:
        assert result == {"assembly": str(step.out / "assembly")}
        assert (step.out / "assembly" / "contigs.fa").read_text() == ">c"
    else:
        assert result == {"assembly": None} and not step.out.exists()


def test_a_failure_that_names_no_made_directory_is_left_as_it_is(step):
    step.tool("t", "sys.exit('bad input')")
    with pytest.raises(RuntimeError) as info:
        step.run("t", {"args_template": "-o {qc}", "outputs": {"qc": {"type": "dir"}}}, {})
    assert "create" not in str(info.value)


# --- Debian's tools, which choose what they write by the file name ------------------------------

def needs(*tools):
    missing = [t for t in tools if shutil.which(t) is None]
    return pytest.mark.skipif(bool(missing), reason=f"{', '.join(missing)} not installed (scripts/install-tools)")


FASTQ = "".join(f"@r{i}\n{'ACGTTGCAAC' * 5}\n+\n{'I' * 50}\n" for i in range(20))
SAM = "@HD\tVN:1.6\tSO:unsorted\n@SQ\tSN:chr1\tLN:1000\n" + "".join(
    f"r{i}\t0\tchr1\t{100 + i}\t60\t8M\t*\t0\t0\tACGTACGT\tIIIIIIII\n" for i in range(5))


@needs("fastp", "seqkit")
def test_fastp_compresses_by_the_declared_extension_and_seqkit_reads_it_on(step):
    reads = step.file("reads.fq", FASTQ)
    qc = step.run("fastp", {"args_template": "-i {reads} -o {trimmed} -j {report} -h {html} -w 1",
                            "outputs": {"trimmed": {"format": "fastq.gz", "extension": True},
                                        "report": {"extension": ".json"}, "html": {"extension": ".html"}}},
                  {"reads": reads}, str(step.out / "qc"))
    trimmed = step.out / "qc" / "trimmed.fastq.gz"
    assert qc["trimmed"] == str(trimmed)
    assert gzip.decompress(trimmed.read_bytes()).decode().count("\n") == 80
    stats = step.run("seqkit", {"args_template": "stats -T {reads} > {table}", "outputs": {"table": {}}},
                     {"reads": qc["trimmed"]}, str(step.out / "stats"))
    assert open(stats["table"]).read().splitlines()[1].split("\t")[:4] == ["trimmed.fastq.gz", "FASTQ", "DNA", "20"]


@needs("samtools")
@pytest.mark.parametrize("extension, magic", [(".bam", b"\x1f\x8b"), (".sam", b"r0\t"), (".cram", b"CRAM")])
def test_samtools_view_writes_the_type_its_name_asks_for(step, extension, magic):
    sam = step.file("reads.sam", SAM)
    result = step.run("samtools", {"args_template": "samtools view -o {aln} {sam}",
                                   "outputs": {"aln": {"extension": extension}}}, {"sam": sam})
    assert result == {"aln": str(step.out / ("aln" + extension))}
    assert (step.out / ("aln" + extension)).read_bytes().startswith(magic)


@needs("megahit")
@pytest.mark.parametrize("create", [True, False])
def test_megahit_makes_its_own_output_directory(step, create):
    reads = step.file("reads.fq", "".join(
        f"@r{i}\n{('ACGTTGCAACGGATTACCAGT' * 10)[i % 50:i % 50 + 100]}\n+\n{'I' * 100}\n" for i in range(200)))
    record = {"type": "dir"} if create else {"type": "dir", "create": False}
    manifest = {"args_template": "-r {reads} -o {assembly} -t 1", "outputs": {"assembly": record}}
    if create:
        with pytest.raises(RuntimeError, match="already exists(.|\n)*\"create\": false"):
            step.run("megahit", manifest, {"reads": reads})
    else:
        result = step.run("megahit", manifest, {"reads": reads})
        assert result == {"assembly": str(step.out / "assembly")}
        assert (step.out / "assembly" / "final.contigs.fa").exists()
