import http.client
import http.server
import os
import stat
import tempfile
import threading
import time
import urllib.error
import urllib.request

import pytest

from plexaro.helpers.fetchkin import Fetchkin

LOGGER = "plexaro.helpers.fetchkin"
BIG = bytes(range(256)) * 12_000  # about 3 MB: several chunks


class _Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        # Behind http_proxy the request line carries the whole link.
        self.server.requests.append(self.path)
        path = self.path.split("://", 1)[-1].split("/", 1)[1]
        if path.startswith("missing"):
            self.send_error(404)
        elif path.startswith("moved"):
            self.send_response(302)
            self.send_header("Location", "http://zenodo.org/records/9/files/target.txt")
            self.end_headers()
        elif path.startswith("cut"):
            self.send_response(200)
            self.send_header("Content-Length", "1000")
            self.end_headers()
            self.wfile.write(b"only part of it")
        elif path.startswith("trickle"):
            # Announces `size` bytes and sends them `piece` bytes at a time,
            # one piece every `pause` seconds: trickle/<size>/<piece>/<pause>/name
            size, piece, pause = path.split("/")[1:4]
            self.send_response(200)
            self.send_header("Content-Length", size)
            self.end_headers()
            try:
                for sent in range(0, int(size), int(piece)):
                    self.wfile.write(b"x" * min(int(piece), int(size) - sent))
                    self.wfile.flush()
                    time.sleep(float(pause))
            except OSError:
                pass  # the client gave up
        elif path.startswith("big"):
            self.send_response(200)
            self.send_header("Content-Length", str(len(BIG)))
            self.end_headers()
            self.wfile.write(BIG)
        else:
            body = f"body of {self.path}".encode()
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)


