"""Companion files (indexes and other secondary files) on the way into the
sandbox and out of it, through MIVO.run with stand-in tools."""
import json
import os

import pytest

# A tool that reports what it found in its working directory.
LISTER = "print(json.dumps({n: open(n).read() for n in sorted(os.listdir('.'))}))"


def listing(step, tool):
    return json.loads((step.out / "stdout" / f"{tool}_stdout.txt").read_text())


def test_well_known_index_travels_with_its_input(step):
    step.tool("t", LISTER)
    bam = step.file("d/x.bam", "bam")
    step.file("d/x.bam.bai", "bai")
    step.file("d/x.bam.csi", "csi")
    step.file("d/x.bai", "picard bai")
    step.file("d/x.bam.other", "not a companion")
    step.run("t", {"args_template": "view {bam}"}, {"bam": bam})
    # Only the primary reaches the words; its indexes lie beside it.
    assert step.argv("t") == ["view", "x.bam"]
    assert listing(step, "t") == {"x.bam": "bam", "x.bam.bai": "bai", "x.bam.csi": "csi",
                                  "x.bai": "picard bai"}


def test_declared_plain_and_caret_patterns_missing_ones_skipped(step):
    step.tool("t", LISTER)
    ref = step.file("ref.fa", ">r")
    for ext in (".amb", ".ann", ".fai"):
        step.file("ref.fa" + ext, ext)
    step.file("ref.dict", "dict")
    manifest = {"args_template": "mem {ref}",
                "inputs": {"ref": {"type": "file", "secondary_files": [".amb", ".ann", ".bwt?", "^.dict"]}}}
    step.run("t", manifest, {"ref": ref})
    assert listing(step, "t") == {"ref.fa": ">r", "ref.fa.amb": ".amb", "ref.fa.ann": ".ann",
                                  "ref.fa.fai": ".fai", "ref.dict": "dict"}


def test_companions_follow_primaries_renamed_on_a_clash(step):
    # Three call sets of one name: each index lands beside its own copy.
    step.tool("t", LISTER)
    vcfs = []
    for d in ("a", "b", "c"):
        vcfs.append(step.file(f"{d}/calls.vcf.gz", d))
        step.file(f"{d}/calls.vcf.gz.tbi", "index of " + d)
    step.run("t", {"args_template": "merge {vcf}"}, {"vcf": vcfs})
    assert step.argv("t") == ["merge", "calls.vcf.gz", "vcf_calls.vcf.gz", "vcf_2_calls.vcf.gz"]
    found = listing(step, "t")
    for staged, d in (("calls.vcf.gz", "a"), ("vcf_calls.vcf.gz", "b"), ("vcf_2_calls.vcf.gz", "c")):
        assert found[staged] == d and found[staged + ".tbi"] == "index of " + d


def test_an_index_given_as_its_own_input_keeps_its_name(step):
    # Callers that passed the index explicitly keep the words they had.
    step.tool("t", LISTER)
    bam, bai = step.file("x.bam", "bam"), step.file("x.bam.bai", "bai")
    step.run("t", {"args_template": "{bam} {bai}"}, {"bam": bam, "bai": bai})
    assert step.argv("t") == ["x.bam", "x.bam.bai"]
    assert listing(step, "t") == {"x.bam": "bam", "x.bam.bai": "bai"}


