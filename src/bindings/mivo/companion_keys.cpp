#include "mivo/companion_keys.hpp"

namespace plexaro::mivo_binding {

namespace sb = plexaro::sandbox;

namespace {

// record.get(key) for a plain mapping; None otherwise.
nb::object field(nb::handle record, const char *key) {
    if (!PyDict_Check(record.ptr())) return nb::none();
    return host::dict_item_or(record, key, nb::none());
}

Patterns read_patterns(nb::handle value, const char *kind, nb::handle key) {
    Patterns out;
    if (value.is_none()) return out;
    std::string owner = std::string(kind) + " " + host::repr(key);
    if (!PyList_Check(value.ptr()) && !PyTuple_Check(value.ptr()))
        host::raise(PyExc_TypeError, "secondary_files of " + owner +
                                         " must be a list of patterns, got " +
                                         host::type_name(value));
    for (nb::handle item : value) {
        if (!PyUnicode_Check(item.ptr()))
            host::raise(PyExc_TypeError, "secondary_files of " + owner +
                                             " must hold patterns (str), got " +
                                             host::type_name(item));
        sb::CompanionPattern pattern;
        std::string why = sb::parse_companion_pattern(host::utf8(item), pattern);
        if (!why.empty())
            host::raise(PyExc_ValueError, "Companion pattern " + host::repr(item) + " of " + owner +
                                              " names no file: " + why);
        out.push_back(std::move(pattern));
    }
    return out;
}

}  // namespace

CompanionKeys read_companion_keys(nb::dict manifest) {
    CompanionKeys keys;
    nb::object inputs = field(manifest, "inputs");
    if (PyDict_Check(inputs.ptr())) {
        for (auto [key, record] : nb::borrow<nb::dict>(inputs)) {
            if (!PyUnicode_Check(key.ptr())) continue;
            Patterns patterns = read_patterns(field(record, "secondary_files"), "input", key);
            if (!patterns.empty()) keys.inputs.emplace(host::utf8(key), std::move(patterns));
        }
    }
    nb::object outputs = field(manifest, "outputs");
    if (PyDict_Check(outputs.ptr())) {
        for (auto [slot, record] : nb::borrow<nb::dict>(outputs)) {
            if (!PyUnicode_Check(slot.ptr())) continue;
            OutputCompanions entry;
            entry.patterns = read_patterns(field(record, "secondary_files"), "output", slot);
            nb::object from = field(record, "from_input");
            if (!from.is_none()) {
                if (!PyUnicode_Check(from.ptr()))
                    host::raise(PyExc_TypeError, "from_input of output " + host::repr(slot) +
                                                     " must name an input (a str), got " +
                                                     host::type_name(from));
                entry.from_input = host::utf8(from);
            }
            if (!entry.patterns.empty() || entry.from_input)
                keys.outputs.emplace(host::utf8(slot), std::move(entry));
        }
    }
    return keys;
}

}  // namespace plexaro::mivo_binding