@pytest.fixture
def server(monkeypatch):
    """An HTTP server on 127.0.0.1 that urllib reaches as the proxy for every link."""
    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
    httpd.requests = []
    thread = threading.Thread(target=httpd.serve_forever, args=(0.05,), daemon=True)
    thread.start()
    for name in ("no_proxy", "NO_PROXY", "https_proxy", "HTTPS_PROXY", "HTTP_PROXY"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("http_proxy", f"http://127.0.0.1:{httpd.server_port}")
    monkeypatch.setattr(urllib.request, "_opener", None)  # urlopen caches proxies
    yield httpd
    httpd.shutdown()
    httpd.server_close()


@pytest.fixture
def fetch(tmp_path):
    return Fetchkin(str(tmp_path / "downloads"))


@pytest.mark.parametrize("link, fetched", [
    ("http://www.dropbox.com/s/k/a.txt?dl=0", "http://www.dropbox.com/s/k/a.txt?dl=1"),
    ("http://www.dropbox.com/s/k/a.txt?rlkey=x&dl=0", "http://www.dropbox.com/s/k/a.txt?rlkey=x&dl=1"),
    ("http://dropbox.com/s/k/a.txt", "http://dropbox.com/s/k/a.txt?dl=1"),
    ("http://www.dropbox.com/s/k/a.txt?dl=0&rlkey=x", "http://www.dropbox.com/s/k/a.txt?rlkey=x&dl=1"),
    ("http://zenodo.org/records/1/files/a.txt?download=1", "http://zenodo.org/records/1/files/a.txt?download=1"),
])
def test_link_is_fetched_rewritten_and_saved_under_its_last_segment(server, fetch, link, fetched, records):
    dest = fetch.resolve_zenodo_dropbox("reads", link)
    assert server.requests == [fetched]
    assert dest == f"{fetch.temp_dir}/a.txt"
    assert open(dest, "rb").read() == f"body of {fetched}".encode()
    assert records(LOGGER) == [("INFO", "Downloading %s: %s", ("reads", link)),
                               ("INFO", "Saved to %s", (dest,))]


def test_second_call_uses_the_cache_without_a_request(server, fetch, records):
    link = "http://zenodo.org/records/1/files/genome.fa"
    first = fetch.resolve_zenodo_dropbox("genome", link)
    again = fetch.resolve_zenodo_dropbox("genome", "http://www.dropbox.com/other/genome.fa")
    assert first == again
    assert len(server.requests) == 1
    assert records(LOGGER)[-1] == ("INFO", "Using cached download for %s: %s", ("genome", first))


def test_redirect_is_followed(server, fetch):
    dest = fetch.resolve_zenodo_dropbox("k", "http://zenodo.org/moved/here.txt")
    assert server.requests[-1] == "http://zenodo.org/records/9/files/target.txt"
    assert dest.endswith("/here.txt")
    assert open(dest, "rb").read().startswith(b"body of")


def test_large_body_arrives_whole(server, fetch):
    dest = fetch.resolve_zenodo_dropbox("k", "http://zenodo.org/big/blob.bin")
    assert open(dest, "rb").read() == BIG


@pytest.mark.parametrize("link, error", [
    ("http://zenodo.org/missing/a.txt", urllib.error.HTTPError),
    ("http://zenodo.org/cut/a.txt", http.client.IncompleteRead),  # the body ends early
])
def test_failed_download_raises_the_hosts_error_and_leaves_nothing(server, fetch, link, error):
    with pytest.raises(error):
        fetch.resolve_zenodo_dropbox("k", link)
    import os
    assert os.listdir(fetch.temp_dir) == []


def test_a_name_at_the_file_system_limit_downloads(server, fetch):
    name = "n" * 250  # its temporary name must still fit in 255 bytes
    dest = fetch.resolve_zenodo_dropbox("k", f"http://zenodo.org/records/1/files/{name}")
    assert os.listdir(fetch.temp_dir) == [name]
    assert open(dest, "rb").read() == f"body of http://zenodo.org/records/1/files/{name}".encode()


def test_trailing_slash_saves_under_download_and_key(server, fetch):
    dest = fetch.resolve_zenodo_dropbox("reference", "http://zenodo.org/records/7/")
    assert dest == f"{fetch.temp_dir}/download_reference"


@pytest.mark.parametrize("key, link, name", [
    ("k", "http://zenodo.org/records/..", "download_k"),
    ("k", "http://zenodo.org/records/.", "download_k"),
    ("../../escape", "http://zenodo.org/records/", "download_.._.._escape"),
    ("k", "http://zenodo.org/a/%2E%2E%2Fescape", "%2E%2E%2Fescape"),
])
def test_names_never_leave_the_download_directory(server, fetch, tmp_path, key, link, name):
    dest = fetch.resolve_zenodo_dropbox(key, link)
    assert dest == f"{fetch.temp_dir}/{name}"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["downloads"]


@pytest.mark.parametrize("value", ["/data/reads.fq", 3, None, ["http://zenodo.org/x"],
                                   "https://example.org/file.txt", "https://zenodo.org/",
                                   "see https://zenodo.org/x"])
def test_other_values_are_returned_unchanged_without_logging(fetch, value, records):
    assert fetch.resolve_zenodo_dropbox("k", value) is value
    assert records(LOGGER) == []


class Key(str):
    pass


@pytest.mark.parametrize("key, name", [(1, "int"), (None, "NoneType"), (Key("k"), "Key")])
def test_key_must_be_exactly_str(fetch, key, name):
    with pytest.raises(TypeError) as err:
        fetch.resolve_zenodo_dropbox(key, "/local")
    assert str(err.value) == f"Argument 'key' has incorrect type (expected str, got {name})"


def test_constructor_creates_the_directory_and_host_may_redirect_it(server, tmp_path):
    fetch = Fetchkin(str(tmp_path / "a" / "b"))
    assert (tmp_path / "a" / "b").is_dir()
    assert Fetchkin.__bases__ == (object,)
    (tmp_path / "elsewhere").mkdir()
    fetch.temp_dir = str(tmp_path / "elsewhere")
    dest = fetch.resolve_zenodo_dropbox("k", "http://zenodo.org/x/y.txt")
    assert dest == str(tmp_path / "elsewhere" / "y.txt")


@pytest.fixture
def own_temp(tmp_path, monkeypatch):
    """The system temporary area (tempfile.gettempdir()) inside the test's directory."""
    temp = tmp_path / "tmp"
    temp.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(temp))
    return temp


def test_without_a_directory_a_private_one_of_this_user_is_used(own_temp):
    directory = Fetchkin().temp_dir
    assert directory == f"{own_temp}/plexaro_downloads-{os.geteuid()}"
    info = os.lstat(directory)
    assert stat.S_ISDIR(info.st_mode) and stat.S_IMODE(info.st_mode) == 0o700
    assert info.st_uid == os.geteuid()
    assert Fetchkin().temp_dir == directory  # the second use accepts its own directory


