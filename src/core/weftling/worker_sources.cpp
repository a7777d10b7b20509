// The Python sources of the connector worker: the driver the worker runs
// (confined before it reads any connector code) and the host's side of the
// channel. Both are kept here as text: the driver is handed to a fresh
// interpreter on its command line, the host's side is run once when the
// module is loaded.
#include "weftling/worker_sources.hpp"

namespace plexaro::weftling {

namespace {

// Shared by both sides.
const char *const kPlainDataCodec = R"PY(# Plain data across the channel: JSON in which every container is a tagged
# list, so tuples stay tuples and dict keys stay strings.
def _enc(v, depth=0):
    t = type(v)
    if v is None or t is bool or t is int or t is float or t is str:
        return v
    if depth > 200:
        raise TypeError("nested too deeply")
    if t is list or t is tuple:
        return ["L" if t is list else "T"] + [_enc(x, depth + 1) for x in v]
    if t is dict:
        out = ["D"]
        for k, x in v.items():
            if type(k) is not str:
                raise TypeError(f"a dict key of type {type(k).__name__}")
            out.append(k)
            out.append(_enc(x, depth + 1))
        return out
    raise TypeError(f"a value of type {t.__name__}")


def _dec(v):
    if type(v) is not list:
        return v
    tag = v[0]
    if tag == "L":
        return [_dec(x) for x in v[1:]]
    if tag == "T":
        return tuple(_dec(x) for x in v[1:])
    if tag == "D" and len(v) % 2 == 1:
        out = {}
        for i in range(1, len(v), 2):
            if type(v[i]) is not str:
                raise TypeError("a dict key that is not a string")
            out[v[i]] = _dec(v[i + 1])
        return out
    raise TypeError("a malformed value")
)PY";

const char *const kWorkerDriver = R"PY(import os
import sys

_so, _scratch, _fd, _info = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
import builtins
import json
import select
import traceback

_info = json.loads(_info)
sys.path[:] = _info["path"]
# Modules connectors commonly use are loaded now: once confined, the worker
# reads only beneath the runtime's own directories.
for _m in ("glob", "tempfile", "re", "csv", "pathlib", "shutil", "gzip", "bz2", "lzma", "zlib",
           "math", "statistics", "collections", "itertools", "functools", "string", "fnmatch",
           "typing", "io", "datetime", "hashlib", "textwrap", "copy", "operator", "linecache", "ast"):
    try:
        __import__(_m)
    except Exception:
        pass
import importlib.machinery
import importlib.util

_loader = importlib.machinery.ExtensionFileLoader("_weftling_confine", _so)
_native = importlib.util.module_from_spec(importlib.util.spec_from_loader("_weftling_confine", _loader))
_loader.exec_module(_native)
_host = os.getppid()
os.closerange(3, _fd)
os.closerange(_fd + 1, 4096)
try:
    _native.confine_worker(_scratch)
    _missing = _native.missing()
except OSError as e:
    _missing = ["confinement (" + str(e) + ")"]
_reads = list(_info["path"])
_codes = {}



def _send(fd, obj):
    data = json.dumps(obj).encode()
    data = len(data).to_bytes(4, "big") + data
    while data:
        data = data[os.write(fd, data):]



def _error(e):
    t = type(e)
    builtin = t.__module__ == "builtins" and isinstance(e, Exception)
    try:
        args = _enc(tuple(e.args))
    except TypeError:
        args = _enc((str(e),))
    out = {"error": t.__name__, "builtin": builtin, "args": args, "message": str(e)[:20000],
           "tb": traceback.format_exc()[-20000:]}
    if isinstance(e, OSError):
        out["filename"] = [f if type(f) is str else None for f in (e.filename, e.filename2)]
    return out


def _scratch_metadata():
    # The kernel refuses every change of permission bits and time stamps
    # (no path rule covers them); on the connector's own files in the scratch
    # directory, where such a change means nothing, it is taken as done, so
    # shutil.copy and copy2 work there.
    real = os.path.realpath(_scratch)

