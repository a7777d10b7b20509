"""exec, shell, the registry queries and show-text parsing, through the
repository's local mivo; and a project round trip with it."""
import tomllib

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from plexaro.helpers.mivo import MIVO


@pytest.mark.parametrize("call, words", [
    (lambda m: m.exec("echo a  b; exit 0"), ["exec", "--", "bash", "-c", "echo a  b; exit 0"]),
    (lambda m: m.exec("echo", "a  b"), ["exec", "echo", "a  b"]),
    (lambda m: m.exec("true", "x", "y"), ["exec", "true", "x", "y"]),
    (lambda m: m.shell(), ["shell"]),
    (lambda m: m.shell(None), ["shell"]),
    (lambda m: m.shell(""), ["shell"]),
    (lambda m: m.shell(shell="zsh"), ["shell", "--shell", "zsh"]),
    (lambda m: m.search("fold"), ["search", "fold"]),
    (lambda m: m.search("fold", ""), ["search", "fold"]),
    (lambda m: m.search("fold", tier="core"), ["search", "fold", "--tier", "core"]),
    (lambda m: m.show("echoer"), ["show", "echoer"]),
    (lambda m: m.show("echoer", ""), ["show", "echoer"]),
    (lambda m: m.show("echoer", fmt="json"), ["show", "echoer", "--format", "json"]),
    (lambda m: m.info("copier"), ["info", "copier"]),
    (lambda m: m.list_tools(), ["list"]),
    (lambda m: m.list_tools([]), ["list"]),
    (lambda m: m.list_tools("yes"), ["list", "--binaries"]),
    (lambda m: m.list_tools(binaries=1), ["list", "--binaries"]),
    (lambda m: m.parse_show("gpu-folder"), ["show", "gpu-folder"]),
])
def test_words_sent(local_mivo, call, words):
    call(MIVO())
    assert local_mivo.argvs() == [words]


@pytest.mark.parametrize("call, words, options", [
    (lambda m: m.exec("ls -l"), ["exec", "--", "bash", "-c", "ls -l"], {}),
    (lambda m: m.search("q", "t"), ["search", "q", "--tier", "t"],
     {"capture_output": True, "text": True}),
    (lambda m: m.show("t"), ["show", "t"], {"capture_output": True, "text": True}),
    (lambda m: m.info("t"), ["info", "t"], {"capture_output": True, "text": True}),
    (lambda m: m.list_tools(), ["list"], {"capture_output": True, "text": True}),
])
def test_commands_go_through_the_hosts_run(monkeypatch, call, words, options):
    seen = []
    record = object()

    def fake_run(self, cmd, **kwargs):
        seen.append((cmd, kwargs))
        return record

    monkeypatch.setattr(MIVO, "_run", fake_run)
    assert call(MIVO()) is record
    assert seen == [(words, options)]


def test_exec_passes_status_and_streams(local_mivo):
    m = MIVO()
    assert m.exec("printf", "%s|", "one two", "three").stdout == "one two|three|"
    with pytest.raises(RuntimeError) as caught:
        m.exec("echo out; echo err >&2; exit 5")
    assert str(caught.value) == ("mivo exec -- bash -c echo out; echo err >&2; exit 5 "
                                 "failed (exit 5):\nSTDOUT: out\n\nSTDERR: err\n")


def test_shell_returns_none(local_mivo):
    assert MIVO().shell("sh") is None


def test_queries_return_the_record_untouched(local_mivo):
    m = MIVO()
    assert m.search("o", "core").stdout == "copier\tCopies one file to another\n" \
                                           "echoer\tPrints its message\n"
    assert m.list_tools().stdout == "copier\nechoer\ngpu-folder\n"
    assert "Tier: core" in m.info("copier").stdout
    shown = m.show("echoer")
    assert shown.args == ["mivo", "show", "echoer"] and shown.returncode == 0
    assert "Image: docker.io/plexaro-samples/echoer:1.0\n" in shown.stdout


def test_query_failure_raises(local_mivo):
    with pytest.raises(RuntimeError, match=r"^mivo show nope failed \(exit 1\):\nSTDOUT: \n"
                                           r"STDERR: mivo: unknown tool 'nope'"):
        MIVO().parse_show("nope")


def test_parse_show_reads_the_registry(local_mivo):
    m = MIVO()
    assert m.parse_show("gpu-folder") == {
        "image": "docker.io/plexaro-samples/gpu-folder:0.3", "entrypoint": "true",
        "args_template": "--in {input_dir} --out {output_dir}", "gpu_required": True}
    assert m.parse_show("echoer")["gpu_required"] is False


def test_parse_show_goes_through_the_hosts_show(monkeypatch):
    class Shown:
        stdout = "Entrypoint: patched"

    monkeypatch.setattr(MIVO, "show", lambda self, tool: Shown)
    assert MIVO().parse_show("x")["entrypoint"] == "patched"


# --- show text --------------------------------------------------------------------------

