"""Loopback stand-in for the HTTP APIs of the three LLM vendors.

`VendorStub` is a small threaded HTTP server on 127.0.0.1 (ephemeral port)
that answers the endpoints the official SDKs call for one non-streamed
reply:

    openai        POST <url>/v1/chat/completions
    anthropic     POST <url>/v1/messages
    google-genai  POST <url>/<version>/models/<model>:generateContent

The real SDKs reach it through their own documented settings, which
`environment()` / `apply()` provide: OPENAI_BASE_URL, ANTHROPIC_BASE_URL and
GOOGLE_GEMINI_BASE_URL, plus NO_PROXY for the loopback address.

Every request is recorded, oldest first, in `stub.requests` as a
`Request` (vendor, method, path, lower-cased headers, parsed JSON body);
`Request.prompt` and `Request.system` give the user prompt and the system
prompt whatever the vendor's request shape.

Scripting the replies (first match wins):

1. `stub.push(*replies)` queues replies, each used once, in order;
2. otherwise `stub.responder(request)` is called, if set;
3. otherwise `stub.default_text` is sent.

A reply is a `str` (the reply text), `None` (a reply without text: the
SDKs then report none / an empty content list), `HANG` (the request is
accepted and never answered, until the stub stops) or a `Reply(...)` for an
error status (`headers` adds response headers, e.g. Retry-After): `Reply(status=401, message="bad key")` is answered in the
vendor's own error format, so the SDK raises its own exception. Note that
the SDKs retry 408/409/429/5xx on their own; 4xx statuses such as 400, 401,
403 and 404 reach the caller at once.

Use in pytest through the `vendor_stub` fixture (tests/python/conftest.py),
or in a script:

    with VendorStub() as stub:
        stub.apply(provider="openai")   # sets os.environ, dummy OpenAI key
        stub.responder = lambda request: make_reply(request.prompt)
        ...
"""
from __future__ import annotations

import itertools
import json
import os
import re
import threading
from collections import deque
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable, Optional

API_KEY = "stub-api-key"

# Key variables that choose the vendor in the helper layer.
KEY_VARIABLES = ("ANTHROPIC_API_KEY", "OPENAI_API_KEY", "GEMINI_API_KEY", "GOOGLE_API_KEY")
_KEY_FOR = {"anthropic": "ANTHROPIC_API_KEY", "openai": "OPENAI_API_KEY", "google": "GEMINI_API_KEY"}

# Variables that would send an SDK elsewhere or change its request shape.
_CLEARED = (
    "ANTHROPIC_AUTH_TOKEN", "ANTHROPIC_PROFILE", "ANTHROPIC_CUSTOM_HEADERS",
    "OPENAI_ADMIN_KEY", "OPENAI_ORG_ID", "OPENAI_PROJECT_ID", "OPENAI_CUSTOM_HEADERS",
    "GOOGLE_GENAI_USE_VERTEXAI", "GOOGLE_GENAI_USE_ENTERPRISE", "GOOGLE_GENAI_API_VERSION",
    "GOOGLE_VERTEX_BASE_URL", "GOOGLE_CLOUD_PROJECT", "GOOGLE_CLOUD_LOCATION",
)

_GOOGLE_PATH = re.compile(r"^/[^/]+/models/(?P<model>[^/:]+):generateContent$")


@dataclass
class Reply:
    """A scripted reply: text, or an error status answered in the vendor's format."""

    text: Optional[str] = "ok"
    status: int = 200
    message: str = "scripted error"
    headers: dict = field(default_factory=dict)


# A request that is accepted and never answered (until the stub stops).
HANG = object()


