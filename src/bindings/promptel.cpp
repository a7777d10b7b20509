// plexaro.helpers.promptel: one way to send a prompt to a large language
// model and get its text back, over the OpenAI, Anthropic and Google GenAI
// client libraries.
#include "common/host.hpp"

#include <algorithm>

namespace host = plexaro::host;
using namespace nb::literals;

namespace {

struct Promptel {};

constexpr const char *kModule = "plexaro.helpers.promptel";

constexpr int kAnthropicMaxTokens = 4096;

// Every call has an overall deadline: the vendor clients get it as their
// time-out with their own retries turned off (one of them obeys any
// Retry-After, another waits forever without a time-out), and `call` makes
// at most one retry of its own, after a capped pause, within the deadline.
constexpr const char *kTimeoutEnv = "PLEXARO_LLM_TIMEOUT";
constexpr double kDefaultTimeout = 180.0;
constexpr double kLongestPause = 10.0;

double deadline_seconds() {
    return host::positive_setting(kTimeoutEnv, kDefaultTimeout, "seconds", 1e9);
}

double now() { return nb::cast<double>(host::import("time").attr("monotonic")()); }

// The HTTP status of a vendor error (`status_code` of the OpenAI and
// Anthropic errors, `code` of the Google ones), or 0.
int status_of(nb::handle error) {
    for (const char *name : {"status_code", "code"}) {
        PyObject *value = PyObject_GetAttrString(error.ptr(), name);
        if (!value) {
            PyErr_Clear();
            continue;
        }
        nb::object v = nb::steal(value);
        if (PyLong_Check(v.ptr())) return nb::cast<int>(v);
    }
    return 0;
}

// Errors a vendor asks to be retried: rate limits, overload, server errors
// and dropped connections. A time-out is not retried: it used the deadline.
bool retryable(nb::handle error) {
    int status = status_of(error);
    if (status == 408 || status == 409 || status == 429 || status >= 500) return true;
    std::string name = host::str(nb::handle(Py_TYPE(error.ptr())).attr("__name__"));
    return name == "APIConnectionError" || name == "RemoteProtocolError" || name == "ConnectError";
}

// The vendor's Retry-After in seconds, or 1 when it gave none.
double retry_after(nb::handle error) {
    try {
        nb::object response = nb::getattr(error, "response", nb::none());
        if (response.is_none()) return 1.0;
        nb::object header = response.attr("headers").attr("get")("retry-after");
        if (header.is_none()) return 1.0;
        return nb::cast<double>(host::import("builtins").attr("float")(header));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return 1.0;
    }
}

// Names and lookups go through the module object at every use, so a host
// that patches `Promptel`, `OpenAI`, `Anthropic` or `genai` is obeyed.
nb::object module_attr(const char *name) { return host::import(kModule).attr(name); }

// The vendor client classes as bound when the module was loaded (kept for the
// life of the process, like the module itself).
PyObject *loaded_openai = nullptr;
PyObject *loaded_anthropic = nullptr;

// The vendor client class for a constructor call. The module's own binding
// (`OpenAI`, `Anthropic`) wins when the host replaced it; otherwise the class
// is taken from its library afresh, so a patch there is obeyed as well.
nb::object vendor_class(const char *library, const char *name, PyObject *loaded) {
    nb::object bound = module_attr(name);
    if (bound.ptr() != loaded) return bound;
    return host::import(library).attr(name);
}

// Removes `key` from `mapping` and returns its value (a null object when absent).
nb::object pop(nb::dict &mapping, const char *key) {
    nb::str k(key);
    PyObject *value = PyDict_GetItemWithError(mapping.ptr(), k.ptr());
    if (!value) {
        if (PyErr_Occurred()) throw nb::python_error();
        return nb::object();
    }
    nb::object kept = nb::borrow(value);
    if (PyDict_DelItem(mapping.ptr(), k.ptr()) < 0) throw nb::python_error();
    return kept;
}

// `fn(**kwargs)` through the host's calling convention.
nb::object call_with_keywords(nb::handle fn, nb::handle kwargs) {
    PyObject *no_args = PyTuple_New(0);
    if (!no_args) throw nb::python_error();
    PyObject *result = PyObject_Call(fn.ptr(), no_args, kwargs.ptr());
    Py_DECREF(no_args);
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

// The host's own wording for `fn(key=..., **{key: ...})`, naming the function
// the way the host does ("module.Qualname()").
[[noreturn]] void raise_duplicate_keyword(nb::handle fn, nb::handle key) {
    std::string name;
    PyObject *qualname = PyObject_GetAttrString(fn.ptr(), "__qualname__");
    if (!qualname) {
        PyErr_Clear();
        name = host::str(fn);
    } else {
        nb::object q = nb::steal(qualname);
        name = host::str(q) + "()";
        PyObject *mod = PyObject_GetAttrString(fn.ptr(), "__module__");
        if (!mod) PyErr_Clear();
        nb::object m = nb::steal(mod);
        if (m.is_valid() && !m.is_none() && !m.equal(nb::str("builtins")))
            name = host::str(m) + "." + name;
    }
    host::raise(PyExc_TypeError,
                name + " got multiple values for keyword argument '" + host::str(key) + "'");
}

// Recent Anthropic libraries no longer take a sampling temperature (the
// vendor retired it); sending our own default there would make every call
// fail before it leaves the process.
bool accepts_keyword(nb::handle fn, const char *keyword) {
    nb::object inspect = host::import("inspect");
    nb::object signature;
    try {
        signature = inspect.attr("signature")(fn);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
        return true;  // no signature to read: let the callee decide
    }
    nb::object params = signature.attr("parameters");
    nb::object var_keyword = inspect.attr("Parameter").attr("VAR_KEYWORD");
    nb::object positional_only = inspect.attr("Parameter").attr("POSITIONAL_ONLY");
    for (nb::handle param : params.attr("values")()) {
        nb::object kind = param.attr("kind");
        if (kind.equal(var_keyword)) return true;
        if (param.attr("name").equal(nb::str(keyword)) && !kind.equal(positional_only)) return true;
    }
    return false;
}

nb::dict message(const char *role, nb::handle content) {
    nb::dict entry;
    entry["role"] = role;
    entry["content"] = content;
    return entry;
}

bool has_key(nb::handle mapping, const char *key) { return host::contains(mapping, nb::str(key)); }

nb::object checked_reply(nb::handle text) {
    if (text.is_none()) return nb::none();
    return host::expect_str(text);
}

nb::object call_openai(nb::handle self, nb::handle client, nb::handle user_prompt,
                       nb::handle system_prompt, nb::dict &options) {
    nb::list messages;
    if (host::is_nonempty_str_or_subclass(system_prompt))
        messages.append(message("system", system_prompt));
    messages.append(message("user", user_prompt));

    nb::object create = client.attr("chat").attr("completions").attr("create");
    nb::dict kwargs;
    kwargs["model"] = self.attr("model_name");
    kwargs["messages"] = messages;
    for (auto [key, value] : options) {
        if (key.equal(nb::str("model")) || key.equal(nb::str("messages")))
            raise_duplicate_keyword(create, key);
        kwargs[key] = value;
    }
    nb::object response = call_with_keywords(create, kwargs);
    return checked_reply(response.attr("choices")[0].attr("message").attr("content"));
}

nb::object call_anthropic(nb::handle self, nb::handle client, nb::handle user_prompt,
                          nb::handle system_prompt, nb::dict &options, bool default_temperature) {
    nb::object create = client.attr("messages").attr("create");
    if (default_temperature && !accepts_keyword(create, "temperature")) pop(options, "temperature");

    nb::dict request;
    request["model"] = self.attr("model_name");
    nb::object max_tokens = pop(options, "max_tokens");
    request["max_tokens"] = max_tokens.is_valid() ? max_tokens : nb::int_(kAnthropicMaxTokens);
    nb::list messages;
    messages.append(message("user", user_prompt));
    request["messages"] = messages;
    for (auto [key, value] : options) request[key] = value;
    if (host::is_nonempty_str_or_subclass(system_prompt)) request["system"] = system_prompt;

    nb::object response = call_with_keywords(create, request);
    return checked_reply(response.attr("content")[0].attr("text"));
}

nb::object call_google(nb::handle self, nb::handle client, nb::handle user_prompt,
                       nb::handle system_prompt, nb::dict &options) {
    nb::object temperature = pop(options, "temperature");
    nb::dict config;
    for (auto [key, value] : options) config[key] = value;
    config["temperature"] = temperature;
    if (host::is_nonempty_str_or_subclass(system_prompt))
        config["system_instruction"] = system_prompt;

    nb::object response = client.attr("models").attr("generate_content")(
        "model"_a = self.attr("model_name"), "contents"_a = user_prompt, "config"_a = config);
    return checked_reply(response.attr("text"));
}

}  // namespace

NB_MODULE(promptel, m) {
    m.doc() = "One call interface over the OpenAI, Anthropic and Google GenAI client libraries.";

    // The three vendor libraries are part of this module's contract: a missing
    // one makes importing the module fail, not the first call.
    nb::object openai_class = host::import("openai").attr("OpenAI");
    nb::object anthropic_class = host::import("anthropic").attr("Anthropic");
    m.attr("OpenAI") = openai_class;
    m.attr("Anthropic") = anthropic_class;
    loaded_openai = openai_class.release().ptr();
    loaded_anthropic = anthropic_class.release().ptr();
    m.attr("genai") = host::import("google.genai");

    host::plain_class<Promptel>(m, "Promptel",
                                "A model of one vendor: `provider`, `model_name` and its `client`.")
        .def(
            "__init__",
            [](nb::pointer_and_handle<Promptel> self, nb::handle provider, nb::handle model_name,
               nb::handle api_key) {
                new (self.p) Promptel();
                nb::str given = host::arg_str(provider, "provider");
                nb::str model = host::arg_str(model_name, "model_name");
                nb::str key = host::arg_str(api_key, "api_key");

                nb::object name = given.attr("lower")();
                nb::setattr(self.h, "provider", name);
                nb::setattr(self.h, "model_name", model);

                nb::object client;
                bool known = name.equal(nb::str("openai")) || name.equal(nb::str("anthropic")) ||
                             name.equal(nb::str("google"));
                double timeout = known ? deadline_seconds() : 0;
                if (name.equal(nb::str("openai")))
                    client = vendor_class("openai", "OpenAI", loaded_openai)(
                        "api_key"_a = key, "timeout"_a = timeout, "max_retries"_a = 0);
                else if (name.equal(nb::str("anthropic")))
                    client = vendor_class("anthropic", "Anthropic", loaded_anthropic)(
                        "api_key"_a = key, "timeout"_a = timeout, "max_retries"_a = 0);
                else if (name.equal(nb::str("google"))) {
                    nb::dict http_options;
                    http_options["timeout"] = nb::int_((long long)(timeout * 1000));
                    client = module_attr("genai").attr("Client")("api_key"_a = key,
                                                                 "http_options"_a = http_options);
                } else
                    host::raise(PyExc_ValueError, "Unsupported provider: " + host::repr(given) +
                                                      ". Use 'openai', 'anthropic', or 'google'.");
                nb::setattr(self.h, "client", client);
            },
            "provider"_a.none(), "model_name"_a.none(), "api_key"_a.none(),
            nb::sig("def __init__(self, provider: str, model_name: str, api_key: str) -> None"))
        .def(
            "call",
            [](nb::handle self, nb::handle user_prompt, nb::handle system_prompt,
               nb::kwargs kwargs) -> nb::object {
                host::arg_str(user_prompt, "user_prompt");
                host::arg_opt_str(system_prompt, "system_prompt");

                // A mapping of our own: the caller's keywords stay untouched.
                nb::dict options = nb::steal<nb::dict>(PyDict_Copy(kwargs.ptr()));
                if (!options.is_valid()) throw nb::python_error();
                bool default_temperature = !has_key(options, "temperature");
                if (default_temperature) options["temperature"] = nb::int_(0);

                nb::object provider = self.attr("provider");
                auto dispatch = [&]() -> nb::object {
                    // Each attempt gets its own copy: a branch removes entries.
                    nb::dict opts = nb::steal<nb::dict>(PyDict_Copy(options.ptr()));
                    if (!opts.is_valid()) throw nb::python_error();
                    if (provider.equal(nb::str("openai")))
                        return call_openai(self, self.attr("client"), user_prompt, system_prompt,
                                           opts);
                    if (provider.equal(nb::str("anthropic")))
                        return call_anthropic(self, self.attr("client"), user_prompt, system_prompt,
                                              opts, default_temperature);
                    return call_google(self, self.attr("client"), user_prompt, system_prompt, opts);
                };
                if (!provider.equal(nb::str("openai")) && !provider.equal(nb::str("anthropic")) &&
                    !provider.equal(nb::str("google")))
                    return nb::none();
                const double deadline = deadline_seconds();
                const double started = now();
                try {
                    return dispatch();
                } catch (nb::python_error &e) {
                    if (!e.matches(PyExc_Exception) || !retryable(e.value())) throw;
                    double remaining = deadline - (now() - started);
                    double pause = std::min({retry_after(e.value()), kLongestPause, deadline / 10});
                    if (!(pause >= 0) || pause >= remaining) throw;
                    host::import("time").attr("sleep")(pause);
                }
                return dispatch();
            },
            "user_prompt"_a.none(), "system_prompt"_a.none() = nb::none(), "kwargs"_a,
            nb::sig("def call(self, user_prompt: str, system_prompt: str | None = None, "
                    "**kwargs: typing.Any) -> str | None"),
            "Send `user_prompt` (and a non-empty `system_prompt`) to the model and return "
            "its reply text, or None when the reply holds no text.");

    m.def(
        "default_llm",
        []() -> nb::object {
            nb::object environment = host::import("os").attr("environ");
            nb::object promptel = module_attr("Promptel");
            nb::object anthropic_key = environment.attr("get")("ANTHROPIC_API_KEY");
            if (host::truthy(anthropic_key))
                return promptel("anthropic", "claude-haiku-4-5-20251001", anthropic_key);
            nb::object openai_key = environment.attr("get")("OPENAI_API_KEY");
            if (host::truthy(openai_key)) return promptel("openai", "gpt-4o-mini", openai_key);
            // Unlike the two above, a present but empty GEMINI_API_KEY still
            // takes precedence over GOOGLE_API_KEY.
            nb::object key = nb::str("");
            if (has_key(environment, "GEMINI_API_KEY"))
                key = environment["GEMINI_API_KEY"];
            else if (has_key(environment, "GOOGLE_API_KEY"))
                key = environment["GOOGLE_API_KEY"];
            return promptel("google", "gemini-2.5-flash-lite", key);
        },
        nb::sig("def default_llm() -> plexaro.helpers.promptel.Promptel"),
        "A Promptel for the vendor whose key is in the environment: Anthropic, else "
        "OpenAI, else Google.");
}