@pytest.mark.parametrize("text, expected", [
    ("", {}),
    ("   Image:    repo/tool:1.2   \n", {"image": "repo/tool:1.2"}),
    ("Image:", {"image": ""}),
    ("image: x\nENTRYPOINT: y\nargs template: z", {}),
    ("Entrypoint: a\nEntrypoint:  b ", {"entrypoint": "b"}),
    ("Args template: -i {in}\r\nImage: r", {"args_template": "-i {in}", "image": "r"}),
    ("Image: a\u2028Entrypoint: b\u2029Args template: c\x85GPU: yes, true",
     {"image": "a", "entrypoint": "b", "args_template": "c", "gpu_required": True}),
    ("Image: a\x1cEntrypoint: b\x0bArgs template: c\x0cgpu required",
     {"image": "a", "entrypoint": "b", "args_template": "c", "gpu_required": True}),
    ("GPU: not required", {"gpu_required": True}),
    ("gpu: False", {}),
    ("GPU\nrequired", {}),
    ("Image: gpu true", {"image": "gpu true"}),
    ("GPU: TRUE\nGPU: no", {"gpu_required": True}),
    ("\u3000Image:\u00a0r\u2003", {"image": "r"}),
])
def test_parse_show_text(text, expected):
    result = MIVO().parse_show_text(text)
    assert list(result) == ["image", "entrypoint", "args_template", "gpu_required"]
    assert result == {"image": None, "entrypoint": None, "args_template": None,
                      "gpu_required": False, **expected}


def reference_parse(text):
    """The rules written out in plain host code, to compare against."""
    out = {"image": None, "entrypoint": None, "args_template": None, "gpu_required": False}
    for line in text.splitlines():
        line = line.strip()
        for label, key in (("Image:", "image"), ("Entrypoint:", "entrypoint"),
                           ("Args template:", "args_template")):
            if line.startswith(label):
                out[key] = line[len(label):].strip()
                break
        else:
            low = line.lower()
            if "gpu" in low and ("required" in low or "true" in low):
                out["gpu_required"] = True
    return out


PIECES = st.sampled_from(["Image:", "Entrypoint:", "Args template:", "GPU", "gpu", "Required",
                          "true", "image:", " ", "\t", "\n", "\r", "\r\n", "\x0b", "\x1c",
                          "\x1f", "\x85", "\xa0", "\u2028", "\u2029", "\u3000", "\u0130",
                          "\u212a", "x", "\ud800", "é"])


@settings(max_examples=300, deadline=None)
@given(st.lists(st.one_of(PIECES, st.text(max_size=3)), max_size=25).map("".join))
def test_parse_show_text_matches_the_host_rules(text):
    assert MIVO().parse_show_text(text) == reference_parse(text)


# --- typed parameters ---------------------------------------------------------------------

class Text(str):
    pass


@pytest.mark.parametrize("call, name, got", [
    (lambda m: m.exec(1), "command", "int"),
    (lambda m: m.exec(None, "x"), "command", "NoneType"),
    (lambda m: m.shell(1), "shell", "int"),
    (lambda m: m.search(None), "query", "NoneType"),
    (lambda m: m.search(Text("q")), "query", "Text"),
    (lambda m: m.search("q", tier=2), "tier", "int"),
    (lambda m: m.show(b"t"), "tool", "bytes"),
    (lambda m: m.show("t", fmt=["json"]), "fmt", "list"),
    (lambda m: m.info(None), "tool", "NoneType"),
    (lambda m: m.parse_show_text(None), "text", "NoneType"),
    (lambda m: m.parse_show_text(b"Image: x"), "text", "bytes"),
    (lambda m: m.parse_show(3), "tool", "int"),
])
def test_typed_parameters(local_mivo, call, name, got):
    with pytest.raises(TypeError) as caught:
        call(MIVO())
    assert str(caught.value) == f"Argument '{name}' has incorrect type (expected str, got {got})"
    assert local_mivo.calls() == []


# --- a project with the local mivo ----------------------------------------------------

def test_project_round_trip(local_mivo, monkeypatch, tmp_path):
    volume = tmp_path / "vol"
    monkeypatch.setenv("PIPELINE_VOLUME_PATH", str(volume))
    m = MIVO(backend="docker")
    home = volume / ".mivo_home"

    m._run(["add", "echoer", "copier", "--backend", "docker"])
    lock = tomllib.loads((home / "mivo.lock").read_text())
    assert set(lock["tools"]) == {"echoer", "copier"}
    assert lock["tools"]["echoer"]["image_reference"] == "docker.io/plexaro-samples/echoer:1.0"
    assert lock["tools"]["echoer"]["image_digest"].startswith("sha256:")
    assert (home / ".mivo").is_dir()
    assert m._run(["lock", "--check"]).returncode == 0

    entry = m.parse_show("echoer")
    assert m.exec(entry["entrypoint"], "hello").stdout == "hello\n"

    # The manifest loses a tool behind the lockfile's back: the check fails until a sync.
    manifest = home / "mivo.toml"
    manifest.write_text(manifest.read_text().split("[tools.copier]")[0])
    with pytest.raises(RuntimeError, match="mivo lock --check failed \\(exit 1\\)"):
        m._run(["lock", "--check"])
    with pytest.raises(RuntimeError, match="does not match"):
        m._run(["sync", "--frozen"])
    m._run(["sync", "--backend", "docker"])
    m._run(["lock", "--check"])
    assert set(tomllib.loads((home / "mivo.lock").read_text())["tools"]) == {"echoer"}

    m._run(["remove", "echoer"])
    assert tomllib.loads(manifest.read_text())["tools"] == {}
    with pytest.raises(RuntimeError, match="is not in mivo.toml"):
        m._run(["remove", "echoer"])
    assert all(call["cwd"] == str(home) for call in local_mivo.calls())


def test_local_registry_must_be_a_directory(local_mivo, monkeypatch):
    monkeypatch.setenv("MIVO_REGISTRY", "https://example.invalid/registry.git")
    with pytest.raises(RuntimeError, match="is not a local directory"):
        MIVO().list_tools()
    local_mivo.add_tool("late", entrypoint="cat")
    monkeypatch.setenv("MIVO_REGISTRY", str(local_mivo.registry))
    assert "late: cat" in MIVO().list_tools(True).stdout
