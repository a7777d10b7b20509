import bz2
import gzip
import lzma
import os
import socket
import subprocess
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from support import vantum_head_model as head_model
from plexaro.helpers import vantum
from plexaro.helpers.vantum import _describe_dir, build_vantum

HEADER = "ACTUAL UPSTREAM OUTPUT at runtime:"


def write(path, content="", mode="w"):
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, mode) as f:
        f.write(content)
    return str(path)


def test_worked_example(tmp_path):
    o = tmp_path / "o"
    write(o / "x.txt", "hello\nworld\n")
    write(o / "sub" / "y.csv", "a,b\n")
    reads = [write(tmp_path / f"{n}.fq", "@r\nACGT\n") for n in "abcd"]
    text = build_vantum({"out_dir": str(o), "reads": reads, "n": 5})
    assert text.split("\n") == [
        "ACTUAL UPSTREAM OUTPUT at runtime:",
        f"  out_dir = {str(o)!r}  [directory, files: ['sub/y.csv', 'x.txt']]",
        "    'sub/y.csv': a,b",
        "    'x.txt': hello",
        "world",
        f"  reads = list of 4 files, e.g. {reads[:3]!r}",
        "  n = 5",
    ]


@pytest.mark.parametrize("args, kwargs, expected", [
    (({},), {}, HEADER),
    (({},), {"header": "Upstream says"}, "Upstream says"),
    ((), {"data": {}, "header": ""}, ""),
    (({}, " spaced: "), {}, " spaced: "),
])
def test_header_alone_for_an_empty_mapping_used_verbatim(args, kwargs, expected):
    assert build_vantum(*args, **kwargs) == expected


class Mapping(dict):
    pass


class Text(str):
    pass


@pytest.mark.parametrize("args, message", [
    ((None,), "Argument 'data' has incorrect type (expected dict, got NoneType)"),
    ((Mapping(),), "Argument 'data' has incorrect type (expected dict, got Mapping)"),
    (([("k", 1)],), "Argument 'data' has incorrect type (expected dict, got list)"),
    (({}, None), "Argument 'header' has incorrect type (expected str, got NoneType)"),
    (({}, 3), "Argument 'header' has incorrect type (expected str, got int)"),
    (({}, Text("h")), "Argument 'header' has incorrect type (expected str, got Text)"),
])
def test_bad_arguments_get_the_exact_type_error(args, message):
    with pytest.raises(TypeError) as err:
        build_vantum(*args)
    assert str(err.value) == message


def test_forty_five_files_list_the_first_thirty_by_full_path(tmp_path):
    d = tmp_path / "many"
    names = [f"f{i:02d}.txt" for i in range(40)] + [f"z/{i}" for i in range(5)]
    for name in names:
        write(d / name, f"content of {name}\n")
    lines = build_vantum({"d": str(d)}).split("\n")
    kept = sorted(names)[:30]
    assert lines[1] == f"  d = {str(d)!r}  [directory, files: {kept!r}]"
    assert lines[2:] == [f"    {n!r}: content of {n}" for n in kept]


def test_empty_directory_and_empty_file(tmp_path):
    (tmp_path / "void").mkdir()
    d = tmp_path / "d"
    write(d / "empty.txt")
    write(d / "blank.txt", " \n\t\n")
    write(d / "full.txt", "x\n")
    assert build_vantum({"v": str(tmp_path / "void"), "d": str(d)}).split("\n")[1:] == [
        f"  v = {str(tmp_path / 'void')!r}  [directory, files: []]",
        f"  d = {str(d)!r}  [directory, files: ['blank.txt', 'empty.txt', 'full.txt']]",
        "    'full.txt': x",
    ]


def test_single_file_gets_size_then_its_first_five_lines(tmp_path):
    f = write(tmp_path / "log.txt", "\n\n  1\n2\n3\n4\n5\n6\n")
    assert build_vantum({"log": f}).split("\n", 1)[1] == (
        f"  log = {f!r}  [file, size: {os.path.getsize(f)} bytes]\n"
        "    first 5 lines:\n      1\n2\n3")


def test_carriage_returns_read_as_line_breaks(tmp_path):
    f = write(tmp_path / "dos.txt", b"a\r\nb\rc\r\n", mode="wb")
    assert build_vantum({"f": f}).endswith("first 5 lines:\n      a\nb\nc")


