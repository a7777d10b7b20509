#include "weftling/rules.hpp"

#include <gtest/gtest.h>

using namespace plexaro::weftling::rules;

TEST(Rules, ImportsFollowTheAllowListAndItsWidening) {
    const std::set<std::string> none;
    for (const char *m : {"re", "csv", "pathlib", "shutil", "gzip", "bz2", "lzma", "math",
                          "statistics", "collections", "itertools", "functools", "string",
                          "fnmatch", "typing", "os.path", "json", "glob", "tempfile"})
        EXPECT_TRUE(import_allowed(m, none)) << m;
    EXPECT_FALSE(import_allowed("hashlib", none));
    std::vector<std::string> refused;
    const std::set<std::string> extra =
        extra_modules(" hashlib,xml.etree  subprocess,,xml _socket", &refused);
    EXPECT_EQ(extra, (std::set<std::string>{"hashlib", "xml.etree"}));
    EXPECT_EQ(refused, (std::vector<std::string>{"subprocess", "xml", "_socket"}));
    EXPECT_TRUE(import_allowed("hashlib", extra));
    EXPECT_TRUE(import_allowed("xml.etree.ElementTree", extra));
    EXPECT_FALSE(import_allowed("xml.dom", extra));  // only the added package
    EXPECT_FALSE(import_allowed("xml", extra));
    // A module reached as an attribute: allowed modules, submodules of an
    // allowed package, and os.path.
    EXPECT_TRUE(reached_module_allowed("glob", "os", "os", none));
    EXPECT_TRUE(reached_module_allowed("os", "path", "posixpath", none));
    EXPECT_TRUE(reached_module_allowed("collections", "abc", "collections.abc", none));
    EXPECT_FALSE(reached_module_allowed("enum", "bltns", "builtins", none));
    EXPECT_FALSE(reached_module_allowed("typing", "types", "types", none));
    EXPECT_FALSE(reached_module_allowed("xml", "sax", "xml.sax", extra));
    // Denied modules stay denied whatever the host adds.
    for (const char *m : {"subprocess", "socket", "urllib.request", "http.client", "importlib",
                          "ctypes", "pickle", "marshal", "sys", "builtins"})
        EXPECT_FALSE(import_allowed(m, extra)) << m;
    EXPECT_FALSE(import_allowed("", none));
}

