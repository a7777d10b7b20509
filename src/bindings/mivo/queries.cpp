// Registry queries (answers handed back untouched) and the reading of
// "mivo show" text into a small tool manifest.
#include "mivo/mivo.hpp"
#include "mivo/show_text.hpp"

namespace plexaro::mivo_binding {

namespace {

using namespace nb::literals;

// Every query asks for captured text output, which _run provides anyway.
nb::object query(nb::handle self, const nb::list &words) {
    nb::dict options;
    options["capture_output"] = true;
    options["text"] = true;
    return run_through_host(self, words, options);
}

// `words` + [flag, value] when the optional string `value` is non-empty.
void append_option(nb::list &words, const char *flag, const std::optional<nb::str> &value) {
    if (value && nb::len(*value) > 0) {
        words.append(flag);
        words.append(*value);
    }
}

nb::object optional_text(const std::optional<std::string> &value) {
    if (!value) return nb::none();
    return host::from_utf8(*value);
}

}  // namespace

void bind_queries(nb::module_ &, MivoClass &cls) {
    cls.def(
        "search",
        [](nb::handle self, nb::handle query_text, nb::handle tier) {
            nb::str text = host::arg_str(query_text, "query");
            auto chosen_tier = host::arg_opt_str(tier, "tier");
            nb::list words;
            words.append("search");
            words.append(text);
            append_option(words, "--tier", chosen_tier);
            return query(self, words);
        },
        "query"_a.none(), "tier"_a = nb::none(),
        nb::sig("def search(self, query: str, tier: str | None = None) -> "
                "subprocess.CompletedProcess[str]"),
        "`mivo search QUERY [--tier TIER]`.");

    cls.def(
        "show",
        [](nb::handle self, nb::handle tool, nb::handle fmt) {
            nb::str name = host::arg_str(tool, "tool");
            auto format = host::arg_opt_str(fmt, "fmt");
            nb::list words;
            words.append("show");
            words.append(name);
            append_option(words, "--format", format);
            return query(self, words);
        },
        "tool"_a.none(), "fmt"_a = nb::none(),
        nb::sig("def show(self, tool: str, fmt: str | None = None) -> "
                "subprocess.CompletedProcess[str]"),
        "`mivo show TOOL [--format FMT]`.");

    cls.def(
        "parse_show_text",
        [](nb::handle, nb::handle text) {
            std::string utf8 = host::utf8(host::arg_str(text, "text"));
            mivo::ShowManifest parsed;
            {
                nb::gil_scoped_release unlocked;
                parsed = mivo::parse_show_text(utf8);
            }
            nb::dict manifest;
            manifest["image"] = optional_text(parsed.image);
            manifest["entrypoint"] = optional_text(parsed.entrypoint);
            manifest["args_template"] = optional_text(parsed.args_template);
            manifest["gpu_required"] = nb::bool_(parsed.gpu_required);
            return manifest;
        },
        "text"_a.none(), nb::sig("def parse_show_text(self, text: str) -> dict[str, typing.Any]"),
        "The image, entrypoint, args_template and gpu_required a `mivo show` text states.");

    cls.def(
        "parse_show",
        [](nb::handle self, nb::handle tool) {
            host::arg_str(tool, "tool");
            nb::object shown = self.attr("show")(tool);
            return self.attr("parse_show_text")(shown.attr("stdout"));
        },
        "tool"_a.none(), nb::sig("def parse_show(self, tool: str) -> dict[str, typing.Any]"),
        "parse_show_text of what `mivo show TOOL` prints.");

    cls.def(
        "info",
        [](nb::handle self, nb::handle tool) {
            nb::list words;
            words.append("info");
            words.append(host::arg_str(tool, "tool"));
            return query(self, words);
        },
        "tool"_a.none(), nb::sig("def info(self, tool: str) -> subprocess.CompletedProcess[str]"),
        "`mivo info TOOL`.");

    cls.def(
        "list_tools",
        [](nb::handle self, nb::handle binaries) {
            nb::list words;
            words.append("list");
            if (host::arg_bool(binaries)) words.append("--binaries");
            return query(self, words);
        },
        "binaries"_a.none() = false,
        nb::sig("def list_tools(self, binaries: bool = False) -> subprocess.CompletedProcess[str]"),
        "`mivo list [--binaries]`.");
}

}  // namespace plexaro::mivo_binding