def test_output_companions_are_delivered_beside_the_slot_file(step):
    step.tool("t", """
for name, text in [("sorted.bam", "bam"), ("sorted.bam.csi", "csi"), ("sorted.bai", "bai"),
                   ("calls.vcf.gz", "vcf"), ("calls.vcf.gz.tbi", "tbi"), ("calls.statistics", "stats"),
                   ("note.log", "log")]:
    open(name, "w").write(text)
""")
    manifest = {"outputs": {"bam": {}, "calls": {"secondary_files": ["^^.statistics"]}}}
    result = step.run("t", manifest, {})
    out = step.out
    # The mapping still names the primaries only; calls.vcf.gz is the slot's
    # name plus an extension, so it keeps its name and its companions follow it.
    assert result == {"bam": str(out / "bam"), "calls": str(out / "calls.vcf.gz")}
    delivered = {n: (out / n).read_text() for n in os.listdir(out) if (out / n).is_file()}
    assert delivered == {"bam": "bam", "bam.csi": "csi", "bam.bai": "bai", "calls.vcf.gz": "vcf",
                         "calls.vcf.gz.tbi": "tbi", "calls.statistics": "stats"}
    # Companions are not put aside a second time, nor is a primary delivered
    # under its own name; one delivered under the slot's name is, as before.
    assert sorted(os.listdir(out / "_extras")) == ["note.log", "sorted.bam"]


def test_index_written_beside_a_staged_input_is_delivered(step):
    # samtools index {bam}; bwa index {ref}: new files beside the inputs.
    step.tool("t", """
open('x.bam.bai', 'w').write('new index')
for ext in ('.amb', '.ann', '.bwt', '.pac', '.sa'):
    open('ref.fa' + ext, 'w').write(ext)
open('other.txt', 'w').write('other')
""")
    manifest = {"args_template": "index {bam} {ref}",
                "inputs": {"ref": {"secondary_files": [".amb", ".ann", ".bwt", ".pac", ".sa"]}}}
    result = step.run("t", manifest, {"bam": step.file("x.bam"), "ref": step.file("ref.fa")})
    out = step.out
    assert result == {}
    assert (out / "x.bam.bai").read_text() == "new index"
    assert sorted(n for n in os.listdir(out) if n.startswith("ref.fa")) == [
        "ref.fa.amb", "ref.fa.ann", "ref.fa.bwt", "ref.fa.pac", "ref.fa.sa"]
    assert os.listdir(out / "_extras") == ["other.txt"]
    assert not (out / "x.bam").exists()


def test_from_input_delivers_the_input_with_its_new_index(step):
    step.tool("t", "open('x.bam.bai', 'w').write('fresh index')")
    bam = step.file("d/x.bam", "bam data")
    step.file("d/x.bam.csi", "old csi")
    manifest = {"args_template": "index {bam}", "outputs": {"bam": {"from_input": "bam"}}}
    result = step.run("t", manifest, {"bam": bam})
    # The placeholder names the staged input, not the slot.
    assert step.argv("t") == ["index", "x.bam"]
    out = step.out
    assert result == {"bam": str(out / "bam")}
    assert sorted(os.listdir(out)) == ["bam", "bam.bai", "bam.csi"]
    assert (out / "bam").read_text() == "bam data"
    assert (out / "bam.bai").read_text() == "fresh index"
    assert (out / "bam.csi").read_text() == "old csi"


def test_from_input_under_another_slot_name_and_declared_companions(step):
    step.tool("t", "open('ref.fa.sa', 'w').write('sa'); open('ref.dict', 'w').write('d')")
    manifest = {"args_template": "index {fasta} # {indexed}",
                "inputs": {"fasta": {"secondary_files": [".sa"]}},
                "outputs": {"indexed": {"from_input": "fasta", "secondary_files": ["^.dict"]}}}
    result = step.run("t", manifest, {"fasta": step.file("ref.fa", ">r")})
    # The slot's placeholder names the staged input too.
    assert step.argv("t") == ["index", "ref.fa", "#", "ref.fa"]
    assert result == {"indexed": str(step.out / "indexed")}
    assert sorted(os.listdir(step.out)) == ["indexed", "indexed.dict", "indexed.sa"] and \
        (step.out / "indexed.dict").read_text() == "d"


@pytest.mark.parametrize("inputs, expected", [
    ({}, None),                          # no such input
    ({"bam": "not a path"}, None),       # a scalar is not staged
])
def test_from_input_without_a_staged_file_delivers_nothing(step, inputs, expected):
    step.tool("t", "print('ran')")
    result = step.run("t", {"outputs": {"bam": {"from_input": "bam"}}}, inputs)
    assert result == {"bam": expected, "stdout": str(step.out / "stdout" / "t_stdout.txt")}