    def mine(path, dir_fd):
        if dir_fd is not None or isinstance(path, int):
            return False
        try:
            p = os.path.realpath(os.fsdecode(os.fspath(path)))
        except (TypeError, ValueError):
            return False
        return p == real or p.startswith(real + "/")

    def wrap(call):
        def changed(path, *args, dir_fd=None, **kwargs):
            if mine(path, dir_fd):
                return None
            if dir_fd is not None:
                kwargs["dir_fd"] = dir_fd
            return call(path, *args, **kwargs)
        return changed

    os.chmod = wrap(os.chmod)
    os.utime = wrap(os.utime)


def _frame(fd, data):
    data = len(data).to_bytes(4, "big") + data
    while data:
        data = data[os.write(fd, data):]


def _read_frame(fd):
    head = b""
    while len(head) < 4:
        part = os.read(fd, 4 - len(head))
        if not part:
            return None
        head += part
    n = int.from_bytes(head, "big")
    body = b""
    while len(body) < n:
        part = os.read(fd, min(n - len(body), 1 << 20))
        if not part:
            return None
        body += part
    return body


def _compile_part(source, offset, path):
    import ast
    tree = ast.parse(source, path)
    ast.increment_lineno(tree, offset)
    return compile(tree, path, "exec", dont_inherit=True)


def _run(ns, req):
    name = req["name"]
    try:
        if name not in ns:
            raise AttributeError(f"module 'connectors' has no attribute '{name}'")
        args, kwargs = _dec(req["args"])
        result = ns[name](*args, **kwargs)
        try:
            return {"ok": _enc(result)}
        except TypeError as e:
            return {"plain": str(e)}
    except BaseException as e:
        return _error(e)


def _child(req, code, path, r, w):
    # One confined child serves the calls that share its read rules, in
    # turn, until a call needs others (or it has lived long enough).
    os.close(_fd)   # the channel is the worker's, never the connector's
    try:
        reads = _reads + req["reads"] + [path, "/dev/null", "/dev/urandom"]
        _native.confine_call(reads, [_scratch], req["cpu"], req["memory"], req["fsize"], req["nofile"])
    except BaseException as e:
        _frame(w, json.dumps({"error": "RuntimeError", "builtin": True,
                              "args": _enc(("The connector could not be confined: " + str(e),)),
                              "message": str(e), "tb": ""}).encode())
        os._exit(0)
    try:
        os.chdir(req["cwd"])
    except OSError:
        pass
    _scratch_metadata()
    ns = {"__name__": "connectors", "__file__": path, "__builtins__": builtins}
    try:
        for part in code:
            exec(part, ns)
    except BaseException as e:
        _frame(w, json.dumps(_error(e)).encode())
        os._exit(0)
    while True:
        data = _read_frame(r)
        if data is None:
            os._exit(0)
        req = json.loads(data)
        try:
            for part, offset in req.get("more", ()):
                exec(_compile_part(part, offset, path), ns)
        except BaseException as e:
            _frame(w, json.dumps(_error(e)).encode())
            continue
        _frame(w, json.dumps(_run(ns, req)).encode())


def _died(status):
    if os.WIFSIGNALED(status):
        import signal
        sig = os.WTERMSIG(status)
        try:
            name = signal.Signals(sig).name
        except ValueError:
            name = str(sig)
        return f"the connector's process was killed by {name}"
    return f"the connector's process exited with status {os.WEXITSTATUS(status)}"


_live = None   # (key, pid, to_child, from_child, started)


def _retire():
    global _live
    if _live is not None:
        _, pid, to_child, from_child, _, _ = _live
        _live = None
        os.close(to_child)
        os.close(from_child)
        try:
            os.kill(pid, 9)
        except OSError:
            pass
        return os.waitpid(pid, 0)[1]
    return 0


def _call(req):
    global _live
    import time
    gen = req["gen"]
    if gen not in _codes:
        try:
            if "text" in req:
                _codes[gen] = ((compile(req["text"], req["path"], "exec", dont_inherit=True),),
                               req["path"], ((req["text"], 0),))
            elif req.get("base") in _codes:
                chain, _, sources = _codes[req["base"]]
                _codes[gen] = (chain + (_compile_part(req["suffix"], req["offset"], req["path"]),),
                               req["path"], sources + ((req["suffix"], req["offset"]),))
            else:
                return {"need": True}
        except BaseException as e:
            return _error(e)
        while len(_codes) > 8:
            del _codes[next(iter(_codes))]
    code, path, sources = _codes[gen]
    key = (path, tuple(req["reads"]), req["cwd"], req["cpu"], req["memory"], req["fsize"], req["nofile"])
    # A live child with the same rules that ran a prefix of this text only
    # needs the appended parts.
    if _live is not None and (_live[0] != key or time.monotonic() - _live[4] > req["cpu"] / 2
                              or len(code) < len(_live[5])
                              or any(a is not b for a, b in zip(code, _live[5]))):
        _retire()
    req.pop("text", None)
    req.pop("suffix", None)
    if _live is not None:
        req["more"] = [list(part) for part in sources[len(_live[5]):]]
        _live = _live[:5] + (code,)
    if _live is None:
        down_r, down_w = os.pipe()
        up_r, up_w = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(down_w)
            os.close(up_r)
            try:
                _child(req, code, path, down_r, up_w)
            finally:
                os._exit(70)
        os.close(down_r)
        os.close(up_w)
        _live = (key, pid, down_w, up_r, time.monotonic(), code)
    _, pid, to_child, from_child, _, _ = _live
    try:
        _frame(to_child, json.dumps(req).encode())
    except OSError:
        pass   # it already ended: its frame (if any) or its status tells why
    head, body, need = b"", b"", None
    while True:
        ready = select.select([from_child, _fd], [], [])[0]
        if _fd in ready:   # the host went away
            _retire()
            os._exit(0)
        data = os.read(from_child, 1 << 20)
        if not data:
            return {"died": _died(_retire())}
        if need is None:
            head += data
            if len(head) < 4:
                continue
            need = int.from_bytes(head[:4], "big")
            data, head = head[4:], b""
            if need > (64 << 20):
                _retire()
                return {"died": "its result is larger than 64 MiB"}
        body += data
        if len(body) >= need:
            return body


def _recv_exact(n):
    buf = b""
    while len(buf) < n:
        ready = select.select([_fd], [], [], 1.0)[0]
        if not ready:
            if os.getppid() != _host:
                os._exit(0)
            continue
        data = os.read(_fd, n - len(buf))
        if not data:
            os._exit(0)
        buf += data
    return buf


_send(_fd, {"hello": _missing})
while True:
    req = json.loads(_recv_exact(int.from_bytes(_recv_exact(4), "big")))
    reply = _call(req)
    if isinstance(reply, bytes):
        data = len(reply).to_bytes(4, "big") + reply
        while data:
            data = data[os.write(_fd, data):]
    else:
        _send(_fd, reply)
)PY";

