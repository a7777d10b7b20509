"""Whole prompts as they reach the LLM, and the pieces they are made of."""
import pytest

from connector_prompt_texts import CODING, RULES, SCATTER
from plexaro.node import GatherNode, InputNode, Node

OPENING = ("You are a Python coding agent. Write syntactically valid Python only — no prose, "
           "no markdown.\n\nYOUR JOB: Write ")
PLAIN_SIGNATURE = "\nCODING CONSTRAINTS:\n  - Signature: def <name>(output: dict) -> dict\n"

FOLD = Node("pipe.fold", {"inputs": {
    "sequence": {"type": "str", "required": True, "entity": "protein_sequence",
                 "format": ["fasta", "one_letter_code"], "cardinality": "one",
                 "description": "query"},
    "msa": {"type": "file_path", "entity": "alignment", "fallback": False},
}})
ALIGN = Node("align-1", {"outputs": {
    "a3m": {"type": "file_path", "entity": "alignment", "format": "a3m", "description": "MSA"},
    "log": {"type": "file_path", "write_mode": "append", "role": "", "description": None},
}})
FOLD_FIELDS = (
    "DOWNSTREAM tool 'pipe.fold' inputs (from MANIFEST):\n"
    "  - sequence: str (required) [entity='protein_sequence', cardinality='one', "
    "format=['fasta', 'one_letter_code']] — query\n"
    "  - msa: file_path (optional) [entity='alignment', fallback=False] — \n\n")
ALIGN_BLOCK = (
    "--- UPSTREAM 'align-1' (function name: edge_align_1_to_fold) ---\n"
    "Outputs (from MANIFEST):\n"
    "  - a3m: file_path [entity='alignment', format='a3m'] — MSA\n"
    "  - log: file_path [write_mode='append'] — None\n\n")


def reply_defining(*names):
    return "\n\n".join(f"def {n}(output):\n    return {{}}" for n in names)


def ending(names):
    return CODING + f"{len(names)} function(s) with these exact names: {', '.join(names)}."


def test_one_tool_upstream(make):
    w = make(reply_defining("edge_align_1_to_fold"))
    assert w.generateConnector(ALIGN, FOLD) == "edge_align_1_to_fold"
    assert w.llm.prompts == [
        OPENING + "1" + RULES
        + "DOWNSTREAM TOOL 'pipe.fold' — fields it needs:\n" + FOLD_FIELDS
        + "UPSTREAMS TO GENERATE CONNECTORS FOR:\n" + ALIGN_BLOCK
        + PLAIN_SIGNATURE + ending(["edge_align_1_to_fold"])]


def test_input_node_upstreams_with_and_without_manifest(make):
    long_value = "ACDEFGHIKLMNPQRSTVWY" * 5
    raw = InputNode("raw", {"sequence": long_value, "n": 3})
    described = InputNode("params", {"msa": "/data/x.a3m", "seed": 7, "note": "é" * 100},
                          manifest={"inputs": {"msa": {"type": "file_path", "entity": "alignment"},
                                               "seed": {"type": "int"}}})
    target = Node("pipe.fold", FOLD.manifest, inNodes=[raw, described])
    w = make(reply_defining("edge_raw_to_fold", "edge_params_to_fold"))
    w.generateConnector(described, target, extra_context="  files: a.pdb\n")
    cut = repr(long_value)[:80]
    assert len(cut) == 80 and cut.startswith("'ACDEF")
    note_cut = repr(repr("é" * 100)[:80])
    assert w.llm.prompts == [
        OPENING + "2" + RULES
        + "All upstreams are InputNodes (user-provided data). Pass through or rename keys to "
          "match downstream input names.\n\n"
        + "DOWNSTREAM TOOL 'pipe.fold' — fields it needs:\n" + FOLD_FIELDS
        + "UPSTREAMS TO GENERATE CONNECTORS FOR:\n"
        + "--- UPSTREAM 'raw' (function name: edge_raw_to_fold) ---\n"
          "InputNode with these key-value pairs (user-provided, all available):\n"
          f"  - sequence: {cut}\n  - n: 3\n"
          "For every key whose name matches a downstream field name, pass it through directly. "
          "Do not omit any key that appears in the downstream inputs — if the name matches, "
          "always include it.\n\n"
        + "\n"
        + "--- UPSTREAM 'params' (function name: edge_params_to_fold) ---\n"
          "Inputs (from MANIFEST — these are the values that just flowed into this node):\n"
          "  - msa: file_path [entity='alignment'] — \n"
          "  - seed: int — \n"
          "Additional keys available at runtime (pass through if name matches a downstream "
          "field): {'note': " + note_cut + "}\n\n"
        + "\nADDITIONAL CONTEXT:\nfiles: a.pdb\n\n"
        + PLAIN_SIGNATURE + ending(["edge_raw_to_fold", "edge_params_to_fold"])]


