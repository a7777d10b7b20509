"""The stubs as a type checker reads them: typed host code checks clean under
mypy --strict (which checks the stubs themselves as well), and wrong calls are
reported. mypy runs on a copy of the stubs beside the host's own modules, as
they sit together in an installed plexaro package."""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

REPO = Path(__file__).resolve().parents[3]
STUB_DIR = REPO / "python" / "plexaro" / "helpers"
HOST_PACKAGE = REPO / "tests" / "support" / "host" / "plexaro"
SCRIPTS = Path(__file__).resolve().parent / "typecheck"
MODULES = ["condition", "fetchkin", "mivo", "promptel", "vantum", "weftling"]
ERROR = re.compile(r"(?P<file>[^:\s]+):(?P<line>\d+): error: (?P<message>.*)")
EXPECTED = re.compile(r"#\s*E:\s*(?P<text>.+)$")


@pytest.fixture(scope="module")
def checked(tmp_path_factory):
    """mypy's errors over the two scripts: (file, line) -> messages."""
    work = tmp_path_factory.mktemp("typecheck")
    package = work / "site" / "plexaro"
    shutil.copytree(HOST_PACKAGE, package, ignore=shutil.ignore_patterns("__pycache__"))
    for stub in [*STUB_DIR.glob("*.pyi"), STUB_DIR / "py.typed"]:
        shutil.copy(stub, package / "helpers" / stub.name)
    for script in ("host_pipeline.py", "wrong_calls.py"):
        shutil.copy(SCRIPTS / script, work / script)
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-site-packages", "--python-version", "3.11",
         "--cache-dir", os.devnull, "--no-color-output", "--no-error-summary",
         "host_pipeline.py", "wrong_calls.py"],
        cwd=work, env={**os.environ, "MYPYPATH": str(work / "site")},
        capture_output=True, text=True, timeout=300)
    assert done.returncode in (0, 1), done.stdout + done.stderr  # 2: mypy itself failed
    errors = {}
    for line in done.stdout.splitlines():
        if found := ERROR.match(line):
            errors.setdefault((found["file"], int(found["line"])), []).append(found["message"])
    return errors


def test_the_host_script_uses_every_module():
    text = (SCRIPTS / "host_pipeline.py").read_text()
    assert all(f"from plexaro.helpers.{module} import" in text for module in MODULES)


def test_host_code_and_the_stubs_check_clean(checked):
    # The host's own modules (plexaro.node, plexaro.helpers.paths) are its
    # business; the stubs and the host script must be clean.
    ours = {where: messages for where, messages in checked.items()
            if where[0] == "host_pipeline.py" or where[0].endswith(".pyi")}
    assert ours == {}


def test_each_wrong_call_is_reported(checked):
    expected = {}
    for number, line in enumerate((SCRIPTS / "wrong_calls.py").read_text().splitlines(), 1):
        if found := EXPECTED.search(line):
            expected[number] = found["text"].strip()
    reported = {line: messages for (file, line), messages in checked.items()
                if file == "wrong_calls.py"}
    assert sorted(reported) == sorted(expected)
    for line, text in expected.items():
        assert any(text in message for message in reported[line]), (line, reported[line])
