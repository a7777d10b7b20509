"""Promptel's host contract: construction, type checks, environment rules."""
import os
import subprocess
import sys
from types import SimpleNamespace

import anthropic
import openai
import pytest
from google import genai

from plexaro.helpers import promptel
from plexaro.helpers.promptel import Promptel


class StrSub(str):
    pass


def client_kwargs(provider, key, seconds=180):
    """What a vendor client is built with: the key, and the call deadline with
    the library's own retries off (Google takes milliseconds and never retries)."""
    if provider == "google":
        return {"api_key": key, "http_options": {"timeout": seconds * 1000}}
    return {"api_key": key, "timeout": float(seconds), "max_retries": 0}


@pytest.fixture
def made(monkeypatch):
    """Vendor client classes replaced by recorders: [(provider, kwargs)]."""
    log = []
    for name, provider in (("OpenAI", "openai"), ("Anthropic", "anthropic")):
        monkeypatch.setattr(promptel, name, lambda p=provider, **kw: log.append((p, kw)) or kw)
    monkeypatch.setattr(promptel, "genai", SimpleNamespace(
        Client=lambda **kw: log.append(("google", kw)) or kw))
    return log


def test_module_binds_the_three_vendor_libraries():
    assert promptel.OpenAI is openai.OpenAI
    assert promptel.Anthropic is anthropic.Anthropic
    assert promptel.genai is genai
    assert Promptel.__bases__ == (object,)


@pytest.mark.parametrize("library", ["openai", "anthropic", "google.genai"])
def test_import_fails_when_a_vendor_library_is_missing(library):
    code = (f"import sys; sys.modules[{library!r}] = None\n"
            "try:\n    import plexaro.helpers.promptel\n"
            "except ImportError as e:\n    print('ImportError', repr(e.__cause__))\n")
    # The child finds the same package this test imported, built in place or installed.
    package_root = os.path.dirname(os.path.dirname(os.path.dirname(promptel.__file__)))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env={**os.environ, "PYTHONPATH": package_root}, timeout=120)
    assert out.stdout.startswith("ImportError"), out.stdout + out.stderr
    # The library's own error travels with the import error as its cause.
    assert f"ImportError ModuleNotFoundError('import of {library} halted" in out.stdout


@pytest.mark.parametrize("given, provider, client_type", [
    ("openai", "openai", openai.OpenAI),
    ("OpenAI", "openai", openai.OpenAI),
    ("ANTHROPIC", "anthropic", anthropic.Anthropic),
    ("Google", "google", genai.Client),
])
def test_constructor_lower_cases_provider_and_builds_the_vendor_client(given, provider, client_type):
    llm = Promptel(given, "Model-X", "key")
    assert (llm.provider, llm.model_name) == (provider, "Model-X")
    assert type(llm.client) is client_type
    assert "key" not in vars(llm).values()  # the key stays with the vendor client
    assert set(vars(llm)) == {"provider", "model_name", "client"}


@pytest.mark.parametrize("provider, key", [("openai", "k1"), ("anthropic", ""), ("google", "k3")])
def test_key_is_always_handed_over_as_the_api_key_keyword(made, provider, key):
    Promptel(provider=provider, model_name="m", api_key=key)
    assert made == [(provider, client_kwargs(provider, key))]


def test_the_deadline_comes_from_the_environment(made, monkeypatch):
    monkeypatch.setenv("PLEXARO_LLM_TIMEOUT", "30")
    for provider in ("openai", "anthropic", "google"):
        Promptel(provider, "m", "k")
    assert made == [(p, client_kwargs(p, "k", 30)) for p in ("openai", "anthropic", "google")]


@pytest.mark.parametrize("provider, library, name", [
    ("openai", openai, "OpenAI"), ("anthropic", anthropic, "Anthropic"), ("google", genai, "Client")])
def test_a_vendor_class_patched_in_its_library_is_obeyed(monkeypatch, provider, library, name):
    seen = []
    monkeypatch.setattr(library, name, lambda **kw: seen.append(kw) or "patched client")
    assert Promptel(provider, "m", "k").client == "patched client"
    assert seen == [client_kwargs(provider, "k")]


@pytest.mark.parametrize("given", ["foo", "Mistral", "open ai", "", "it's"])
def test_unsupported_provider_is_a_value_error_with_the_name_as_given(made, given):
    with pytest.raises(ValueError) as err:
        Promptel(given, "m", "k")
    assert str(err.value) == f"Unsupported provider: {given!r}. Use 'openai', 'anthropic', or 'google'."
    assert made == []


@pytest.mark.parametrize("bad, type_name", [
    (1, "int"), (None, "NoneType"), (StrSub("openai"), "StrSub"), (b"openai", "bytes")])
@pytest.mark.parametrize("param", ["provider", "model_name", "api_key"])
def test_constructor_arguments_must_be_exactly_str(made, param, bad, type_name):
    args = {"provider": "openai", "model_name": "m", "api_key": "k"} | {param: bad}
    with pytest.raises(TypeError) as err:
        Promptel(**args)
    assert str(err.value) == (f"Argument '{param}' has incorrect type "
                              f"(expected str, got {type_name})")
    assert made == []


