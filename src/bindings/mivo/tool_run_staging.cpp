// How MIVO.run stages its inputs, as the host sets it: PLEXARO_STAGE
// ("copy", "link" or "auto") and PLEXARO_STAGE_LINK_MIN (the smallest file
// "auto" links), and the host errors for inputs staging refuses or a tool
// changed through their links.
#include "mivo/mivo.hpp"

#include "sandbox/staging.hpp"
#include "stepcache/key.hpp"

namespace plexaro::mivo_binding {

namespace sb = plexaro::sandbox;

namespace {

constexpr const char *kStageVariable = "PLEXARO_STAGE";
constexpr const char *kLinkMinVariable = "PLEXARO_STAGE_LINK_MIN";

nb::object environment_value(const char *name) {
    return host::import("os").attr("environ").attr("get")(name);
}

bool set_and_not_empty(const nb::object &value) { return !value.is_none() && nb::len(value) > 0; }

}  // namespace

sb::StagingRule staging_rule() {
    sb::StagingRule rule;
    nb::object mode = environment_value(kStageVariable);
    if (set_and_not_empty(mode)) {
        std::string choice = host::utf8(mode);
        if (choice == "copy")
            rule.mode = sb::StagingRule::Mode::copy;
        else if (choice == "link")
            rule.mode = sb::StagingRule::Mode::link;
        else if (choice != "auto")
            host::raise(PyExc_ValueError, std::string(kStageVariable) +
                                              " must be \"copy\", \"link\" or \"auto\"; got " +
                                              host::repr(mode));
    }
    nb::object least = environment_value(kLinkMinVariable);
    if (set_and_not_empty(least)) {
        std::optional<std::uint64_t> bytes = plexaro::stepcache::parse_size(host::utf8(least));
        if (!bytes)
            host::raise(PyExc_ValueError,
                        std::string(kLinkMinVariable) +
                            " must be a size in bytes, optionally with K, M, G or T (such as "
                            "64M); got " +
                            host::repr(least));
        rule.link_min = *bytes;
    }
    return rule;
}

[[noreturn]] void raise_refused_input(const sb::RefusedInput &refused, nb::handle key) {
    std::string path = host::str(host::from_fs_path(refused.path));
    std::string text = "Input " + host::repr(key);
    switch (refused.kind) {
    case sb::RefusedInput::Kind::special:
        text += " names " + refused.what_it_is + " (" + path +
                "); only regular files and directories are staged";
        break;
    case sb::RefusedInput::Kind::holds_special:
        text += " holds " + refused.what_it_is + " (" + path +
                "); only regular files and directories are staged";
        break;
    case sb::RefusedInput::Kind::link_out:
        text += " holds a link that leads out of it (" + path + " -> " +
                host::str(host::from_fs_path(refused.what_it_is)) +
                "); links in a directory input are followed only within it";
        break;
    case sb::RefusedInput::Kind::link_loop:
        text += " holds a link back to a directory above it (" + path +
                "); it would be copied without end";
        break;
    }
    host::raise(PyExc_ValueError, text);
}

[[noreturn]] void raise_changed_input(nb::handle tool_name, nb::handle key,
                                      const std::string &host_path, std::size_t changed) {
    std::string text = "Tool " + host::repr(tool_name) + " changed its input " + host::repr(key) +
                       " in place (host file " + host::str(host::from_fs_path(host_path)) + ")";
    if (changed > 1) text += " and " + std::to_string(changed - 1) + " more input files";
    text += "; stage it as a copy with PLEXARO_STAGE=copy";
    host::raise(PyExc_RuntimeError, text);
}

}  // namespace plexaro::mivo_binding
