"""Loading the module: its namespace, the load rules, and clean failures."""
import builtins
import importlib
import tempfile

import pytest

import pelun_online_sdk.client as client
from helpers import run_python

BINDINGS = [  # name: "module" or "module:attribute" it is bound to, in body order
    ("Enum", "enum:Enum"), ("auto", "enum:auto"), ("json", "json"), ("secrets", "secrets"), ("ssl", "ssl"),
    ("string", "string"), ("Any", "typing:Any"), ("Dict", "typing:Dict"), ("Iterable", "typing:Iterable"),
    ("Union", "typing:Union"), ("urlencode", "urllib.parse:urlencode"), ("HashMD5", "Cryptodome.Hash.MD5"),
    ("aiohttp", "aiohttp"), ("ProxyConnector", "aiohttp_proxy:ProxyConnector"), ("chardet", "chardet"),
    ("httpx", "httpx"), ("HTTPAdapter", "requests.adapters:HTTPAdapter"), ("requests", "requests"),
    ("MultipartEncoder", "requests_toolbelt:MultipartEncoder"), ("PoolManager", "urllib3:PoolManager"),
    ("__retry__", "urllib3:Retry"), ("Report", "pelun_online_sdk.utils:Report"),
    ("VERSION_SDK", "pelun_online_sdk.utils:VERSION_SDK"), ("Proxy", "pelun_online_sdk.proxy:Proxy"),
]
CLASSES = ["_aiohttp", "CHIPER", "SSLContext", "RequestsAdapter", "_requests", "_httpx", "Client", "__test__"]


def test_names_are_bound_in_body_order():
    order = ["__builtins__"] + [name for name, _ in BINDINGS] + CLASSES
    assert [name for name in vars(client) if name in order] == order
    for name, target in BINDINGS:
        module, _, attribute = target.partition(":")
        expected = importlib.import_module(module)
        assert getattr(client, name) is (getattr(expected, attribute) if attribute else expected), name


def test_module_attributes():
    spec = importlib.import_module("importlib.util").find_spec("pelun_online_sdk.client")
    assert client.__builtins__ is builtins and client.__doc__ is None and client.__test__ == {}
    assert (client.__name__, client.__package__, client.__file__) == ("pelun_online_sdk.client", "pelun_online_sdk", spec.origin)
    assert type(client.__loader__) is type(spec.loader) and not hasattr(client, "__path__")
    # Aliased imports bind only the alias.
    assert not hasattr(client, "Retry") and not hasattr(client, "MD5")


def _check(code):
    # Run away from the checkout, whose package folder lacks the built module.
    result = run_python(code, cwd=tempfile.gettempdir())
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


def test_import_after_removal_returns_the_loaded_module_without_rerunning_the_body():
    assert _check("""
        import sys, pelun_online_sdk.client as first
        before = {k: v for k, v in vars(first).items() if not k.startswith("__")}
        del sys.modules["pelun_online_sdk.client"]
        import pelun_online_sdk.client as again
        print(again is first, all(getattr(again, k) is v for k, v in before.items()))
    """) == ["True True"]


# A finder for the subprocesses: refuses a module, or finds one whose execution fails.
FINDER = """
import importlib.util, sys, traceback, types
class Refuse:
    def __init__(self, name, broken): self.name, self.broken = name, broken
    def find_spec(self, name, path=None, target=None):
        if name != self.name: return None
        if not self.broken: raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        return importlib.util.spec_from_loader(name, self)
    def create_module(self, spec): return None
    def exec_module(self, module): raise RuntimeError(self.name + " broke")
"""


def _stub(name, **attrs):
    return (f"import pelun_online_sdk; sys.modules[{name!r}] = stub = types.ModuleType({name!r}); "
            f"vars(stub).update({attrs!r})")


def _refuse(name, broken=False):
    return (f"import pelun_online_sdk; sys.modules.pop({name!r}, None); "
            f"sys.meta_path.insert(0, Refuse({name!r}, {broken}))")