const char *const kWorkerClient = R"PY(import builtins
import itertools
import json
import logging
import math
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import weakref

_logger = logging.getLogger("plexaro.helpers.weftling")
_warned = set()
_clients = weakref.WeakSet()
_generations = itertools.count(1)



def _send(fd, obj):
    data = json.dumps(obj).encode()
    data = len(data).to_bytes(4, "big") + data
    while data:
        data = data[os.write(fd, data):]



def _warn_once(key, template, *args):
    if key not in _warned:
        _warned.add(key)
        _logger.warning(template, *args)


def isolation():
    value = os.environ.get("PLEXARO_CONNECTOR_ISOLATION", "").strip().lower() or "auto"
    if value not in ("auto", "strict", "off"):
        raise ValueError("PLEXARO_CONNECTOR_ISOLATION must be auto, strict or off, got %r"
                         % os.environ.get("PLEXARO_CONNECTOR_ISOLATION"))
    if value == "off":
        _warn_once("off", "Connectors run in the host process with its rights: "
                          "PLEXARO_CONNECTOR_ISOLATION is off")
    return value


def _timeout():
    raw = os.environ.get("PLEXARO_CONNECTOR_TIMEOUT", "").strip()
    if not raw:
        return 60.0
    try:
        value = float(raw)
    except ValueError:
        value = float("nan")
    if not (value > 0 and math.isfinite(value)):
        raise ValueError("PLEXARO_CONNECTOR_TIMEOUT must be a positive number of seconds, got %r" % raw)
    return value


