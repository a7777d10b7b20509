import tempfile

import pytest

from support.standins import calls, write_program

# A mivo that records its words and exits with MIVO_STATUS; when it runs "sync"
# it also records the project files it finds in its working directory.
MIVO = """
if sys.argv[1:2] == ["sync"]:
    seen = {}
    for name in ("mivo.lock", "mivo.toml"):
        if os.path.exists(name):
            seen[name] = open(name).read()
    with open(os.path.join(os.path.dirname(sys.argv[0]), "sync.seen.json"), "w") as out:
        json.dump(seen, out)
status = int(os.environ.get("MIVO_STATUS", "0"))
if status:
    print("mivo stand-in failed", file=sys.stderr)
sys.exit(status)
"""


class StandInMivo:
    def __init__(self, directory):
        self.directory = directory

    def argvs(self):
        return [c["argv"] for c in calls(self.directory, "mivo")]

    def seen_at_sync(self):
        import json

        return json.loads((self.directory / "sync.seen.json").read_text())


@pytest.fixture
def mivo_cmd(stand_in_dir, tmp_path, monkeypatch):
    """A stand-in `mivo` first on PATH; no pipeline volume; temporary project
    directories land in tmp_path."""
    write_program(stand_in_dir, "mivo", MIVO)
    temp = tmp_path / "tmp"
    temp.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(temp))
    monkeypatch.delenv("PIPELINE_VOLUME_PATH", raising=False)
    monkeypatch.delenv("MIVO_STATUS", raising=False)
    return StandInMivo(stand_in_dir)