@pytest.mark.parametrize("setup, error, line", [
    (_refuse("aiohttp"), "ModuleNotFoundError: No module named 'aiohttp'", 10),
    (_refuse("aiohttp_proxy"), "ModuleNotFoundError: No module named 'aiohttp_proxy'", 11),
    (_refuse("httpx"), "ModuleNotFoundError: No module named 'httpx'", 13),
    (_refuse("requests_toolbelt"), "ModuleNotFoundError: No module named 'requests_toolbelt'", 16),
    ("sys.modules['aiohttp'] = None", "ModuleNotFoundError: import of aiohttp halted; None in sys.modules", 10),
    (_stub("Cryptodome.Hash"), "ImportError: cannot import name MD5", 8),
    (_stub("pelun_online_sdk.utils"), "ImportError: cannot import name Report", 19),
    (_stub("pelun_online_sdk.utils", Report="stand-in"), "ImportError: cannot import name VERSION_SDK", 19),
    (_refuse("pelun_online_sdk.utils", broken=True), "RuntimeError: pelun_online_sdk.utils broke", 19),
    (_stub("pelun_online_sdk.proxy"), "ImportError: cannot import name Proxy", 20),
    (_refuse("pelun_online_sdk.proxy", broken=True), "RuntimeError: pelun_online_sdk.proxy broke", 20),
])
def test_failing_import_statement_ends_the_load_and_a_later_import_succeeds(setup, error, line):
    assert _check(FINDER + setup + """
try:
    import pelun_online_sdk.client
except Exception as e:
    print(f"{type(e).__name__}: {e}")
    print([(f.name, f.filename, f.lineno) for f in traceback.extract_tb(e.__traceback__) if f.name.startswith("init")])
    print("pelun_online_sdk.client" in sys.modules)
sys.meta_path = [f for f in sys.meta_path if not isinstance(f, Refuse)]
for name in ("aiohttp", "Cryptodome.Hash", "pelun_online_sdk.utils", "pelun_online_sdk.proxy"):
    if not hasattr(sys.modules.get(name), "__file__"): sys.modules.pop(name, None)
import pelun_online_sdk.client
print(pelun_online_sdk.client.Client.TypeReq.AIOHTTP.value)
""") == [
        error, str([("init pelun_online_sdk.client", "pelun_online_sdk\\client.py", line)]), "False", "3"]


@pytest.mark.parametrize("main_first", [True, False])
def test_one_interpreter_per_process(main_first, tmp_path):
    pytest.importorskip("_testcapi")
    text = "Interpreter change detected - this module can only be loaded into one interpreter per process."
    sub = f"""
try:
    import pelun_online_sdk.client; r = 'loaded'
except Exception as e:
    r = f'{{type(e).__name__}}: {{e}}'
open({str(tmp_path / 'sub')!r}, 'w').write(r)
"""
    out = _check(f"""
        import _testcapi
        {"import pelun_online_sdk.client" if main_first else ""}
        _testcapi.run_in_subinterp({sub!r})
        try:
            import pelun_online_sdk.client; print("loaded")
        except ImportError as e:
            print(e)
    """)
    assert (tmp_path / "sub").read_text() == (f"ImportError: {text}" if main_first else "loaded")
    assert out == ["loaded" if main_first else text]


def test_second_initialisation_is_refused():
    assert _check("""
        import importlib.util, sys
        spec = importlib.util.find_spec("pelun_online_sdk.client")
        m1, m2 = spec.loader.create_module(spec), spec.loader.create_module(spec)
        spec.loader.exec_module(m1)
        try:
            spec.loader.exec_module(m2)
        except RuntimeError as e:
            print(e)
        spec.loader.exec_module(m1)  # the loaded module itself: nothing happens
        print(m1 is not m2, spec.loader.create_module(spec) is m1, sys.modules["pelun_online_sdk.client"] is m1)
    """) == ["Module 'client' has already been imported. Re-initialisation is not supported.", "True True True"]


def test_no_version_warning_for_the_interpreter_it_was_built_for():
    _check("import warnings; warnings.simplefilter('error', RuntimeWarning); import pelun_online_sdk.client")


def test_module_is_in_sys_modules_while_its_body_runs():
    # The stub's attribute hook runs during `from .proxy import Proxy`, after utils and before the classes.
    assert _check("""
        import sys, types, pelun_online_sdk
        seen, stub = [], types.ModuleType("pelun_online_sdk.proxy")
        def __getattr__(name):
            if name != "Proxy": raise AttributeError(name)
            module = sys.modules.get("pelun_online_sdk.client")
            seen.append((module, "Report" in vars(module), "_aiohttp" in vars(module)))
            return "proxy stand-in"
        stub.__getattr__ = __getattr__
        sys.modules["pelun_online_sdk.proxy"] = stub
        import pelun_online_sdk.client as m
        print(seen == [(m, True, False)], m.Proxy)
    """) == ["True proxy stand-in"]
