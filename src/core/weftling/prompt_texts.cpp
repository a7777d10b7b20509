// The fixed texts of the connector prompt. They are the product's knowledge
// of how to match upstream outputs to downstream inputs, so they are kept
// byte for byte (em dashes, arrows and runs of spaces included).
#include "weftling/prompt.hpp"

namespace plexaro::weftling::texts {

// Rules: begins " connector function(s)." right after the count, ends with an empty line.
const std::string_view kRules = R"( connector function(s).
A connector receives `output` (the return dict of ONE upstream tool) and returns the keys the downstream tool needs. Normally it returns a single dict; for a SCATTER downstream (see STEP 3b below, if present) it returns a LIST of dicts (one per item). The runtime merges/uses the connector's result and passes it to downstream.run(). The downstream tool runs elsewhere — never call it or import it.

STEP 1 — DECIDE WHAT THIS EDGE OWNS
For each downstream input field, ask: does this upstream's output contain the same semantic data?
Use the `entity` tag as the ground truth for 'same data' — matching entity means same thing.
Mismatched entity means never map, even if types look identical.
When multiple upstream outputs share the same entity, prefer the one whose TYPE matches the downstream field's type. Specifically: if the downstream field is a list and the upstream has both a list output and a scalar output with the same entity, always choose the list output. A scalar with role='scalar_summary' is a derived convenience value — never use it to satisfy a list-typed downstream field even if the entity matches.
Also check types: if the downstream field is a list (e.g. list[dir_path]) but the only upstream match is a scalar (e.g. dir_path), that scalar cannot directly satisfy the list field — you must look for another upstream output that lets you derive multiple distinct items.
Each field must be owned by exactly one connector. If a sibling edge covers a field, omit it here.

STEP 2 — DECIDE IF CONVERSION IS NEEDED
Once you've confirmed same entity, check the `format` tag.
Same format → pass the value through (rename key if needed).
Different format → convert. The downstream field's `format` tag is the contract — it tells you exactly what format the file or value must be in. Pick the simplest format listed in that tag and produce exactly that. Never invent a format not listed in the downstream tag.
  - In-memory value → file path: write to a tempfile. The file's content and extension must     conform to the downstream format tag (e.g. if tag says 'fasta', write FASTA with '>'     headers and use suffix matching that format).
  - File path → in-memory value: open and parse the file. For fasta→one_letter_code: read all lines, concatenate sequence lines (non-'>' lines) for each record. If the downstream expects a single str (not a list), return the first record's sequence only.
  - Directory → specific file: use glob.glob(..., recursive=True).

STEP 3 — HANDLE CARDINALITY CORRECTLY
FIRST check the downstream field's `cardinality` tag.
If cardinality='one' (the field wants exactly ONE item) but the upstream is a directory or list containing MANY matching files, you must select the SINGLE primary file and return it as a scalar string — never a list, never the whole directory.
  - Pick the primary output, not intermediate/auxiliary files. Exclude trajectory, per-timestep, checkpoint, log, and temp files: skip basenames containing 'traj', '_pX0', '_Xt', '_xt', 'trajectory', '.tmp', or living under a 'traj/' subdirectory.
  - Among the remaining candidates, prefer the lowest-indexed primary file (e.g. the one matching '<prefix>_0.<ext>' or the shortest basename) so selection is deterministic.
  - Return it as output[field] = '<that one path>' (a str), not [path].
If cardinality='one' and the upstream already gives exactly one matching file, pass it through as a scalar.
Check the `cardinality_with` tag on downstream fields. If field A has cardinality_with='B', then len(A) must equal len(B) — they are parallel lists.
If the upstream type is a scalar (e.g. dir_path) but downstream type is a list (e.g. list[dir_path]), you cannot wrap the scalar in a list — that produces a list of 1 which is wrong when N>1. Instead, derive N distinct items by partitioning the upstream value. For example: if the upstream is a single output directory containing files for multiple sequences, identify the N unique query names by examining the actual filenames shown in ADDITIONAL CONTEXT. Find the set of distinct per-sequence prefixes — the prefix is the part of the filename before the first separator that distinguishes rank/model/seed (e.g. '_unrelaxed_', '_relaxed_', '_rank_', '_scores_'). For each query prefix, create a subdirectory and symlink all files whose basename starts with that prefix into it. Return the list of subdirectories in the same order as the prefixes. This makes len(output_dirs) == N sequences exactly. Never repeat the same value N times — each item in the output list must be genuinely different.
Never summarise a list into a scalar. Never return a list of length 1 when N>1 is required.

STEP 4 — OMIT RATHER THAN GUESS
If you cannot cleanly supply a field (no matching entity, no clean source, field has `fallback`), simply omit it — return an empty dict or partial dict. Never raise to signal absence.
Never return write_mode='append' fields from upstream outputs — they are cumulative logs, not data.
role='tool_internal_state' on a DOWNSTREAM input means the downstream tool manages it internally — but if the upstream has a matching entity, still pass it through.
role='output_destination' on a DOWNSTREAM input means it is a write location managed by the runtime — never fabricate or create a new temp directory for it. Exception: if the upstream is an InputNode and the key is already present in its output, pass it through as-is — the user explicitly set it.

)";

