// MIVO.exec and MIVO.shell: commands handed straight to the tool manager.
#include "mivo/mivo.hpp"

namespace plexaro::mivo_binding {

using namespace nb::literals;

void bind_direct_commands(nb::module_ &, MivoClass &cls) {
    cls.def(
        "exec",
        [](nb::handle self, nb::handle command, nb::args args) -> nb::object {
            host::arg_str(command, "command");
            nb::list words;
            words.append("exec");
            if (nb::len(args) > 0) {
                words.append(command);
                for (nb::handle word : args) words.append(word);
            } else {
                // One string is a shell command line: bash in the tool's
                // environment gets it whole.
                for (const char *word : {"--", "bash", "-c"}) words.append(word);
                words.append(command);
            }
            return run_through_host(self, words);
        },
        "command"_a.none(), "args"_a,
        nb::sig("def exec(self, command: str, *args: str) -> subprocess.CompletedProcess[str]"),
        "Run a command in the tool environment: `command` with `args`, or, alone, "
        "a shell command line for bash.");

    cls.def(
        "shell",
        [](nb::handle self, nb::handle shell) {
            auto chosen = host::arg_opt_str(shell, "shell");
            nb::list words;
            words.append("shell");
            if (chosen && nb::len(*chosen) > 0) {
                words.append("--shell");
                words.append(*chosen);
            }
            run_through_host(self, words);
        },
        "shell"_a = nb::none(), nb::sig("def shell(self, shell: str | None = None) -> None"),
        "Run `mivo shell` (optionally with --shell SHELL).");
}

}  // namespace plexaro::mivo_binding
