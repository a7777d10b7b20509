"""The example pipeline (examples/pipeline.py) run as a user runs it, checked by its files."""
import http.server
import importlib.util
import json
import os
import shutil
import subprocess
import sys
import threading
from pathlib import Path

import pytest

from plexaro.helpers import condition  # where the layer is: in place or installed

REPO = Path(__file__).resolve().parents[3]
EXAMPLE = REPO / "examples" / "pipeline.py"
SHIPPED = REPO / "examples" / "data" / "proteins.fa"
KEY_VARIABLES = ("ANTHROPIC_API_KEY", "OPENAI_API_KEY", "GEMINI_API_KEY", "GOOGLE_API_KEY")
EDGES = ["edge_input_to_count", "edge_input_to_long", "edge_input_to_split",
         "edge_measure_to_rank", "edge_rank_to_long", "edge_split_to_measure"]

SHORT = ">alpha first\nMKTAYIAKQR\n>beta second\nMKV\n>gamma third\nMAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\n"


def records_of(text):
    lines = [line for line in text.splitlines() if line.strip()]
    return [(head[1:].split()[0], len(seq)) for head, seq in zip(lines[::2], lines[1::2])]


def ranked(records):
    return sorted(records, key=lambda row: (-row[1], row[0]))


@pytest.fixture
def run_example(tmp_path):
    """Runs the example in a child process with the stand-in LLM; returns (process, workdir).

    TMPDIR points at an outside directory that must stay empty: the run keeps
    every file in its work directory.
    """
    outside = tmp_path / "outside"
    outside.mkdir()
    env = {k: v for k, v in os.environ.items()
           if k not in KEY_VARIABLES and k != "PIPELINE_VOLUME_PATH"}
    # The child imports the same plexaro as this test (in place or installed).
    env["PYTHONPATH"] = str(Path(condition.__file__).resolve().parents[2])
    env["TMPDIR"] = str(outside)

    def run(*args, workdir=None, extra_env=None, stand_in=True):
        workdir = workdir or tmp_path / "work"
        child_env = {**env, **(extra_env or {})}
        process = subprocess.run(
            [sys.executable, str(EXAMPLE), "--workdir", str(workdir),
             *(["--stand-in"] if stand_in else []), *args],
            env={k: v for k, v in child_env.items() if v is not None},
            capture_output=True, text=True, timeout=120)
        assert list(outside.iterdir()) == []
        return process, workdir

    return run


def test_short_run_delivers_each_steps_outputs(run_example, tmp_path):
    fasta = tmp_path / "short.fa"
    fasta.write_text(SHORT)
    process, work = run_example("--input", str(fasta), "--min-length", "10")
    assert process.returncode == 0, process.stderr
    expected = ranked(records_of(SHORT))

    records = sorted((work / "steps" / "split" / "records").iterdir())
    assert [p.name for p in records] == ["seq_000.fa", "seq_001.fa", "seq_002.fa"]
    assert "".join(p.read_text() for p in records) == SHORT
    assert (work / "steps" / "count" / "count").read_text().strip() == "3"
    assert (work / "steps" / "measure" / "lengths").read_text() == "alpha\t10\nbeta\t3\ngamma\t30\n"
    assert (work / "steps" / "rank" / "ranked").read_text() == "".join(
        f"{name}\t{length}\n" for name, length in expected)
    assert (work / "steps" / "long" / "selected").read_text() == "gamma\t30\nalpha\t10\n"

    summary = json.loads((work / "summary.json").read_text())
    assert summary["records"] == 3 and summary["total_residues"] == 43
    assert summary["branch"] == {"condition": "Condition('>=', 10).check(30)", "taken": True}
    assert summary["steps_run"] == ["split", "count", "measure", "rank", "long"]
    # One LLM call per downstream node: the two edges into "long" share one.
    assert summary["llm"] == "stand-in" and summary["llm_requests"] == 5
    assert summary["connectors"] == EDGES
    # Sandboxes are gone after successful steps.
    assert list((work / "tmp" / "plexaro_sandboxes").iterdir()) == []

    out = process.stdout
    assert "loopback vendor stand-in" in out and "not written by a model" in out
    assert "$ mivo exec split -l 2 -d -a 3 --additional-suffix=.fa short.fa records/seq_" in out
    assert "$ mivo exec sort -k2,2nr -k1,1 -o ranked lengths" in out
    assert "$ mivo exec awk -v min=10 '$2 >= min' ranked" in out
    assert "| def edge_split_to_measure(output: dict) -> dict:" in out
    assert "written now, with edge_input_to_long in the same call" in out