@pytest.mark.parametrize("content", [
    b"\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00",
    b"caf\xe9 in latin-1\n",
    b"ok\ncut inside a character \xe2\x82",
])
def test_file_that_is_not_text_keeps_its_size_line_without_preview(tmp_path, content):
    f = write(tmp_path / "blob", content, mode="wb")
    d = tmp_path / "d"
    write(d / "blob", content, mode="wb")
    assert build_vantum({"f": f, "d": str(d)}).split("\n")[1:] == [
        f"  f = {f!r}  [file, size: {len(content)} bytes]",
        f"  d = {str(d)!r}  [directory, files: ['blob']]",
    ]


@pytest.mark.parametrize("value", [
    "/definitely/not/here", "", "plain words", "nul\x00inside", "lone \udc80 surrogate",
    "unpaired \ud800", [], (), ("a", "b"), None, 5, 2.5, {"k": [1]},
    ["/not/here", "/nor/here"], [1, 2], [None],
])
def test_other_values_are_shown_by_representation(value):
    assert build_vantum({"k": value}) == f"{HEADER}\n  k = {repr(value)}"


def test_representation_cut_at_120_code_points():
    wide = "é" * 200
    line = build_vantum({"k": wide}).split("\n")[1]
    assert line == "  k = " + repr(wide)[:120]
    assert len(line) == 6 + 120


def test_preview_cuts_at_200_and_400_code_points_after_stripping(tmp_path):
    body = "€" * 150 + "\n" + "ß" * 300
    d = tmp_path / "d"
    write(d / "f.txt", "\n  " + body + "\n")
    f = write(tmp_path / "one.txt", "   " + body + "\n")
    lines = build_vantum({"d": str(d), "f": f}).split("\n")
    assert lines[2] == "    'f.txt': " + "€" * 150
    assert lines[3] == "ß" * 49
    assert "\n".join(lines[6:]) == "      " + body[:400]
    assert len("\n".join(lines[6:])) == 6 + 400


def test_list_of_files_is_judged_by_its_first_element(tmp_path):
    first = write(tmp_path / "a.fq", "x\n")
    v = [first, "/not/a/file", 17, str(tmp_path)]
    assert build_vantum({"r": v}).split("\n")[1] == (
        f"  r = list of 4 files, e.g. {[first, '/not/a/file', 17]!r}")


def test_list_of_two_directories_labels_each_element(tmp_path):
    a, b = tmp_path / "a", tmp_path / "b"
    write(a / "1.txt", "one\n")
    write(b / "2.txt", "two\n")
    assert build_vantum({"dirs": [str(a), str(b)]}).split("\n")[1:] == [
        "  dirs = list of 2 directories:",
        f"  dirs[0] = {str(a)!r}  [directory, files: ['1.txt']]",
        "    '1.txt': one",
        f"  dirs[1] = {str(b)!r}  [directory, files: ['2.txt']]",
        "    '2.txt': two",
    ]


def test_list_mixing_a_directory_and_other_things_is_a_plain_value(tmp_path):
    d = str(tmp_path)
    f = write(tmp_path / "f.txt", "x")
    for v in ([d, f], [d, "/gone"], [d, 3]):
        assert build_vantum({"m": v}) == f"{HEADER}\n  m = {repr(v)[:120]}"


def test_keys_in_display_form_and_subclasses_of_str_and_list(tmp_path):
    f = write(tmp_path / "f.txt", "x\n")

    class Key:
        def __str__(self):
            return "custom key"

    class Paths(list):
        pass

    text = build_vantum({7: Text(f), Key(): Paths([f]), (1, 2): "v"})
    assert text.split("\n")[1:] == [
        f"  7 = {Text(f)!r}  [file, size: 2 bytes]",
        "    first 5 lines:",
        "      x",
        f"  custom key = list of 1 files, e.g. {[f]!r}",
        "  (1, 2) = 'v'",
    ]


