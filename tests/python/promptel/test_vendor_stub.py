"""The vendor stand-in's scripting contract, which other suites and the example rely on."""
import json
import os
import urllib.error
import urllib.request

import openai
import pytest

from plexaro.helpers.promptel import Promptel
from support.vendor_stub import API_KEY, KEY_VARIABLES, Reply, VendorStub


def test_queued_replies_come_first_then_the_responder_then_the_default(vendor_stub):
    llm = Promptel("openai", "m", API_KEY)
    vendor_stub.push("one", "two")
    assert [llm.call("a"), llm.call("b"), llm.call("c")] == ["one", "two", "ok"]
    vendor_stub.responder = lambda request: f"{request.vendor}:{request.prompt}:{request.system}"
    assert llm.call("d", "s") == "openai:d:s"
    assert [r.prompt for r in vendor_stub.requests] == ["a", "b", "c", "d"]


@pytest.mark.parametrize("provider", ["openai", "anthropic", "google"])
def test_request_prompt_and_system_read_every_vendor_shape(vendor_stub, provider):
    Promptel(provider, "m", API_KEY).call("the prompt", "the system")
    [request] = vendor_stub.requests_for(provider)
    assert (request.prompt, request.system, request.model) == ("the prompt", "the system", "m")


def test_failing_responder_is_reported_to_the_caller_not_retried(vendor_stub):
    vendor_stub.responder = lambda request: 1 / 0
    with pytest.raises(openai.BadRequestError, match="ZeroDivisionError"):
        Promptel("openai", "m", API_KEY).call("p")
    assert len(vendor_stub.requests) == 1


def test_unknown_endpoint_is_recorded_and_answered_404(vendor_stub):
    vendor_stub.push("kept for the next real request")
    request = urllib.request.Request(vendor_stub.url + "/v1/embeddings", method="POST",
                                     data=json.dumps({"input": "x"}).encode())
    with pytest.raises(urllib.error.HTTPError) as err:
        urllib.request.urlopen(request, timeout=10)
    assert err.value.code == 404
    assert (vendor_stub.requests[0].vendor, vendor_stub.requests[0].body) == ("unknown", {"input": "x"})
    assert Promptel("openai", "m", API_KEY).call("p") == "kept for the next real request"


def test_apply_without_monkeypatch_sets_and_clears_os_environ(monkeypatch):
    with VendorStub() as stub:
        for name in stub.environment():  # monkeypatch restores them all afterwards
            monkeypatch.delenv(name, raising=False)
        for name in KEY_VARIABLES:
            monkeypatch.setenv(name, "real-key")
        monkeypatch.setenv("OPENAI_BASE_URL", "https://example.invalid")
        stub.apply(provider="anthropic")
        assert os.environ["ANTHROPIC_API_KEY"] == API_KEY
        assert all(name not in os.environ for name in KEY_VARIABLES[1:])
        assert os.environ["OPENAI_BASE_URL"] == stub.url + "/v1"
        assert os.environ["GOOGLE_GEMINI_BASE_URL"] == stub.url