def fake_client(provider, reply):
    """A vendor client whose create records its keywords and returns `reply`."""
    sent = []

    def create(**kwargs):
        sent.append(kwargs)
        return SimpleNamespace(
            choices=[SimpleNamespace(message=SimpleNamespace(content=reply))],
            content=[SimpleNamespace(text=reply)], text=reply)

    client = SimpleNamespace(chat=SimpleNamespace(completions=SimpleNamespace(create=create)),
                             messages=SimpleNamespace(create=create),
                             models=SimpleNamespace(generate_content=create))
    return client, sent


@pytest.fixture
def llm_with(made):
    def build(provider, reply="ok"):
        llm = Promptel(provider, "m", "k")
        llm.client, sent = fake_client(provider, reply)
        return llm, sent
    return build


@pytest.mark.parametrize("provider", ["openai", "anthropic", "google"])
@pytest.mark.parametrize("call_args, param, type_name", [
    ((1,), "user_prompt", "int"),
    ((None,), "user_prompt", "NoneType"),
    ((StrSub("p"),), "user_prompt", "StrSub"),
    (("p", 3), "system_prompt", "int"),
    (("p", StrSub("s")), "system_prompt", "StrSub"),
])
def test_call_arguments_are_type_checked_before_any_request(llm_with, provider, call_args,
                                                             param, type_name):
    llm, sent = llm_with(provider)
    with pytest.raises(TypeError) as err:
        llm.call(*call_args)
    assert str(err.value) == f"Argument '{param}' has incorrect type (expected str, got {type_name})"
    assert sent == []


@pytest.mark.parametrize("provider", ["openai", "anthropic", "google"])
@pytest.mark.parametrize("reply, outcome", [
    (None, None), ("text", "text"), (7, "Expected str, got int"),
    (StrSub("x"), "Expected str, got StrSub"), (b"x", "Expected str, got bytes")])
def test_reply_is_returned_when_str_or_none_else_a_type_error(llm_with, provider, reply, outcome):
    llm, _ = llm_with(provider, reply)
    if outcome is not None and outcome.startswith("Expected"):
        with pytest.raises(TypeError) as err:
            llm.call("p")
        assert str(err.value) == outcome
    else:
        assert llm.call("p") == outcome


def test_google_configuration_is_a_plain_mapping_with_the_callers_names(llm_with):
    llm, sent = llm_with("google")
    llm.call("p", "sys", max_tokens=100)
    assert sent == [{"model": "m", "contents": "p",
                     "config": {"max_tokens": 100, "temperature": 0, "system_instruction": "sys"}}]
    assert type(sent[0]["config"]) is dict


def test_anthropic_request_keeps_temperature_when_the_client_takes_it(llm_with):
    llm, sent = llm_with("anthropic")
    llm.call("p", "", top_k=5)
    assert sent == [{"model": "m", "max_tokens": 4096,
                     "messages": [{"role": "user", "content": "p"}],
                     "temperature": 0, "top_k": 5}]
    assert list(sent[0])[:3] == ["model", "max_tokens", "messages"]


@pytest.mark.parametrize("provider", ["openai", "anthropic", "google"])
def test_provider_and_client_are_read_afresh_on_every_call(llm_with, provider):
    llm, sent = llm_with(provider)
    llm.provider = "mistral"
    assert llm.call("p") is None
    assert sent == []
    llm.provider = provider
    llm.client, replaced = fake_client(provider, "from the new client")
    assert llm.call("p") == "from the new client"
    assert len(replaced) == 1 and sent == []


KEYS = ("ANTHROPIC_API_KEY", "OPENAI_API_KEY", "GEMINI_API_KEY", "GOOGLE_API_KEY")


@pytest.mark.parametrize("env, provider, model, key", [
    ({"ANTHROPIC_API_KEY": "a", "OPENAI_API_KEY": "o", "GEMINI_API_KEY": "g"},
     "anthropic", "claude-haiku-4-5-20251001", "a"),
    ({"ANTHROPIC_API_KEY": "", "OPENAI_API_KEY": "o"}, "openai", "gpt-4o-mini", "o"),
    ({"ANTHROPIC_API_KEY": "", "OPENAI_API_KEY": "", "GEMINI_API_KEY": "g", "GOOGLE_API_KEY": "G"},
     "google", "gemini-2.5-flash-lite", "g"),
    ({"GEMINI_API_KEY": "", "GOOGLE_API_KEY": "G"}, "google", "gemini-2.5-flash-lite", ""),
    ({"GOOGLE_API_KEY": "G"}, "google", "gemini-2.5-flash-lite", "G"),
    ({}, "google", "gemini-2.5-flash-lite", ""),
])
def test_default_llm_environment_rules(made, monkeypatch, env, provider, model, key):
    for name in KEYS:
        monkeypatch.delenv(name, raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    llm = promptel.default_llm()
    assert type(llm) is Promptel
    assert (llm.provider, llm.model_name) == (provider, model)
    assert made == [(provider, client_kwargs(provider, key))]


def test_default_llm_builds_through_the_modules_promptel(monkeypatch):
    monkeypatch.setenv("ANTHROPIC_API_KEY", "a")
    seen = []
    monkeypatch.setattr(promptel, "Promptel", lambda *args: seen.append(args) or "built")
    assert promptel.default_llm() == "built"
    assert seen == [("anthropic", "claude-haiku-4-5-20251001", "a")]