// Scatter rule: follows " So '" and the scatter function's name.
const std::string_view kScatter =
    R"(' must return a LIST of dicts — one downstream-input dict per independent item — not a single dict. (Every OTHER function in this batch still returns a single dict.)
  - The collection value can take THREE shapes; you MUST check its type before any path operation (never call os.path.isdir/isfile on a value without first confirming it is a str):
      (a) a LIST  — e.g. when an upstream map-node already fanned out and gathered. Treat EACH element as a sub-collection: expand every element into its own items and FLATTEN them all into one combined item list. (An element may itself be a directory or a multi-record file — apply (b)/(c) to it.)
      (b) a DIRECTORY path (str) — enumerate its items; if several files share an item (same naming prefix), group them as ONE item.
      (c) a single FILE path (str) holding multiple records — each record is one item.
    Count only genuine primary outputs — leave out intermediate, per-step, checkpoint, log, and temporary artifacts. Infer which shape applies from the ACTUAL CONTEXT shown below.
  - For EACH leaf item, build its downstream-input dict with the SAME STEP 1-3 logic as for a single item: pick the one value matching each downstream field's type/format (a scalar, not the whole collection or a list), converting format if required.
  - Return the items in a deterministic order. Each dict must be a genuinely DIFFERENT item — never repeat one N times, and never return a length-1 list when the context shows N>1 items.

)";

// Coding constraints: ends with "Write all " before the count.
const std::string_view kCoding =
    R"(  - Always guard against None before calling os.path.exists, os.path.isfile, os.path.isdir, or any path operation. Use `if output.get('key') and os.path.exists(output['key'])` not `os.path.exists(output['key'])`.
  - `os`, `json`, `glob`, `tempfile` are pre-imported at module level. All other imports MUST be inside the function body — never at module level.
  - To create symlinks use `os.symlink(src, dst)` — `shutil` does NOT have a symlink method. Always check `not os.path.exists(dst)` before calling os.symlink to avoid FileExistsError.
  - Use glob.glob(..., recursive=True) for file discovery.
  - No markdown, no prose. Python function definitions only.
  - BATCH-AGNOSTIC: This connector will be called repeatedly across loop iterations with varying batch sizes. Never hardcode or assume a fixed list length. If the upstream value is already a list, pass it through as-is — do not index into it, slice it, or wrap it. The downstream tool handles any per-element logic itself.

Write all )";

}  // namespace plexaro::weftling::texts

namespace plexaro::weftling {

std::string syntax_repair_prompt(std::string_view error, std::string_view code) {
    std::string out = "Python syntax error: ";
    out.append(error)
        .append("\nFix and return only the corrected code, no markdown:\n\n")
        .append(code);
    return out;
}

}  // namespace plexaro::weftling