@pytest.mark.parametrize("made, expected", [
    (["x.bam", "x.bam.bai"], "x.bam.bai"),
    (["calls.csi"], "calls.csi"),
    (["a.bai", "b.bai"], None),          # two candidates: nothing, as before
    (["xbai"], None),                    # no "." before the slot name
])
def test_slot_takes_the_one_file_ending_in_its_name(step, fake_run, made, expected):
    fake_run.action = lambda sandbox: [(sandbox / n).write_text(n) for n in made]
    slot = "csi" if expected == "calls.csi" else "bai"
    result = step.run("t", {"outputs": {slot: {}}}, {})
    if expected is None:
        assert result == {slot: None}
    else:
        assert result == {slot: str(step.out / slot)}
        assert (step.out / slot).read_text() == expected


@pytest.mark.parametrize("manifest, error, message", [
    ({"inputs": {"ref": {"secondary_files": ".fai"}}}, TypeError,
     "secondary_files of input 'ref' must be a list of patterns, got str"),
    ({"outputs": {"bam": {"secondary_files": [".bai", 3]}}}, TypeError,
     "secondary_files of output 'bam' must hold patterns (str), got int"),
    ({"outputs": {"bam": {"secondary_files": ["^"]}}}, ValueError,
     "Companion pattern '^' of output 'bam' names no file: it names no suffix"),
    ({"inputs": {"ref": {"secondary_files": ["/../../x"]}}}, ValueError,
     "Companion pattern '/../../x' of input 'ref' names no file: a companion lies beside its file"),
    ({"outputs": {"bam": {"from_input": 1}}}, TypeError,
     "from_input of output 'bam' must name an input (a str), got int"),
])
def test_bad_companion_keys_are_refused_before_the_tool_runs(step, fake_run, manifest, error, message):
    with pytest.raises(error) as info:
        step.run("t", manifest, {"ref": step.file("ref.fa")})
    assert str(info.value).startswith(message)
    assert fake_run.calls == []


def test_from_input_of_a_list_with_several_files_is_refused(step, fake_run):
    with pytest.raises(ValueError, match="from_input of output 'bam' names input 'bams', which holds 2 files"):
        step.run("t", {"outputs": {"bam": {"from_input": "bams"}}},
                 {"bams": [step.file("a.bam"), step.file("b.bam")]})
    assert fake_run.calls == []


@pytest.mark.parametrize("inputs_value", [["ref"], {"ref": "a file"}, {"ref": {"secondary_files": None}}, None])
def test_manifests_without_the_new_keys_run_as_before(step, inputs_value):
    step.tool("t", LISTER)
    step.run("t", {"args_template": "{ref}", "inputs": inputs_value}, {"ref": step.file("ref.txt", "r")})
    assert step.argv("t") == ["ref.txt"]
    assert listing(step, "t") == {"ref.txt": "r"}


def test_companions_that_lead_out_of_the_sandbox_are_never_read(step, tmp_path):
    secret = tmp_path / "secret"
    secret.write_text("host secret")
    step.tool("t", f"""
os.symlink({str(secret)!r}, 'x.bam.bai')
os.symlink({str(secret)!r}, 'out.bam.csi')
open('out.bam', 'w').write('bam')
os.remove('y.bam'); os.symlink({str(secret)!r}, 'y.bam')
""")
    manifest = {"outputs": {"out": {}, "y": {"from_input": "y"}}}
    result = step.run("t", manifest, {"x": step.file("x.bam"), "y": step.file("y.bam")})
    assert result == {"out": str(step.out / "out.bam"), "y": None}
    found = [p for p in step.out.rglob("*") if p.is_file()]
    assert all(p.read_text() != "host secret" for p in found)
    assert sorted(p.name for p in found) == ["out.bam"]