def test_mixed_batch_with_stored_sibling(make, connectors_file):
    user = InputNode("user", {"sequence": "MKV"})
    stored_input = InputNode("defaults", {"msa": "/x"})
    other = Node("other", {"outputs": {}})
    target = Node("pipe.fold", FOLD.manifest, inNodes=[user, stored_input, other, ALIGN])
    w = make(reply_defining("edge_defaults_to_fold", "edge_other_to_fold"),
             reply_defining("edge_user_to_fold", "edge_align_1_to_fold"))
    w.generateConnector(stored_input, Node("pipe.fold", FOLD.manifest, inNodes=[stored_input, other]))
    w.generateConnector(ALIGN, target)
    assert len(w.llm.prompts) == 2
    assert w.llm.prompts[1] == (
        OPENING + "2" + RULES
        + "PRIORITY: InputNode upstreams (user, defaults) supply user-provided values and take "
          "precedence. For any downstream field that an InputNode can supply, the InputNode "
          "connector owns it — regular tool connectors (align-1, other) must NOT also return "
          "that same key. Regular tool connectors only fill fields the InputNode(s) cannot "
          "cover.\n\n"
        + "ALREADY-GENERATED CONNECTORS (do NOT regenerate these):\n"
          "  - defaults (edge_defaults_to_fold) [InputNode]\n"
          "  - other (edge_other_to_fold)\n"
          "Treat any field these connectors cover as already supplied — your new functions must "
          "not return those same keys (except InputNode fields can always override "
          "regular-node fields).\n\n"
        + "DOWNSTREAM TOOL 'pipe.fold' — fields it needs:\n" + FOLD_FIELDS
        + "UPSTREAMS TO GENERATE CONNECTORS FOR:\n"
        + "--- UPSTREAM 'user' (function name: edge_user_to_fold) ---\n"
          "InputNode with these key-value pairs (user-provided, all available):\n"
          "  - sequence: 'MKV'\n"
          "For every key whose name matches a downstream field name, pass it through directly. "
          "Do not omit any key that appears in the downstream inputs — if the name matches, "
          "always include it.\n\n"
        + "\n" + ALIGN_BLOCK
        + PLAIN_SIGNATURE + ending(["edge_user_to_fold", "edge_align_1_to_fold"]))


@pytest.mark.parametrize("split_key, hint", [
    ("pdbs", " The upstream key 'pdbs' holds the collection to fan out."),
    (None, ""),
    ("", ""),
])
def test_scatter_edge(make, split_key, hint):
    dock = GatherNode("dock", {"inputs": {"pdb": {"type": "file_path", "required": 1}}},
                      inNodes=[ALIGN], split_key=split_key)
    w = make(reply_defining("edge_align_1_to_dock"))
    w.generateConnector(ALIGN, dock, scatter_source="yes")
    assert w.llm.prompts == [
        OPENING + "1" + RULES
        + "STEP 3b — SCATTER / MAP DOWNSTREAM (applies ONLY to function 'edge_align_1_to_dock')\n"
          "The downstream runs ONCE PER ITEM of the upstream collection." + hint
        + " So 'edge_align_1_to_dock" + SCATTER
        + "DOWNSTREAM TOOL 'dock' — fields it needs:\n"
          "DOWNSTREAM tool 'dock' inputs (from MANIFEST):\n"
          "  - pdb: file_path (required) — \n\n"
        + "UPSTREAMS TO GENERATE CONNECTORS FOR:\n"
        + ALIGN_BLOCK.replace("edge_align_1_to_fold", "edge_align_1_to_dock")
        + "\nCODING CONSTRAINTS:\n  - Signature: def <name>(output: dict) -> dict, EXCEPT "
          "function 'edge_align_1_to_dock' which returns list[dict] (SCATTER edge — see STEP 3b).\n"
        + ending(["edge_align_1_to_dock"])]


def test_scatter_name_outside_the_batch_writes_no_scatter_text(make):
    w = make()
    prompt = w._build_prompt(FOLD, [(ALIGN, "edge_align_1_to_fold")], [], None,
                             scatter_fn="edge_other_to_fold")
    assert "STEP 3b —" not in prompt and "SCATTER edge" not in prompt
    assert PLAIN_SIGNATURE in prompt