def _paths_in(value, cwd, out):
    t = type(value)
    if t is str:
        if value and "\0" not in value and len(value) < 4096:
            path = value if os.path.isabs(value) else os.path.join(cwd, value)
            if os.path.exists(path):
                out.add(os.path.realpath(path))
    elif t is list or t is tuple:
        for x in value:
            _paths_in(x, cwd, out)
    elif t is dict:
        for x in value.values():
            _paths_in(x, cwd, out)


class _Generation:
    def __init__(self, path, text, base=None, suffix="", offset=0):
        self.id, self.path, self.text = next(_generations), path, text
        # A generation that only appended to `base`: the worker compiles
        # just the appended text when it still holds the base.
        self.base, self.suffix, self.offset = base, suffix, offset


class _Holder:
    """The text a loaded connectors module stands for (replaced when the file only grew)."""

    def __init__(self, gen):
        self.gen = gen


class Connector:
    """A connector function that runs in the confined connector worker."""

    def __init__(self, client, holder, name, qualname, doc):
        self._client, self._holder = client, holder
        self.__name__, self.__qualname__, self.__doc__ = name, qualname, doc
        self.__module__ = "connectors"

    def __call__(self, *args, **kwargs):
        return self._client.call(self._holder.gen, self.__name__, args, kwargs)

    def __repr__(self):
        return "<confined connector %s>" % self.__qualname__


