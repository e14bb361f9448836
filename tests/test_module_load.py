"""Loading the module: its namespace, the load rules, and clean failures."""
import builtins
import importlib.util
import os
import subprocess
import sys
import sysconfig
import tempfile
import textwrap

import pytest

import pelun_online_sdk.client as client
from client_lines import IMPORTS, STATEMENTS
from helpers import run_python

# Each name with what it is bound to ("module" or "module:attribute"), in body order.
BINDINGS = [entry.partition("=")[::2] for entry in """
    Enum=enum:Enum auto=enum:auto json=json secrets=secrets ssl=ssl string=string Any=typing:Any Dict=typing:Dict
    Iterable=typing:Iterable Union=typing:Union urlencode=urllib.parse:urlencode HashMD5=Cryptodome.Hash.MD5
    aiohttp=aiohttp ProxyConnector=aiohttp_proxy:ProxyConnector chardet=chardet httpx=httpx
    HTTPAdapter=requests.adapters:HTTPAdapter requests=requests MultipartEncoder=requests_toolbelt:MultipartEncoder
    PoolManager=urllib3:PoolManager __retry__=urllib3:Retry Report=pelun_online_sdk.utils:Report
    VERSION_SDK=pelun_online_sdk.utils:VERSION_SDK Proxy=pelun_online_sdk.proxy:Proxy""".split()]
# The module's own statements (the backends' classes among them), then __test__.
CLASSES = [name for _, name in STATEMENTS] + ["__test__"]


def _check(code, env=None):
    # Run away from the checkout, whose package folder lacks the built module.
    result = run_python(code, env=env, cwd=tempfile.gettempdir())
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


def test_namespace_in_body_order():
    # A fresh interpreter: tests that rebind module globals change the order.
    order = ["__builtins__"] + [name for name, _ in BINDINGS] + CLASSES
    # Also where the loader is checked: a re-import after removal in this process gives the module a new spec.
    names, same_loader = _check("import pelun_online_sdk.client as c; print(' '.join(vars(c)));"
                                "print(c.__loader__ is c.__spec__.loader)")
    assert [name for name in names.split() if name in order] == order and same_loader == "True"
    for name, target in BINDINGS:
        module, _, attribute = target.partition(":")
        expected = importlib.import_module(module)
        assert getattr(client, name) is (getattr(expected, attribute) if attribute else expected), name
    assert (client.__name__, client.__package__, client.__file__, client.__doc__, client.__test__) == (
        "pelun_online_sdk.client", "pelun_online_sdk", importlib.util.find_spec(client.__name__).origin, None, {})
    assert client.__builtins__ is builtins
    # Aliased imports bind only the alias.
    assert not any(hasattr(client, name) for name in ("__path__", "Retry", "MD5"))


def test_import_after_removal_returns_the_loaded_module_without_rerunning_the_body():
    assert _check("""
        import sys, pelun_online_sdk.client as first
        before = {k: v for k, v in vars(first).items() if not k.startswith("__")}
        del sys.modules["pelun_online_sdk.client"]
        import pelun_online_sdk.client as again
        print(again is first, all(getattr(again, k) is v for k, v in before.items()))
    """) == ["True True"]


# For the subprocesses: a finder that refuses a module, or finds one whose execution fails.
FINDER = """
import importlib.util, sys, traceback, types
class Refuse:
    def __init__(self, name, broken): self.name, self.broken = name, broken
    def find_spec(self, name, path=None, target=None):
        if name != self.name: return None
        if not self.broken: raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        return importlib.util.spec_from_loader(name, self)
    def create_module(self, found): return None
    def exec_module(self, module): raise RuntimeError(self.name + " broke")
import pelun_online_sdk
"""


def _stub(name, error, at, **attrs):
    setup = f"sys.modules[{name!r}] = stub = types.ModuleType({name!r}); vars(stub).update({attrs!r})"
    return setup, error, at


def _refuse(name, at, broken=False):
    error = f"RuntimeError: {name} broke" if broken else f"ModuleNotFoundError: No module named '{name}'"
    return f"sys.modules.pop({name!r}, None); sys.meta_path.insert(0, Refuse({name!r}, {broken}))", error, at


AT = IMPORTS  # the lines of the imports, by module as the body writes it
LINE_OF = {name: line for line, name in STATEMENTS}