@dataclass
class Request:
    vendor: str  # "openai", "anthropic", "google" or "unknown"
    method: str
    path: str
    headers: dict[str, str]
    body: Any  # parsed JSON, or the raw text when it is not JSON

    @property
    def model(self) -> Optional[str]:
        if self.vendor == "google":
            match = _GOOGLE_PATH.match(self.path)
            return match and match["model"]
        return self.body.get("model") if isinstance(self.body, dict) else None

    @property
    def prompt(self) -> Optional[str]:
        """The text of the (last) user turn."""
        body = self.body if isinstance(self.body, dict) else {}
        if self.vendor in ("openai", "anthropic"):
            users = [m for m in body.get("messages", []) if m.get("role") == "user"]
            return _text(users[-1]["content"]) if users else None
        if self.vendor == "google":
            turns = body.get("contents", [])
            return _text(turns[-1].get("parts", [])) if turns else None
        return None

    @property
    def system(self) -> Optional[str]:
        """The system prompt, wherever the vendor carries it; None when absent."""
        body = self.body if isinstance(self.body, dict) else {}
        if self.vendor == "openai":
            systems = [m for m in body.get("messages", []) if m.get("role") == "system"]
            return _text(systems[0]["content"]) if systems else None
        if self.vendor == "anthropic":
            return _text(body["system"]) if "system" in body else None
        if self.vendor == "google":
            instruction = body.get("systemInstruction") or body.get("system_instruction")
            return _text(instruction.get("parts", [])) if instruction else None
        return None


def _text(content: Any) -> str:
    if isinstance(content, str):
        return content
    if isinstance(content, dict):
        return content.get("text", "")
    return "".join(_text(part) for part in content)


class VendorStub:
    def __init__(self, default_text: str = "ok") -> None:
        self.default_text = default_text
        self.responder: Optional[Callable[[Request], Any]] = None
        self.requests: list[Request] = []
        self._queue: deque = deque()
        self._lock = threading.Lock()
        self._ids = itertools.count(1)
        self._server = ThreadingHTTPServer(("127.0.0.1", 0), _handler_for(self))
        self._server.daemon_threads = True
        self._thread: Optional[threading.Thread] = None
        self._stopping = threading.Event()

    # --- life cycle ----------------------------------------------------------
    @property
    def url(self) -> str:
        host, port = self._server.server_address[:2]
        return f"http://{host}:{port}"

    def start(self) -> "VendorStub":
        if self._thread is None:
            # A short poll keeps stop() quick.
            self._thread = threading.Thread(target=self._server.serve_forever, args=(0.02,),
                                            name="vendor-stub", daemon=True)
            self._thread.start()
        return self

    def stop(self) -> None:
        self._stopping.set()  # hung requests end now
        if self._thread is not None:
            self._server.shutdown()
            self._thread.join()
            self._thread = None
        self._server.server_close()

    def __enter__(self) -> "VendorStub":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    # --- scripting -----------------------------------------------------------
    def push(self, *replies: Any) -> None:
        """Queue replies (str, None or Reply), each answered once, in order."""
        with self._lock:
            self._queue.extend(replies)

    def requests_for(self, vendor: str) -> list[Request]:
        with self._lock:
            return [r for r in self.requests if r.vendor == vendor]

    # --- environment ---------------------------------------------------------
    def environment(self, provider: Optional[str] = None) -> dict[str, Optional[str]]:
        """Variables that point all three SDKs here; None means "unset".

        Every vendor key variable is unset, except the dummy key of
        `provider` ("openai", "anthropic" or "google") when one is given.
        """
        env: dict[str, Optional[str]] = {name: None for name in _CLEARED + KEY_VARIABLES}
        env.update({
            "OPENAI_BASE_URL": f"{self.url}/v1",
            "ANTHROPIC_BASE_URL": self.url,
            "GOOGLE_GEMINI_BASE_URL": self.url,
            "NO_PROXY": "127.0.0.1,localhost",
            "no_proxy": "127.0.0.1,localhost",
        })
        if provider is not None:
            env[_KEY_FOR[provider]] = API_KEY
        return env

    def apply(self, monkeypatch=None, provider: Optional[str] = None) -> None:
        """Apply `environment(provider)`: through pytest's monkeypatch when
        given (undone after the test), otherwise to os.environ directly."""
        for name, value in self.environment(provider).items():
            if monkeypatch is not None:
                if value is None:
                    monkeypatch.delenv(name, raising=False)
                else:
                    monkeypatch.setenv(name, value)
            elif value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value

    # --- answering -----------------------------------------------------------
    def _answer(self, request: Request) -> tuple[int, dict, dict]:
        with self._lock:
            self.requests.append(request)
            if request.vendor == "unknown":  # recorded, but no scripted reply is used up
                return 404, {"error": {"message": f"no such endpoint: {request.path}"}}, {}
            scripted = self._queue.popleft() if self._queue else _UNSET
        if scripted is _UNSET:
            scripted = self.responder(request) if self.responder else self.default_text
        if scripted is HANG:
            self._stopping.wait()
            raise _Hung()
        reply = scripted if isinstance(scripted, Reply) else Reply(text=scripted)
        if reply.status >= 400:
            return reply.status, _error_body(request.vendor, reply), reply.headers
        return reply.status, _reply_body(request, reply.text, next(self._ids)), reply.headers


