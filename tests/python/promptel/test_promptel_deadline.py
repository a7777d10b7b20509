"""Every LLM call ends within its deadline, whatever the vendor does."""
import time

import anthropic
import openai
import pytest

from plexaro.helpers.promptel import Promptel
from support.vendor_stub import API_KEY, HANG, Reply

TIMEOUT_ERRORS = {"openai": openai.APITimeoutError, "anthropic": anthropic.APITimeoutError,
                  "google": Exception}


@pytest.mark.parametrize("provider", ["openai", "anthropic", "google"])
def test_a_vendor_that_never_answers_gives_the_sdks_time_out_within_the_deadline(
        vendor_stub, monkeypatch, provider):
    monkeypatch.setenv("PLEXARO_LLM_TIMEOUT", "1.5")
    llm = Promptel(provider, "m", API_KEY)
    vendor_stub.push(HANG, HANG, HANG)
    started = time.monotonic()
    with pytest.raises(TIMEOUT_ERRORS[provider]) as error:
        llm.call("p")
    # The Google SDK passes its HTTP library's own time-out error through.
    assert "Timeout" in type(error.value).__name__
    assert time.monotonic() - started < 1.5 + 3
    assert len(vendor_stub.requests) == 1   # a time-out is not retried


@pytest.mark.parametrize("provider", ["openai", "anthropic", "google"])
def test_one_capped_retry_after_a_rate_limit(vendor_stub, monkeypatch, provider):
    monkeypatch.setenv("PLEXARO_LLM_TIMEOUT", "3")
    llm = Promptel(provider, "m", API_KEY)
    vendor_stub.push(Reply(status=429, message="slow down", headers={"Retry-After": "100000"}),
                     "answered")
    started = time.monotonic()
    assert llm.call("p") == "answered"
    assert time.monotonic() - started < 2     # the pause is capped (a tenth of the deadline)
    assert len(vendor_stub.requests) == 2


@pytest.mark.parametrize("provider", ["openai", "anthropic"])
def test_retries_are_ours_and_capped_at_one(vendor_stub, monkeypatch, provider):
    monkeypatch.setenv("PLEXARO_LLM_TIMEOUT", "2")
    llm = Promptel(provider, "m", API_KEY)
    vendor_stub.push(*[Reply(status=503, message="overloaded")] * 5)
    with pytest.raises(openai.InternalServerError if provider == "openai"
                       else anthropic.InternalServerError):
        llm.call("p")
    assert len(vendor_stub.requests) == 2


@pytest.mark.parametrize("value", ["0", "-3", "soon", "nan"])
def test_a_bad_deadline_is_a_value_error(monkeypatch, value):
    monkeypatch.setenv("PLEXARO_LLM_TIMEOUT", value)
    with pytest.raises(ValueError, match="^PLEXARO_LLM_TIMEOUT must be a positive number"):
        Promptel("openai", "m", "k")