@pytest.mark.parametrize("setup, error, line", [
    *[_refuse(name, AT[name]) for name in ("aiohttp", "aiohttp_proxy", "requests_toolbelt")],
    ("sys.modules['aiohttp'] = None", "ModuleNotFoundError: import of aiohttp halted; None in sys.modules",
     AT["aiohttp"]),
    _stub("Cryptodome.Hash", "ImportError: cannot import name MD5", AT["Cryptodome.Hash"]),
    _stub("pelun_online_sdk.utils", "ImportError: cannot import name Report", AT[".utils"]),
    _stub("pelun_online_sdk.utils", "ImportError: cannot import name VERSION_SDK", AT[".utils"], Report="stand-in"),
    _refuse("pelun_online_sdk.utils", AT[".utils"], broken=True),
    _stub("pelun_online_sdk.proxy", "ImportError: cannot import name Proxy", AT[".proxy"]),
    _refuse("pelun_online_sdk.proxy", AT[".proxy"], broken=True),
    # The glue is taken right after the imports: a glue module without a name the module takes fails there.
    _stub("pelun_online_sdk._httpx_h2", "ImportError: cannot import name guard_transport", AT[".proxy"]),
    # Imported, but a class statement finds members of the wrong kind.
    _stub("pelun_online_sdk._requests_adapter", "TypeError: Expected dict, got list", LINE_OF["RequestsAdapter"],
          MEMBERS=[]),
])
def test_failing_import_ends_the_load_cleanly_and_a_later_import_succeeds(setup, error, line):
    assert _check(FINDER + setup + """
try:
    import pelun_online_sdk.client
except Exception as e:
    print(f"{type(e).__name__}: {e}")
    print([(f.name, f.filename, f.lineno) for f in traceback.extract_tb(e.__traceback__) if f.name.startswith("init")])
    print("pelun_online_sdk.client" in sys.modules)
sys.meta_path = [f for f in sys.meta_path if not isinstance(f, Refuse)]
for name in ("aiohttp", "Cryptodome.Hash", "httpx", "pelun_online_sdk.utils", "pelun_online_sdk.proxy",
             "pelun_online_sdk._requests_adapter", "pelun_online_sdk._httpx_h2"):
    if not hasattr(sys.modules.get(name), "__file__"): sys.modules.pop(name, None)
import pelun_online_sdk.client
print(pelun_online_sdk.client.Client.TypeReq.AIOHTTP.value)
""") == [error, str([("init pelun_online_sdk.client", "pelun_online_sdk\\client.py", line)]), "False", "3"]


# Everything the module body imports, imported beforehand: any one of them
# can then be refused alone, the others being found in sys.modules.
PRELOAD = """
import enum, json, secrets, ssl, string, typing, urllib.parse, Cryptodome.Hash.MD5
import aiohttp, aiohttp_proxy, chardet, httpx, requests.adapters, requests, requests_toolbelt, urllib3
import pelun_online_sdk.utils, pelun_online_sdk.proxy
import pelun_online_sdk._aiohttp_proxy, pelun_online_sdk._headers, pelun_online_sdk._requests_adapter
"""


def _load_entries(error):
    return "[f.lineno for f in traceback.extract_tb(%s.__traceback__) if f.name.startswith('init')]" % error


def test_each_import_refused_alone_ends_the_load_at_its_line():
    names = [("pelun_online_sdk" + name if name.startswith(".") else name) for name in IMPORTS]
    assert _check(FINDER + PRELOAD + f"""
for name in {names!r}:
    saved = sys.modules.pop(name)
    sys.meta_path.insert(0, Refuse(name, False))
    try:
        import pelun_online_sdk.client
    except ModuleNotFoundError as e:
        print(e, {_load_entries("e")})
    sys.meta_path.pop(0)
    sys.modules[name] = saved
import pelun_online_sdk.client
print("loaded")
""") == [f"No module named '{name}' [{line}]" for name, line in zip(names, IMPORTS.values())] + ["loaded"]