TEST(Rules, AttributesAndNames) {
    for (const char *a :
         {"system", "popen", "fork", "kill", "unlink", "rmdir", "rmtree", "removedirs"})
        EXPECT_TRUE(attribute_denied("", a)) << a;
    for (const char *a :
         {"remove", "rename", "replace", "execv", "execlp", "spawnv", "posix_spawn", "forkpty"})
        EXPECT_TRUE(attribute_denied("os", a)) << a;
    EXPECT_FALSE(attribute_denied("", "remove"));   // list.remove
    EXPECT_FALSE(attribute_denied("", "replace"));  // str.replace
    EXPECT_TRUE(attribute_denied("shutil", "move"));
    EXPECT_FALSE(attribute_denied("shutil", "copy"));
    EXPECT_TRUE(attribute_denied("", "__class__"));
    EXPECT_TRUE(attribute_denied("tempfile", "_os"));
    EXPECT_TRUE(attribute_denied("os", "sys"));
    EXPECT_FALSE(attribute_denied("os", "path"));
    // os and shutil: only their reviewed parts.
    for (const char *a : {"open", "chmod", "environ", "putenv", "chdir", "link", "truncate", "dup2",
                          "write", "umask", "setuid", "utime", "mkfifo"})
        EXPECT_TRUE(attribute_denied("os", a)) << a;
    for (const char *a : {"listdir", "walk", "makedirs", "symlink", "stat", "getenv", "close"})
        EXPECT_FALSE(attribute_denied("os", a)) << a;
    EXPECT_FALSE(attribute_denied("os.path", "join"));
    for (const char *a : {"copymode", "copystat", "chown", "make_archive", "unpack_archive"})
        EXPECT_TRUE(attribute_denied("shutil", a)) << a;
    // On any object: renames, permission changes, string-named lookups,
    // string evaluation, attribute copies, frames.
    for (const char *a :
         {"rename", "chmod", "attrgetter", "methodcaller", "get_type_hints", "singledispatch",
          "update_wrapper", "get_field", "gi_frame", "f_globals", "exec"})
        EXPECT_TRUE(attribute_denied("", a)) << a;
    EXPECT_FALSE(attribute_denied("operator", "itemgetter"));
    EXPECT_FALSE(attribute_denied("", "compile"));  // re.compile
    EXPECT_TRUE(string_denied("__globals__"));
    EXPECT_FALSE(string_denied("__init__.py"));
    EXPECT_FALSE(string_denied("____"));
    for (const char *t : {"{0.__globals__[os]}", "{0[__builtins__]}", "x __class__"})
        EXPECT_TRUE(string_denied(t)) << t;
    for (const char *t : {"S1__R1__001.fastq", "pkg/__main__.py", "a__b"})
        EXPECT_FALSE(string_denied(t)) << t;
    // Path.replace(target) renames; str.replace(old, new) does not.
    EXPECT_TRUE(call_renames("replace", 1, {}));
    EXPECT_TRUE(call_renames("replace", 0, {"target"}));
    EXPECT_FALSE(call_renames("replace", 2, {}));
    EXPECT_FALSE(call_renames("replace", 0, {"year"}));
    EXPECT_TRUE(template_needs_literal("format_map"));
    EXPECT_TRUE(names_class_bases("type"));
    EXPECT_FALSE(names_class_bases("key"));
    for (const char *n : {"eval", "exec", "compile", "globals", "locals", "vars", "__import__",
                          "__builtins__", "setattr", "delattr", "help"})
        EXPECT_TRUE(name_denied(n)) << n;
    EXPECT_FALSE(name_denied("open"));
    EXPECT_TRUE(names_attribute_dynamically("getattr"));
    EXPECT_FALSE(names_attribute_dynamically("setattr"));  // refused outright
    EXPECT_FALSE(names_attribute_dynamically("len"));
}

TEST(Rules, ConnectorNamingForm) {
    EXPECT_TRUE(is_connector_name("edge_a_to_b"));
    EXPECT_TRUE(is_connector_name("edge__to_x"));
    EXPECT_FALSE(is_connector_name("edge_helper"));
    EXPECT_FALSE(is_connector_name("helper_to_x"));
}

TEST(Rules, TextsNameTheRuleTheSubjectAndTheEdges) {
    std::vector<Finding> findings{{Rule::denied_attribute, "os.system", 3},
                                  {Rule::does_not_load, "NameError: x", 0}};
    EXPECT_EQ(describe(findings[0]),
              "line 3: no process, network, code-loading, file-removing, renaming or "
              "permission-changing calls, no attribute lookup by computed name or string "
              "evaluation, no private attributes and no modules outside the allow-list - found "
              "os.system");
    std::string prompt = repair_prompt(findings, "def f(): pass");
    EXPECT_EQ(prompt.rfind("The connector code breaks these rules:\n- line 3: ", 0), 0u);
    EXPECT_NE(prompt.find("\n- the functions must load into a fresh module - found NameError: x\n"),
              std::string::npos);
    const std::string tail =
        "Fix and return only the corrected code, no markdown:\n\ndef f(): pass";
    ASSERT_GE(prompt.size(), tail.size());
    EXPECT_EQ(prompt.substr(prompt.size() - tail.size()), tail);
    EXPECT_EQ(
        refusal({"a -> d", "b -> d"}, {findings[0]})
            .rfind("Connector code for a -> d, b -> d was not stored: the model's reply (after one "
                   "repair request) breaks a rule: line 3: ",
                   0),
        0u);
    EXPECT_NE(describe({Rule::import_module, "hashlib", 1}).find("(os, json, glob, tempfile, re,"),
              std::string::npos);
}
