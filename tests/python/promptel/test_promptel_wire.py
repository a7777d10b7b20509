"""Promptel with the real vendor SDKs, checked on the wire at the loopback stand-in."""
import anthropic
import google.genai.errors
import openai
import pydantic
import pytest

from plexaro.helpers import promptel
from plexaro.helpers.promptel import Promptel
from support.vendor_stub import API_KEY, Reply

MODEL = {"openai": "gpt-test", "anthropic": "claude-test", "google": "gemini-test"}


def client(provider):
    return Promptel(provider, MODEL[provider], API_KEY)


def expected_body(provider, prompt, system=None):
    """The JSON each SDK sends for one default call of ours."""
    if provider == "openai":
        messages = [{"role": "system", "content": system}] if system else []
        return {"model": MODEL["openai"], "temperature": 0,
                "messages": messages + [{"role": "user", "content": prompt}]}
    if provider == "anthropic":
        body = {"model": MODEL["anthropic"], "max_tokens": 4096,
                "messages": [{"role": "user", "content": prompt}]}
        return body | ({"system": system} if system else {})
    body = {"contents": [{"parts": [{"text": prompt}], "role": "user"}],
            "generationConfig": {"temperature": 0.0}}
    if system:
        body["systemInstruction"] = {"parts": [{"text": system}], "role": "user"}
    return body


@pytest.mark.parametrize("provider", ["openai", "anthropic", "google"])
@pytest.mark.parametrize("system", [None, "", "Answer in one word."])
def test_request_shape_and_reply_text(vendor_stub, provider, system):
    vendor_stub.push("  the reply\n")
    args = ("Which tool aligns reads?",) if system is None else ("Which tool aligns reads?", system)
    assert client(provider).call(*args) == "  the reply\n"  # returned untrimmed

    [request] = vendor_stub.requests
    assert request.vendor == provider
    assert request.body == expected_body(provider, "Which tool aligns reads?", system)
    assert request.model == MODEL[provider]
    assert API_KEY in (request.headers.get("authorization", "")
                       + request.headers.get("x-api-key", "")
                       + request.headers.get("x-goog-api-key", ""))


def test_anthropic_token_limit_is_the_callers_and_options_are_not_consumed(vendor_stub):
    options = {"max_tokens": 100, "stop_sequences": ["END"]}
    llm = client("anthropic")
    llm.call("a", **options)
    llm.call("b", **options)
    assert options == {"max_tokens": 100, "stop_sequences": ["END"]}
    for request in vendor_stub.requests:
        assert request.body["max_tokens"] == 100
        assert request.body["stop_sequences"] == ["END"]
        assert "temperature" not in request.body


@pytest.mark.parametrize("provider, options, sent", [
    ("openai", {"max_tokens": 100}, {"max_tokens": 100, "temperature": 0}),
    ("openai", {"temperature": 0.7}, {"temperature": 0.7}),
    ("anthropic", {"model": "claude-other"}, {"model": "claude-other"}),
    ("google", {"max_output_tokens": 64}, {"generationConfig": {"temperature": 0.0,
                                                                "maxOutputTokens": 64}}),
    ("google", {"temperature": 0.5}, {"generationConfig": {"temperature": 0.5}}),
])
def test_extra_options_reach_the_wire(vendor_stub, provider, options, sent):
    client(provider).call("p", **options)
    [request] = vendor_stub.requests
    for key, value in sent.items():
        assert request.body[key] == value
    if provider == "openai" and "max_tokens" not in options:
        assert "max_tokens" not in request.body


def test_google_max_tokens_goes_into_the_config_and_the_sdk_judges_it(vendor_stub):
    # The configuration mapping carries the caller's name unchanged; this SDK
    # does not know "max_tokens" and says so itself, before any request.
    with pytest.raises(pydantic.ValidationError, match="max_tokens"):
        client("google").call("p", "sys", max_tokens=100)
    assert vendor_stub.requests == []


def test_anthropic_explicit_temperature_is_left_to_the_sdk(vendor_stub):
    # Only our own default is held back from an SDK that no longer takes it;
    # a caller's explicit value is passed on and the SDK's error is theirs.
    with pytest.raises(TypeError, match="temperature"):
        client("anthropic").call("p", temperature=0.3)
    assert vendor_stub.requests == []


def test_openai_option_clashing_with_our_keywords_is_the_hosts_duplicate_error(vendor_stub):
    llm = client("openai")
    create = llm.client.chat.completions.create
    for name in ("model", "messages"):
        with pytest.raises(TypeError) as ours:
            llm.call("p", **{name: "x"})
        with pytest.raises(TypeError) as hosts:
            create(model="m", messages=[], **{name: "x"})
        assert str(ours.value) == str(hosts.value)
        assert "got multiple values for keyword argument" in str(ours.value)
    assert vendor_stub.requests == []


@pytest.mark.parametrize("provider, error", [
    ("openai", openai.AuthenticationError),
    ("anthropic", anthropic.AuthenticationError),
    ("google", google.genai.errors.ClientError),
])
def test_vendor_error_status_reaches_the_caller_as_the_sdks_exception(vendor_stub, provider, error):
    vendor_stub.push(Reply(status=401, message="invalid key"))
    with pytest.raises(error, match="invalid key"):
        client(provider).call("p")
    assert len(vendor_stub.requests) == 1  # no retry of our own


@pytest.mark.parametrize("provider", ["openai", "google"])
def test_reply_without_text_is_none(vendor_stub, provider):
    vendor_stub.push(None)
    assert client(provider).call("p") is None


def test_anthropic_reply_with_empty_content_propagates_the_index_error(vendor_stub):
    vendor_stub.push(None)
    with pytest.raises(IndexError):
        client("anthropic").call("p")


def test_one_client_serves_every_call(vendor_stub):
    vendor_stub.responder = lambda request: request.prompt.upper()
    llm = client("google")
    first = llm.client
    assert [llm.call("a"), llm.call("b")] == ["A", "B"]
    assert llm.client is first


@pytest.mark.parametrize("provider", ["anthropic", "openai", "google"])
def test_default_llm_talks_to_the_vendor_whose_key_is_set(vendor_stub, monkeypatch, provider):
    vendor_stub.apply(monkeypatch, provider)
    llm = promptel.default_llm()
    assert llm.provider == provider
    assert llm.call("hello") == "ok"
    [request] = vendor_stub.requests
    assert request.vendor == provider
    assert request.model == {"anthropic": "claude-haiku-4-5-20251001",
                             "openai": "gpt-4o-mini",
                             "google": "gemini-2.5-flash-lite"}[provider]


def test_concurrent_calls_share_one_client_and_each_gets_its_own_reply(vendor_stub):
    from concurrent.futures import ThreadPoolExecutor

    vendor_stub.responder = lambda request: request.prompt[::-1]
    llm = client("openai")
    prompts = [f"prompt-{i}" for i in range(16)]
    with ThreadPoolExecutor(4) as pool:
        assert list(pool.map(llm.call, prompts)) == [p[::-1] for p in prompts]
    assert sorted(r.prompt for r in vendor_stub.requests) == sorted(prompts)