def test_shipped_data_ranks_all_ten_proteins(run_example):
    process, work = run_example()
    assert process.returncode == 0, process.stderr
    expected = ranked(records_of(SHIPPED.read_text()))
    summary = json.loads((work / "summary.json").read_text())
    assert [tuple(row) for row in summary["ranked"]] == expected
    assert [tuple(row) for row in summary["long"]] == [row for row in expected if row[1] >= 100]
    assert summary["input"] == str(SHIPPED)


def test_branch_not_taken_skips_the_last_step(run_example, tmp_path):
    fasta = tmp_path / "short.fa"
    fasta.write_text(SHORT)
    process, work = run_example("--input", str(fasta), "--min-length", "31")
    assert process.returncode == 0, process.stderr
    summary = json.loads((work / "summary.json").read_text())
    assert summary["branch"] == {"condition": "Condition('>=', 31).check(30)", "taken": False}
    assert summary["steps_skipped"] == ["long"] and summary["long"] == []
    assert summary["llm_requests"] == 4
    assert not (work / "steps" / "long").exists()
    assert "no protein reaches 31 residues" in process.stdout


class _Zenodo(http.server.BaseHTTPRequestHandler):
    """Answers as the proxy every link goes through; serves SHORT for any .fa path."""

    def log_message(self, *args):
        pass

    def do_GET(self):
        self.server.requests.append(self.path)
        body = SHORT.encode() if self.path.endswith(".fa") else b""
        self.send_response(200 if body else 404)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def test_input_given_as_a_zenodo_link_is_downloaded_once(run_example):
    proxy = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Zenodo)
    proxy.requests = []
    threading.Thread(target=proxy.serve_forever, args=(0.05,), daemon=True).start()
    link = "http://zenodo.org/records/42/files/short.fa"
    try:
        process, work = run_example(
            "--input", link, extra_env={"http_proxy": f"http://127.0.0.1:{proxy.server_port}",
                                        "HTTP_PROXY": "", "no_proxy": "127.0.0.1,localhost"})
    finally:
        proxy.shutdown()
        proxy.server_close()
    assert process.returncode == 0, process.stderr
    assert proxy.requests == [link]
    downloaded = work / "downloads" / "short.fa"
    assert downloaded.read_text() == SHORT
    summary = json.loads((work / "summary.json").read_text())
    assert summary["input"] == str(downloaded) and summary["records"] == 3
    assert f"input: {link}\n  -> downloaded to downloads/short.fa" in process.stdout


def broken_registry(tmp_path):
    registry = tmp_path / "registry"
    shutil.copytree(REPO / "examples" / "registry", registry)
    tool = registry / "sort-table.toml"
    tool.write_text(tool.read_text().replace('"-k2,2nr', '"--no-such-option -k2,2nr'))
    return registry