def test_a_file_planted_in_the_old_shared_directory_is_not_taken(server, own_temp):
    planted = own_temp / "plexaro_downloads" / "reads.fq"
    planted.parent.mkdir(mode=0o777)
    planted.write_text("planted")
    dest = Fetchkin().resolve_zenodo_dropbox("reads", "http://zenodo.org/records/1/files/reads.fq")
    assert dest == f"{own_temp}/plexaro_downloads-{os.geteuid()}/reads.fq"
    assert open(dest).read() == "body of http://zenodo.org/records/1/files/reads.fq"
    assert len(server.requests) == 1


def _open_to_others(path):
    path.mkdir()
    (path / "reads.fq").write_text("planted")
    path.chmod(0o777)


def _a_link(path):
    target = path.parent / "elsewhere"
    target.mkdir(mode=0o700)
    (target / "reads.fq").write_text("planted")
    path.symlink_to(target)


def _another_owner(path):
    if os.geteuid() != 0:
        pytest.skip("giving a directory to another user needs root")
    path.mkdir(mode=0o700)
    (path / "reads.fq").write_text("planted")
    os.chown(path, 65534, 65534)


@pytest.mark.parametrize("plant, problem", [
    (_open_to_others, "its mode is 0777, open to other users"),
    (_a_link, "it is a symbolic link"),
    (_another_owner, f"it belongs to user 65534, not {os.geteuid()}"),
])
def test_a_default_directory_made_by_someone_else_is_refused(server, own_temp, plant, problem):
    directory = own_temp / f"plexaro_downloads-{os.geteuid()}"
    plant(directory)
    with pytest.raises(PermissionError) as err:
        Fetchkin()
    assert str(err.value) == (f"{directory} is not a private directory ({problem}); "
                              "remove it or choose another directory")
    assert server.requests == []


@pytest.mark.parametrize("umask, mode", [(0o022, 0o644), (0o077, 0o600)])
def test_a_download_gets_the_permissions_of_a_plain_open(server, fetch, umask, mode):
    old = os.umask(umask)
    try:
        dest = fetch.resolve_zenodo_dropbox("k", "http://zenodo.org/records/1/files/a.txt")
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(dest).st_mode) == mode


def test_a_trickling_download_is_ended_by_its_deadline(server, fetch, monkeypatch):
    # A byte every 0.1 s: each read is quick, the whole would take 100 s.
    monkeypatch.setenv("PLEXARO_DOWNLOAD_MIN_SECONDS", "1")
    monkeypatch.setenv("PLEXARO_DOWNLOAD_MIN_RATE", "1000")
    started = time.monotonic()
    with pytest.raises(TimeoutError) as err:
        fetch.resolve_zenodo_dropbox("k", "http://zenodo.org/trickle/1000/1/0.1/slow.bin")
    assert time.monotonic() - started < 10
    assert str(err.value) == (
        "Download of http://zenodo.org/trickle/1000/1/0.1/slow.bin did not finish within 2 "
        "seconds (PLEXARO_DOWNLOAD_MIN_SECONDS, PLEXARO_DOWNLOAD_MIN_RATE)")
    assert os.listdir(fetch.temp_dir) == []


def test_the_deadline_grows_with_the_announced_size(server, fetch, monkeypatch):
    # 300 bytes in 2 s: past the 1 s floor, within 1 s + 300 B / 100 B/s.
    monkeypatch.setenv("PLEXARO_DOWNLOAD_MIN_SECONDS", "1")
    monkeypatch.setenv("PLEXARO_DOWNLOAD_MIN_RATE", "100")
    dest = fetch.resolve_zenodo_dropbox("k", "http://zenodo.org/trickle/300/30/0.2/slow.bin")
    assert open(dest, "rb").read() == b"x" * 300


@pytest.mark.parametrize("variable", ["PLEXARO_DOWNLOAD_MIN_SECONDS", "PLEXARO_DOWNLOAD_MIN_RATE"])
@pytest.mark.parametrize("value", ["0", "-5", "fast", "nan", "inf"])
def test_a_bad_deadline_setting_is_refused_before_any_request(server, fetch, monkeypatch,
                                                              variable, value):
    monkeypatch.setenv(variable, value)
    with pytest.raises(ValueError) as err:
        fetch.resolve_zenodo_dropbox("k", "http://zenodo.org/records/1/files/a.txt")
    assert str(err.value).startswith(f"{variable} must be a positive number of ")
    assert server.requests == [] and os.listdir(fetch.temp_dir) == []