def test_a_class_statement_whose_method_cannot_be_made_ends_the_load_at_its_line():
    # The interpreter refuses a code object (an audit hook does): the class
    # statement making that method fails. Each class by its first method:
    # its name, and how many methods of that name the body makes before it.
    classes = [("_aiohttp", "create_urlencode", 0), ("SSLContext", "set_alpn_protocols", 0),
               ("RequestsAdapter", "__init__", 0), ("_requests", "create_urlencode", 1),
               ("_httpx", "ClientSession", 2), ("Client", "ClientSession", 3)]
    assert _check(PRELOAD + f"""
import sys, traceback

class Refused(Exception):
    pass

plan = []

def refuse(event, args):
    if event == "code.__new__" and plan and args[2] == plan[0]:
        if plan[1] == 0:
            raise Refused(plan.pop(0))
        plan[1] -= 1

sys.addaudithook(refuse)
for cls, method, before in {classes!r}:
    plan[:] = [method, before]
    try:
        import pelun_online_sdk.client
    except Refused as e:
        print(cls, e, {_load_entries("e")})
import pelun_online_sdk.client
print("loaded")
""") == [f"{cls} {method} [{LINE_OF[cls]}]" for cls, method, _ in classes] + ["loaded"]


# A class statement of plain Python with each of its allocations failing in
# turn: CPython 3.13.0 crashes on some of them (in the dict of the new class).
MAKES_A_CLASS_SHORT_OF_MEMORY = """
import _testcapi

def method(self):
    pass

for n in range(400):
    namespace = {"__module__": "m", "__qualname__": "q"}
    _testcapi.set_nomemory(n, n + 1)
    try:
        namespace.update(first=staticmethod(method), second=staticmethod(method), third=staticmethod(method))
        type("Made", (), namespace)
    except MemoryError:
        pass
    finally:
        _testcapi.remove_mem_hooks()
"""


def test_a_failed_allocation_at_load_is_reported_at_the_running_statement():
    # The cipher list runs no code of anyone else's: only memory can fail
    # it. From the last method of the class before it on, each allocation in
    # turn is refused (one per attempt, the load starting afresh each time)
    # until the class after it fails.
    if not hasattr(pytest.importorskip("_testcapi"), "set_nomemory"):
        pytest.skip("this _testcapi cannot make allocations fail")
    if run_python(MAKES_A_CLASS_SHORT_OF_MEMORY).returncode != 0:
        pytest.skip("this CPython crashes when an allocation fails while it makes a class")
    stop = LINE_OF["SSLContext"]
    script = PRELOAD + f"""
import sys, traceback, _testcapi

armed = []

def arm(event, args):
    # The first ClientSession code object belongs to _aiohttp, its last method.
    if event == "code.__new__" and armed and args[2] == "ClientSession":
        n = armed.pop()
        _testcapi.set_nomemory(n, n + 1)

sys.addaudithook(arm)
seen, n = [], int(sys.argv[1])
while n < 5000 and {stop} not in seen:
    armed.append(n)
    try:
        import pelun_online_sdk.client
    except Exception as e:
        _testcapi.remove_mem_hooks()
        lines = {_load_entries("e")}
        if lines and lines[-1] not in seen:
            seen.append(lines[-1])
    else:
        _testcapi.remove_mem_hooks()
        break  # that allocation's failure was absorbed: go on in a fresh interpreter
    n += 1
print(n + 1, *seen)
"""
    seen, start = [], 0
    for _ in range(10):
        result = subprocess.run([sys.executable, "-c", script, str(start)], capture_output=True, text=True,
                                timeout=300, cwd=tempfile.gettempdir())
        assert result.returncode == 0, result.stderr[-2000:]
        start, *lines = map(int, result.stdout.split())
        seen += [line for line in lines if line not in seen]
        if stop in seen:
            break
    assert seen == [LINE_OF["_aiohttp"], LINE_OF["CHIPER"], stop]


# Run in a subinterpreter: import the module and use it, or record the ImportError.
SUBINTERPRETER_ATTEMPT = """
try:
    import pelun_online_sdk.client as c
    outcome = "loaded " + c._requests.create_urlencode({"a": 1})
    try:
        c.Client.ClientSession(c.Client.TypeReq.REQUESTS, {1: "v"})  # an error raised inside a body
    except AttributeError as e:
        outcome += ", " + str(e)
except ImportError as e:
    outcome = "ImportError: " + str(e)
open(OUT, "w").write(outcome)
"""
# The ways a test can make a subinterpreter: the legacy kind, which shares
# the main one's GIL, and from 3.12 an isolated one with a GIL of its own.
SUBINTERPRETERS = {
    "legacy": "import _testcapi; _testcapi.run_in_subinterp(CODE)",
    "isolated": """
try:
    import _interpreters
    _interpreters.exec(_interpreters.create(), CODE)
except ImportError:
    import _xxsubinterpreters as _interpreters
    _interpreters.run_string(_interpreters.create(isolated=True), CODE)
""",
}