def _definitions(tree):
    import ast
    out = {}
    for stmt in tree.body:
        if isinstance(stmt, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            doc = None
            body = stmt.body
            if body and isinstance(body[0], ast.Expr) and isinstance(body[0].value, ast.Constant) \
                    and isinstance(body[0].value.value, str):
                doc = body[0].value.value
            out[stmt.name] = (stmt.name, doc)
        else:
            for node in ast.walk(stmt):
                if isinstance(node, ast.Name) and not isinstance(node.ctx, ast.Load):
                    out[node.id] = (node.id, None)
                elif isinstance(node, ast.alias):
                    bound = (node.asname or node.name).split(".")[0]
                    out[bound] = (bound, None)
    return out


class Client:
    """The connector worker of one Weftling: started on first use, reused,
    restarted after it died, ended with its Weftling or at exit."""

    def __init__(self):
        self.lock = threading.Lock()
        self.proc = self.sock = self.scratch = None
        self.missing = []
        self.module = None
        self.text = ""
        self.names = {}
        self.path = None
        self.sent = []
        _clients.add(self)

    # --- loading (in the host: parsed and compiled, never run) -----------------
    def load(self, path, text):
        import ast
        base = self.text.rstrip() if self.module is not None and self.path == path else ""
        if base and len(text) > len(base) and text.startswith(base):
            tree = ast.parse(text[len(base):], path)
            ast.increment_lineno(tree, base.count("\n"))
            compile(tree, path, "exec", dont_inherit=True)
            added = _definitions(tree)
            for name in added:
                self.module.__dict__.pop(name, None)
            self.names.update(added)
            self.holder.gen = _Generation(path, text, self.holder.gen.id, text[len(base):],
                                          base.count("\n"))
        else:
            tree = ast.parse(text, path)
            compile(tree, path, "exec", dont_inherit=True)
            import types
            self.module = types.ModuleType("connectors")
            self.module.__file__ = path
            self.module.__confined__ = True
            self.names = _definitions(tree)
            self.holder = _Holder(_Generation(path, text))
        self.text, self.path = text, path
        return self.module

    def connector(self, module, name):
        found = module.__dict__.get(name)
        if found is not None:
            return found
        if module is not self.module or name not in self.names:
            raise AttributeError(f"module 'connectors' has no attribute '{name}'")
        qualname, doc = self.names[name]
        fn = Connector(self, self.holder, name, qualname, doc)
        module.__dict__[name] = fn
        return fn

    # --- the worker --------------------------------------------------------------
    def _start(self):
        from plexaro.helpers import weftling
        if self.scratch is None or not os.path.isdir(self.scratch):
            self.scratch = tempfile.mkdtemp(prefix="plexaro-connectors-")
        prefixes = {os.path.realpath(p) for p in
                    (sys.prefix, sys.base_prefix, sys.exec_prefix, sys.base_exec_prefix)}
        path = []
        for entry in sys.path:
            real = os.path.realpath(entry) if entry else ""
            if real and os.path.exists(real) and real not in path and any(
                    real == p or real.startswith(p.rstrip("/") + "/") for p in prefixes):
                path.append(real)
        host_end, worker_end = socket.socketpair()
        env = {"TMPDIR": self.scratch, "HOME": self.scratch, "LC_ALL": "C.UTF-8", "PATH": "/nonexistent"}
        cmd = [sys.executable, "-I", "-S", "-B", "-X", "utf8", "-c", weftling._WORKER_DRIVER,
               os.path.realpath(weftling.__file__), self.scratch, str(worker_end.fileno()),
               json.dumps({"path": path})]
        try:
            self.proc = subprocess.Popen(cmd, pass_fds=(worker_end.fileno(),), env=env,
                                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL, cwd=self.scratch,
                                         start_new_session=True)
        finally:
            worker_end.close()
        self.sock = host_end
        self.sent = []
        try:
            hello = self._receive(30.0)
        except (TimeoutError, OSError, ValueError) as e:
            self._kill()
            raise RuntimeError("The connector worker could not start: %s" % e) from None
        self.missing = list(hello.get("hello", ["a worker that answers"]))
        if self.missing:
            _warn_once(("missing",) + tuple(self.missing),
                       "Connectors run with partial confinement: this kernel lacks %s",
                       ", ".join(self.missing))

    def _receive(self, timeout):
        self.sock.settimeout(timeout)
        head = self._exact(4)
        return json.loads(self._exact(int.from_bytes(head, "big")))

    def _exact(self, n):
        chunks, left = [], n
        while left:
            try:
                data = self.sock.recv(min(left, 1 << 20))
            except socket.timeout:
                raise TimeoutError("no answer") from None
            if not data:
                raise EOFError("the worker ended")
            chunks.append(data)
            left -= len(data)
        return b"".join(chunks)

    def _kill(self):
        proc, sock = self.proc, self.sock
        self.proc = self.sock = None
        if proc is not None:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except OSError:
                pass
            try:
                proc.wait(timeout=10)
            except Exception:
                pass
        if sock is not None:
            sock.close()

    def stop(self):
        with self.lock:
            self._kill()
            if self.scratch is not None:
                shutil.rmtree(self.scratch, ignore_errors=True)
                self.scratch = None

    def __del__(self):
        try:
            self._kill()
            if self.scratch is not None:
                shutil.rmtree(self.scratch, ignore_errors=True)
        except Exception:
            pass

    def call(self, gen, name, args, kwargs):
        mode = isolation()
        timeout = _timeout()
        try:
            payload = _enc((args, kwargs))
        except (TypeError, RecursionError) as e:
            raise TypeError("Connector %s accepts only plain data (str, int, float, bool, None, "
                            "lists, tuples, dicts with str keys), got %s" % (name, e)) from None
        cwd = os.getcwd()
        reads = set()
        _paths_in((args, kwargs), cwd, reads)
        req = {"op": "call", "gen": gen.id, "name": name, "args": payload, "reads": sorted(reads),
               "cwd": cwd, "cpu": int(math.ceil(timeout)) + 1, "memory": 4 << 30,
               "fsize": 1 << 30, "nofile": 256}
        with self.lock:
            if self.proc is None or self.proc.poll() is not None:
                self._kill()
                self._start()
            if mode == "strict" and self.missing:
                raise RuntimeError("Connector %s cannot be fully confined (this kernel lacks %s); "
                                   "PLEXARO_CONNECTOR_ISOLATION is strict, so it did not run"
                                   % (name, ", ".join(self.missing)))
            if gen.id not in self.sent:
                if gen.base is not None and gen.base in self.sent:
                    req.update(base=gen.base, suffix=gen.suffix, offset=gen.offset, path=gen.path)
                else:
                    req["text"], req["path"] = gen.text, gen.path
            try:
                reply = self._exchange(req, timeout)
                if reply.get("need"):
                    for key in ("base", "suffix", "offset"):
                        req.pop(key, None)
                    req["text"], req["path"] = gen.text, gen.path
                    reply = self._exchange(req, timeout)
            except TimeoutError:
                self._kill()
                raise TimeoutError("Connector %s did not finish within %g seconds; its worker was "
                                   "stopped" % (name, timeout)) from None
            except (EOFError, OSError, ValueError, RecursionError) as e:
                self._kill()
                raise RuntimeError("Connector %s: the connector worker failed (%s)" % (name, e)) from None
            if "path" in req:
                self.sent.append(gen.id)
                del self.sent[:-8]
        return _result(name, reply)

    def _exchange(self, req, timeout):
        data = json.dumps(req).encode()
        self.sock.settimeout(timeout)
        try:
            self.sock.sendall(len(data).to_bytes(4, "big") + data)
        except socket.timeout:
            raise TimeoutError("no answer") from None
        return self._receive(timeout)


def _result(name, reply):
    if "ok" in reply:
        try:
            return _dec(reply["ok"])
        except (TypeError, IndexError, RecursionError) as e:
            raise TypeError("Connector %s returned %s" % (name, e)) from None
    if "plain" in reply:
        raise TypeError("Connector %s must return plain data (str, int, float, bool, None, lists, "
                        "tuples, dicts with str keys), it returned %s" % (name, reply["plain"]))
    if "died" in reply:
        raise RuntimeError("Connector %s failed: %s" % (name, reply["died"]))
    kind = str(reply.get("error"))
    message = str(reply.get("message", ""))
    cls = getattr(builtins, kind, None) if reply.get("builtin") is True else None
    if isinstance(cls, type) and issubclass(cls, Exception):
        try:
            exc = cls(*_dec(reply.get("args")))
            if isinstance(exc, OSError):
                names = reply.get("filename") or []
                if names and names[0] is not None:
                    exc.filename = names[0]
                if len(names) > 1 and names[1] is not None:
                    exc.filename2 = names[1]
        except Exception:
            exc = cls(message)
    else:
        exc = RuntimeError("%s: %s" % (kind, message))
    tb = reply.get("tb")
    if tb:
        exc.add_note("Traceback of connector %s in its confined worker:\n%s" % (name, str(tb).rstrip()))
    raise exc


def stop_all():
    for client in list(_clients):
        client.stop()
)PY";

}  // namespace

std::string worker_driver() { return std::string(kPlainDataCodec) + kWorkerDriver; }
std::string worker_client() { return std::string(kPlainDataCodec) + kWorkerClient; }

}  // namespace plexaro::weftling