def test_links_to_directories_are_described_as_values_but_not_walked_into(tmp_path):
    real = tmp_path / "real"
    write(real / "inside.txt", "in\n")
    d = tmp_path / "d"
    write(d / "own.txt", "own\n")
    os.symlink(real, d / "link_to_dir")
    os.symlink(real / "inside.txt", d / "link_to_file")
    os.symlink(tmp_path / "gone", d / "dangling")
    os.symlink(real, tmp_path / "top_link")
    lines = build_vantum({"d": str(d), "t": str(tmp_path / "top_link")}).split("\n")
    assert lines[1:] == [
        f"  d = {str(d)!r}  [directory, files: ['dangling', 'link_to_file', 'own.txt']]",
        "    'link_to_file': in",
        "    'own.txt': own",
        f"  t = {str(tmp_path / 'top_link')!r}  [directory, files: ['inside.txt']]",
        "    'inside.txt': in",
    ]


def test_fifo_and_socket_get_no_preview_and_no_wait(tmp_path):
    d = tmp_path / "d"
    write(d / "a.txt", "a\n")
    os.mkfifo(d / "pipe")
    sock = socket.socket(socket.AF_UNIX)
    sock.bind(str(d / "sock"))
    try:
        # Opening or reading the FIFO would hang with no writer; run the call
        # aside so a fault fails the test instead of stalling the run.
        result = {}
        worker = threading.Thread(
            target=lambda: result.update(text=build_vantum({"d": str(d), "p": str(d / "pipe")})),
            daemon=True)
        worker.start()
        worker.join(2.5)
        assert not worker.is_alive(), "describing a FIFO waited"
    finally:
        sock.close()
    assert result["text"].split("\n")[1:] == [
        f"  d = {str(d)!r}  [directory, files: ['a.txt', 'pipe', 'sock']]",
        "    'a.txt': a",
        f"  p = {str(d / 'pipe')!r}",
    ]


def test_undecodable_names_sort_and_show_as_the_host_would(tmp_path):
    d = tmp_path / "d"
    d.mkdir()
    for raw in (b"\xc3", b"\xc3\xa9", b"\xef\xbc\xa1", b"B", b"a"):
        with open(os.path.join(os.fsencode(d), raw), "wb") as f:
            f.write(b"t\n")
    names = sorted(os.listdir(d))
    assert build_vantum({"d": str(d)}).split("\n")[1] == (
        f"  d = {str(d)!r}  [directory, files: {names!r}]")


def test_describe_dir_appends_to_the_given_list_and_returns_none(tmp_path):
    write(tmp_path / "x.txt", "x\n")
    lines = ["kept"]
    assert _describe_dir(3.5, str(tmp_path) + "/", lines) is None
    assert lines == ["kept", f"  3.5 = {str(tmp_path) + '/'!r}  [directory, files: ['x.txt']]",
                     "    'x.txt': x"]


def test_describe_dir_takes_path_objects_and_bytes(tmp_path):
    write(tmp_path / "s" / "x.txt", "x\n")
    lines = []
    _describe_dir("p", tmp_path, lines)
    _describe_dir("b", os.fsencode(tmp_path), lines)
    assert lines == [
        f"  p = {tmp_path!r}  [directory, files: ['s/x.txt']]",
        "    's/x.txt': x",
        f"  b = {os.fsencode(tmp_path)!r}  [directory, files: [b's/x.txt']]",
        "    b's/x.txt': x",
    ]


@pytest.mark.parametrize("d, lines, error", [
    (None, [], TypeError),
    (42, [], TypeError),
    ("nul\x00path", [], ValueError),
    ("/tmp", (), AttributeError),
])
def test_describe_dir_bad_input_raises_and_appends_nothing(d, lines, error):
    with pytest.raises(error):
        _describe_dir("l", d, lines)
    assert not lines


def test_build_uses_the_modules_current_describe_dir(tmp_path, monkeypatch):
    seen = []
    monkeypatch.setattr(vantum, "_describe_dir",
                        lambda label, d, lines: (seen.append((label, d)), lines.append("X")))
    a = str(tmp_path)
    assert build_vantum({5: a, "l": [a, a]}) == (
        f"{HEADER}\nX\n  l = list of 2 directories:\nX\nX")
    assert seen == [(5, a), ("l[0]", a), ("l[1]", a)]


