"""Calls a type checker must refuse: each line whose end comment starts with
"E:" must be reported with an error containing the text after it, and no
other line may be."""
from __future__ import annotations

from plexaro.helpers.condition import Condition
from plexaro.helpers.fetchkin import Fetchkin
from plexaro.helpers.mivo import MIVO
from plexaro.helpers.promptel import Promptel, default_llm
from plexaro.helpers.vantum import build_vantum
from plexaro.helpers.weftling import Weftling

mivo = MIVO()
MIVO(backend=1)  # E: Argument "backend" to "MIVO" has incompatible type "int"; expected "str | None"
mivo.wait_for_docker("10")  # E: Argument 1 to "wait_for_docker" of "MIVO" has incompatible type "str"; expected "int"
mivo._run("mivo list")  # E: Argument 1 to "_run" of "MIVO" has incompatible type "str"; expected "list[str]"
mivo.search("bwa").stdout.decode()  # E: "str" has no attribute "decode"
archive: int = mivo._cache_tar("bwa")  # E: Incompatible types in assignment (expression has type "str", variable has type "int")
mivo.add("bwa", 2)  # E: Argument 2 to "add" of "MIVO" has incompatible type "int"; expected "str"
Condition(1, 2)  # E: Argument 1 to "Condition" has incompatible type "int"; expected "str"
Condition(">", 1).check()  # E: Missing positional argument "x" in call to "check" of "Condition"
if Condition(">", 1).check:  # E: Function "check" could always be true in boolean context
    pass
build_vantum(["out.bam"])  # E: Argument 1 to "build_vantum" has incompatible type "list[str]"; expected "dict[str, Any]"
Fetchkin().resolve_zenodo_dropbox(1, "x")  # E: Argument 1 to "resolve_zenodo_dropbox" of "Fetchkin" has incompatible type "int"; expected "str"
Promptel("openai", "gpt-4o-mini")  # E: Missing positional argument "api_key" in call to "Promptel"
reply: str = default_llm().call("Which aligner?")  # E: Incompatible types in assignment (expression has type "str | None", variable has type "str")
mivo.run(1, {}, {}, "o")  # E: Argument 1 to "run" of "MIVO" has incompatible type "int"; expected "str"
mivo.run("bwa", {}, {"reads": "r.fq"}, output_dir=None)  # E: Argument "output_dir" to "run" of "MIVO" has incompatible type "None"; expected "str"
mivo.run("bwa", {}, {}, "o")["aligned"].endswith(".bam")  # E: Item "None" of "str | None" has no attribute "endswith"
weft = Weftling()
weft.generateConnector("reads", "align")  # E: Argument 1 to "generateConnector" of "Weftling" has incompatible type "str"; expected "_Node"
weft.set_llm("openai", "gpt-4o-mini")  # E: Missing positional argument "api_key" in call to "set_llm" of "Weftling"
weft.getConnector(weft, weft)({})  # E: Argument 1 to "getConnector" of "Weftling" has incompatible type "Weftling"; expected "_Node"
