import http.client
import http.server
import threading
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


def test_without_a_directory_a_shared_temporary_one_is_used():
    import tempfile
    assert Fetchkin().temp_dir == f"{tempfile.gettempdir()}/plexaro_downloads"