@pytest.mark.parametrize("case, status, message", [
    ("failing step", 1, "step 'rank' (sort-table) failed:\nmivo exec sort --no-such-option"),
    ("missing input", 2, "is neither an existing file nor a Zenodo or Dropbox link"),
    ("wrapped FASTA", 2, "is not a FASTA file with one sequence line per record (line 3: 'LLA')"),
    ("blank line", 2, "is not a FASTA file with one sequence line per record (line 3: '')"),
    ("CRLF", 2, "has carriage returns"),
    ("link that fails", 1, "could not download the input http://zenodo.org/records/1/files/x.fa"),
    ("used workdir", 2, "exists and is not an empty directory"),
])
def test_failures_exit_non_zero_with_a_clear_message(run_example, tmp_path, case, status, message):
    args, workdir, extra_env = [], None, {}
    if case == "failing step":
        args = ["--registry", str(broken_registry(tmp_path))]
    elif case == "missing input":
        args = ["--input", str(tmp_path / "nowhere.fa")]
    elif case == "wrapped FASTA":
        wrapped = tmp_path / "wrapped.fa"
        wrapped.write_text(">a\nMKV\nLLA\n")
        args = ["--input", str(wrapped)]
    elif case in ("blank line", "CRLF"):
        odd = tmp_path / "odd.fa"
        odd.write_bytes(b">a\nMKV\n\n>b\nMK\n" if case == "blank line" else b">a\r\nMKV\r\n")
        args = ["--input", str(odd)]
    elif case == "link that fails":
        # A proxy nobody listens on: the download fails at once.
        args = ["--input", "http://zenodo.org/records/1/files/x.fa"]
        extra_env = {"http_proxy": "http://127.0.0.1:9", "no_proxy": "127.0.0.1,localhost"}
    elif case == "used workdir":
        workdir = tmp_path / "used"
        workdir.mkdir()
        (workdir / "keep.txt").write_text("mine")
    process, work = run_example(*args, workdir=workdir, extra_env=extra_env)
    assert process.returncode == status
    assert message in process.stderr
    assert not (work / "summary.json").exists()
    if case == "failing step":
        # The steps before the failing one delivered their outputs.
        assert (work / "steps" / "measure" / "lengths").is_file()
        assert not (work / "steps" / "long").exists()
        # ... and the failed step's sandbox stays, with its staged input.
        kept = process.stderr.split("its sandbox is kept for inspection: ")[1].splitlines()[0]
        assert sorted(p.name for p in Path(kept).iterdir()) == ["lengths"]
    if case == "used workdir":
        assert sorted(p.name for p in work.iterdir()) == ["keep.txt"]


def example_module():
    spec = importlib.util.spec_from_file_location("example_pipeline_under_test", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # its dataclass looks itself up there
    try:
        spec.loader.exec_module(module)
    finally:
        del sys.modules[spec.name]
    return module


@pytest.mark.parametrize("answers", ["connectors for the pipeline", "connectors that supply nothing",
                                     "an error status"])
def test_with_a_key_the_example_talks_to_that_vendor(run_example, tmp_path, answers):
    from support.vendor_stub import Reply, VendorStub

    fasta = tmp_path / "short.fa"
    fasta.write_text(SHORT)
    with VendorStub() as vendor:
        if answers == "connectors for the pipeline":
            vendor.responder = example_module().stand_in_reply
        elif answers == "an error status":
            vendor.default_text = Reply(status=401, message="invalid x-api-key")
        else:
            vendor.default_text = "def anything(output: dict) -> dict:\n    return {}\n"
        process, work = run_example("--input", str(fasta), "--min-length", "10", stand_in=False,
                                    extra_env=vendor.environment(provider="anthropic"))
    assert {request.vendor for request in vendor.requests} == {"anthropic"}
    assert "LLM: anthropic claude-haiku-4-5-20251001 (API key from the environment)" in process.stdout
    assert "stand-in" not in process.stdout
    if answers == "connectors for the pipeline":
        assert process.returncode == 0, process.stderr
        summary = json.loads((work / "summary.json").read_text())
        assert summary["llm"] == "vendor" and summary["llm_requests"] is None
        assert len(vendor.requests) == 5
        # Each prompt carries build_vantum's picture of what the upstream wrote.
        measure = next(r.prompt for r in vendor.requests if "names: edge_split_to_measure." in r.prompt)
        assert "ADDITIONAL CONTEXT:\nACTUAL UPSTREAM OUTPUT at runtime:\n  records = '" in measure
        assert "'seq_002.fa': >gamma third" in measure
    elif answers == "an error status":
        assert process.returncode == 1
        assert ("the LLM could not write the connector input -> split: AuthenticationError:"
                in process.stderr and "invalid x-api-key" in process.stderr)
    else:
        # The model's code defines none of the asked names: the first edge has no function.
        assert process.returncode == 1
        assert "connector edge_input_to_split cannot be loaded" in process.stderr
        assert len(vendor.requests) == 1