@pytest.mark.parametrize("extra, section", [
    ("   ", "\nADDITIONAL CONTEXT:\n\n\n"),
    ("\n out/\n  a.pdb \n", "\nADDITIONAL CONTEXT:\nout/\n  a.pdb\n\n"),
    ("", ""),
    (None, ""),
])
def test_extra_context(make, extra, section):
    w = make()
    prompt = w._build_prompt(FOLD, [(ALIGN, "edge_align_1_to_fold")], [], extra)
    assert prompt.endswith("UPSTREAMS TO GENERATE CONNECTORS FOR:\n" + ALIGN_BLOCK + section
                           + PLAIN_SIGNATURE + ending(["edge_align_1_to_fold"]))


def test_two_edges_are_counted_and_named_in_batch_order(make):
    a, b = Node("a", {}), Node("b", {})
    c = Node("c", {})
    prompt = make()._build_prompt(c, [(a, "edge_a_to_c"), (b, "edge_b_to_c")], [], None)
    assert prompt.startswith(OPENING + "2 connector function(s).")
    assert prompt.endswith("Write all 2 function(s) with these exact names: edge_a_to_c, edge_b_to_c.")
    assert '"' not in prompt


@pytest.mark.parametrize("meta, required, line", [
    ({"type": str}, True, "  - k: <class 'str'> (optional) — "),
    ({"type": str}, False, "  - k: <class 'str'> — "),
    ({}, False, "  - k: unknown — "),
    ({"type": None, "description": None}, False, "  - k: None — None"),
    ({"type": "int", "required": "yes"}, True, "  - k: int (required) — "),
    ({"type": "int", "required": 0}, True, "  - k: int (optional) — "),
    ({"fallback": False, "cardinality": 0, "entity": "", "role": None, "format": []}, False,
     "  - k: unknown [cardinality=0, format=[], fallback=False] — "),
    ({"write_mode": "append", "cardinality_with": "b", "role": "r", "format": "f",
      "cardinality": "one", "entity": "e", "description": "d", "other": 1}, False,
     "  - k: unknown [entity='e', cardinality='one', format='f', role='r', "
     "cardinality_with='b', write_mode='append'] — d"),
])
def test_format_field(make, meta, required, line):
    assert make()._format_field("k", meta, include_required=required) == line


def test_downstream_input_node_without_manifest(make):
    v = InputNode("in", {"k": "v", "long": "x" * 100})
    assert make()._downstream_block(v) == (
        "DOWNSTREAM is an InputNode. Its current keys and values are:\n"
        f"  - k: 'v'\n  - long: '{'x' * 100}'\n"
        "Apply the same STEP 1-4 reasoning — match by entity, convert format if needed. "
        "Do NOT passthrough everything blindly.\n\n")


def test_blocks_for_nodes_without_optional_attributes(make):
    class Bare:
        id = "bare"

    w = make()
    assert w._downstream_block(Bare()) == "DOWNSTREAM tool 'bare' inputs (from MANIFEST):\n\n\n"
    assert w._upstream_block(Bare(), "f") == "--- UPSTREAM 'bare' (function name: f) ---\nOutputs (from MANIFEST):\n\n\n"
    # no manifest: the input node is shown by its values; none at all is an empty list
    assert w._upstream_block(InputNode("i"), "f").startswith(
        "--- UPSTREAM 'i' (function name: f) ---\nInputNode with these key-value pairs "
        "(user-provided, all available):\n\nFor every key")


def test_manifest_inputs_without_extra_keys_have_no_runtime_line(make):
    u = InputNode("i", {"msa": "/x"}, manifest={"inputs": {"msa": {"type": "file_path"}}})
    assert "Additional keys" not in make()._upstream_block(u, "f")


def test_patched_field_formatter_is_obeyed(make, monkeypatch, weftling):
    monkeypatch.setattr(weftling.Weftling, "_format_field",
                        lambda self, k, meta, include_required=False: f"<{k}:{include_required}>")
    w = make()
    assert "<sequence:True>\n<msa:True>" in w._downstream_block(FOLD)
    assert "<a3m:False>\n<log:False>" in w._upstream_block(ALIGN, "f")


@pytest.mark.parametrize("call, error, message", [
    (lambda w: w._build_prompt(FOLD, [(ALIGN, "f")], [], 5), TypeError,
     "Argument 'extra_context' has incorrect type (expected str, got int)"),
    (lambda w: w._build_prompt(FOLD, [(ALIGN, 7)], [], None), TypeError,
     "sequence item 0: expected str instance, int found"),
    (lambda w: w._upstream_block(Node("u", {"outputs": ["a3m"]}), "f"), AttributeError,
     "'list' object has no attribute 'items'"),
    (lambda w: w._format_field("k", None), TypeError, None),
    (lambda w: w._downstream_block(object()), AttributeError, None),
])
def test_bad_inputs_raise_host_errors(make, call, error, message):
    with pytest.raises(error) as err:
        call(make())
    if message:
        assert str(err.value) == message