def test_vanished_file_between_calls_is_a_plain_value(tmp_path):
    f = write(tmp_path / "f", "x")
    first = build_vantum({"f": f})
    os.unlink(f)
    assert first.split("\n")[1].endswith("[file, size: 1 bytes]")
    assert build_vantum({"f": f}) == f"{HEADER}\n  f = {f!r}"


TREE = {
    "run/out.txt": "line one\r\nline two\r\n\r\nfour\n",
    "run/sub/deep/z.tsv": "\u3000\u2003 spaced \u00a0\n\x1c",
    "run/sub/a b.txt": "tab\tseparated\n" * 5,
    "run/sub.log": "é" * 250 + "\n",
    "run/.hidden": "dot\n",
    "run/nul.txt": "before\x00after\n",
    "run/empty": "",
    "run/bin.dat": b"\xff\xfe\x00text",
    "run/late_bad.txt": b"good\nlines\nhere\n\xff\n",
    "single.fa": ">s1\nACGT\n>s2\nTTTT\n>s3\nGG\n",
    "single_long.txt": "w" * 500,
    "reads/1.fq": "@a\n", "reads/2.fq": "@b\n",
    "other/x": "x\n",
}


def test_same_text_as_the_plain_python_model(tmp_path):
    for rel, content in TREE.items():
        write(tmp_path / rel, content, mode="wb" if isinstance(content, bytes) else "w")
    os.symlink(tmp_path / "other", tmp_path / "run" / "dir_link")
    p = lambda rel: str(tmp_path / rel)  # noqa: E731
    data = {
        "run": p("run"), "single": p("single.fa"), "long": p("single_long.txt"),
        "bin": p("run/bin.dat"), "reads": [p("reads/1.fq"), p("reads/2.fq")],
        "dirs": [p("run/sub"), p("other")], "slash": p("run") + "//",
        "missing": p("nope"), "n": 3, "nested": {"a": [p("run")]},
    }
    assert build_vantum(data) == head_model.build(data)
    assert build_vantum(data, "H") == head_model.build(data, "H")


_CHARS = "ab \t\r\n\x0b\x1c\x85\xa0\u2000\u3000\u200béß€😀\x00"
_plain = st.one_of(
    st.text(alphabet=_CHARS, max_size=260).map(lambda s: s.encode()),
    st.binary(max_size=40),
)
_packers = st.sampled_from([lambda b: b, gzip.compress, bz2.compress, lzma.compress])
# Plain or compressed, sometimes cut short or with bytes flipped.
_contents = st.builds(
    lambda data, pack, cut, flip: _spoil(pack(data), cut, flip),
    _plain, _packers, st.integers(0, 3), st.integers(0, 60))


def _spoil(data, cut, flip):
    if cut == 1:
        data = data[:len(data) // 2]
    elif cut == 2 and data:
        data = bytearray(data)
        data[flip % len(data)] ^= 0x55
        data = bytes(data)
    return data
_names = st.one_of(
    st.text(alphabet="aBé_.-😀", min_size=1, max_size=6).map(os.fsencode),
    st.binary(min_size=1, max_size=4),   # names that are not valid UTF-8
).filter(lambda n: b"/" not in n and b"\0" not in n and n not in (b".", b".."))


@settings(max_examples=40, deadline=None)
@given(files=st.dictionaries(_names, _contents, max_size=5), single=_contents)
def test_random_contents_read_as_the_plain_python_model_reads_them(tmp_path_factory, files, single):
    root = tmp_path_factory.mktemp("prop")
    d = root / "d"
    d.mkdir()
    for name, content in files.items():
        with open(os.path.join(os.fsencode(d), name), "wb") as out:
            out.write(content)
    f = write(root / "single", single, mode="wb")
    data = {"d": str(d), "f": f}
    assert build_vantum(data) == head_model.build(data)


@settings(max_examples=30, deadline=None)
@given(content=st.one_of(st.binary(max_size=80), _plain), n=st.sampled_from([3, 5]))
def test_model_reads_first_lines_as_head_does(tmp_path_factory, content, n):
    f = tmp_path_factory.mktemp("head") / "f"
    f.write_bytes(content)
    with open(f, "rb") as stream:
        ours = head_model.first_lines(stream, n)
    assert ours == subprocess.run(["head", "-n", str(n), str(f)], capture_output=True,
                                  check=True, timeout=10).stdout