@pytest.mark.parametrize("kind", SUBINTERPRETERS)
@pytest.mark.parametrize("main_first", [True, False], ids=["main-first", "subinterpreter-first"])
def test_a_subinterpreter_gets_the_module_or_import_error_and_the_main_interpreter_keeps_it(
        kind, main_first, tmp_path):
    # Libraries the module imports may bind themselves to the first
    # interpreter that loads them: a subinterpreter that came first would
    # lock the main interpreter out of them, and so out of this module.
    pytest.importorskip("_testcapi")
    if kind == "isolated" and sys.version_info < (3, 12):
        pytest.skip("isolated subinterpreters came with 3.12")
    out = tmp_path / "outcome"
    code = SUBINTERPRETER_ATTEMPT.replace("OUT", repr(str(out)))
    assert _check(f"""
        {'import pelun_online_sdk.client' if main_first else ''}
        CODE = {code!r}
        {textwrap.indent(SUBINTERPRETERS[kind], "        ").strip()}
        import pelun_online_sdk.client as c
        print(c._requests.create_urlencode({{"b": 2}}))
    """) == ["b=2"]
    outcome = out.read_text()
    if sys.version_info < (3, 12):
        assert outcome == ("ImportError: Interpreter change detected - this module can only be loaded into one "
                           "interpreter per process.")
    elif not main_first:
        assert outcome == ("ImportError: pelun_online_sdk.client must be imported by the main interpreter "
                           "before any other")
    else:
        # Working (with its errors raised as usual), or refused by a library
        # that does not support subinterpreters.
        assert outcome.startswith("ImportError: ") or outcome == (
            "loaded a=1, 'int' object has no attribute 'lower'"), outcome


def test_second_initialisation_is_refused():
    assert _check("""
        import importlib.util, sys
        found = importlib.util.find_spec("pelun_online_sdk.client")
        m1, m2 = found.loader.create_module(found), found.loader.create_module(found)
        found.loader.exec_module(m1)
        try:
            found.loader.exec_module(m2)
        except RuntimeError as e:
            print(e)
        found.loader.exec_module(m1)  # the loaded module itself: nothing happens
        print(m1 is not m2, found.loader.create_module(found) is m1, sys.modules["pelun_online_sdk.client"] is m1)
    """) == ["Module 'client' has already been imported. Re-initialisation is not supported.", "True True True"]


def test_import_warns_of_nothing_and_keeps_the_gil_off_on_a_free_threaded_build():
    # An extension built for another interpreter warns at import; on a
    # free-threaded build, one that does not declare itself safe without the
    # GIL turns it back on at import, with a RuntimeWarning too.
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    assert _check("""
        import sys, warnings
        warnings.simplefilter("error", RuntimeWarning)
        import pelun_online_sdk.client
        print(getattr(sys, "_is_gil_enabled", lambda: True)())
    """, env=env) == [str(not sysconfig.get_config_var("Py_GIL_DISABLED"))]


def test_a_load_without_the_built_in_super_fails_with_name_error():
    # The module keeps the built-in super() its methods call when it loads.
    assert _check(PRELOAD + """
import builtins
saved = builtins.super
del builtins.super
try:
    import pelun_online_sdk.client
except NameError as e:
    print(type(e).__name__, e)
builtins.super = saved
import pelun_online_sdk.client
print("loaded")
""") == ["NameError name 'super' is not defined", "loaded"]


def test_module_is_in_sys_modules_while_its_body_runs():
    # The stub's attribute hook runs during `from .proxy import Proxy`: after utils, before the classes.
    assert _check("""
        import sys, types, pelun_online_sdk
        seen, stub = [], types.ModuleType("pelun_online_sdk.proxy")
        def __getattr__(name):
            if name != "Proxy": raise AttributeError(name)
            module = sys.modules.get("pelun_online_sdk.client")
            seen.append((module, "Report" in vars(module), "_aiohttp" in vars(module)))
            return "stand-in"
        stub.__getattr__ = __getattr__
        sys.modules["pelun_online_sdk.proxy"] = stub
        import pelun_online_sdk.client as m
        print(seen == [(m, True, False)], m.Proxy)
    """) == ["True stand-in"]