_UNSET = object()


class _Hung(Exception):
    """The stub stopped while a request was held: close without answering."""


def _vendor(method: str, path: str) -> str:
    if method != "POST":
        return "unknown"
    if path.endswith("/chat/completions"):
        return "openai"
    if path.endswith("/messages"):
        return "anthropic"
    if _GOOGLE_PATH.match(path):
        return "google"
    return "unknown"


def _reply_body(request: Request, text: Optional[str], number: int) -> dict:
    model = request.model or "stub-model"
    if request.vendor == "openai":
        return {
            "id": f"chatcmpl-stub-{number}", "object": "chat.completion", "created": 0,
            "model": model,
            "choices": [{"index": 0, "finish_reason": "stop", "logprobs": None,
                         "message": {"role": "assistant", "content": text}}],
            "usage": {"prompt_tokens": 1, "completion_tokens": 1, "total_tokens": 2},
        }
    if request.vendor == "anthropic":
        content = [] if text is None else [{"type": "text", "text": text}]
        return {
            "id": f"msg_stub_{number}", "type": "message", "role": "assistant",
            "model": model, "content": content, "stop_reason": "end_turn",
            "stop_sequence": None, "usage": {"input_tokens": 1, "output_tokens": 1},
        }
    # google: a reply without text is a candidate without parts.
    content: dict = {"role": "model"}
    if text is not None:
        content["parts"] = [{"text": text}]
    return {
        "candidates": [{"content": content, "finishReason": "STOP", "index": 0}],
        "usageMetadata": {"promptTokenCount": 1, "candidatesTokenCount": 1,
                          "totalTokenCount": 2},
        "modelVersion": model,
    }


def _error_body(vendor: str, reply: Reply) -> dict:
    if vendor == "anthropic":
        return {"type": "error", "error": {"type": "invalid_request_error",
                                           "message": reply.message}}
    if vendor == "google":
        return {"error": {"code": reply.status, "message": reply.message,
                          "status": "INVALID_ARGUMENT"}}
    return {"error": {"message": reply.message, "type": "invalid_request_error",
                      "param": None, "code": None}}


def _handler_for(stub: VendorStub):
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def _serve(self) -> None:
            length = int(self.headers.get("Content-Length") or 0)
            raw = self.rfile.read(length).decode("utf-8", "replace") if length else ""
            try:
                body: Any = json.loads(raw) if raw else None
            except ValueError:
                body = raw
            path = self.path.split("?", 1)[0]
            request = Request(
                vendor=_vendor(self.command, path), method=self.command, path=path,
                headers={k.lower(): v for k, v in self.headers.items()}, body=body)
            headers: dict = {}
            try:
                status, payload, headers = stub._answer(request)
            except _Hung:
                self.close_connection = True
                return
            except Exception as exc:  # a failing responder is the test's error
                status, payload = 400, {"error": {"message": f"stub responder failed: {exc!r}"}}
            data = json.dumps(payload).encode()
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            for name, value in headers.items():
                self.send_header(name, str(value))
            self.end_headers()
            self.wfile.write(data)

        do_POST = do_GET = do_PUT = do_DELETE = _serve

        def log_message(self, *args) -> None:  # keep test output quiet
            pass

    return Handler
