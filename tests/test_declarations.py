"""Declarations: every class and function with its metadata and code object, and how they behave as objects."""
import ctypes
import enum
import gc
import inspect
import pickle
import ssl
import tempfile
import types
import weakref

import pytest
import requests

import pelun_online_sdk.client as client
from pelun_online_sdk.utils import Report
from client_lines import FUNCTIONS as LINES, def_line
from helpers import BACKENDS, run_python

SESSION = {"extra_headers": "Dict[str, str]", "proxy": "Union[Proxy, None]"}
BOUNDARY = {"data": "dict", "prefix": "str", "length": "int", "boundary": "str", "MD5": "bool"}
GENEXPRS, DEFAULTS = ("genexpr",) * 3, (None, 51, None, False)
INIT = {"self": None, "headers": "Dict[str, str]", "data": None}
STAR = inspect.CO_VARARGS | inspect.CO_VARKEYWORDS


def _httpx_client():
    with client._httpx.ClientSession() as session:
        return session


def _retry_class():
    # Only a factory call reaches it; with the collector off the class outlives the call.
    gc.disable()
    try:
        client._requests.ClientSession().close()
        return next(o for o in gc.get_objects()
                    if isinstance(o, type) and o.__qualname__ == "_requests.ClientSession.<locals>.Retry")
    finally:
        gc.enable()


LOCAL_CLASSES = {  # per-call classes, reached through a fresh call
    "_requests.create_boundary.<locals>.Boundary": lambda: type(client._requests.create_boundary({})),
    "_aiohttp.create_boundary.<locals>.Boundary": lambda: type(client._aiohttp.create_boundary({})),
    "_requests.ClientSession.<locals>.Retry": _retry_class,
}


def lookup_class(qualname):
    return LOCAL_CLASSES[qualname]() if qualname in LOCAL_CLASSES else getattr(client, qualname)


# qualname, wrapper in the class namespace (None: the bare function), argument count,
# local variable names after the parameters, defaults, annotations (None: parameter without one)
FUNCTIONS = [
    ("_aiohttp.create_urlencode", staticmethod, 1, (), None, {"data": "dict"}),
    ("_aiohttp.create_boundary", staticmethod, 5, ("Boundary", "chars", "MPData", "key", "value", "part", *GENEXPRS),
     DEFAULTS, BOUNDARY),
    ("_aiohttp.create_boundary.<locals>.Boundary.__init__", None, 3, (), None,
     {**INIT, "data": "aiohttp.MultipartWriter", "return": "None"}),
    ("_aiohttp.ClientSession", staticmethod, 2, ("headers", "k", "v"), ({}, None), SESSION),
    ("SSLContext.set_alpn_protocols", None, 2, (), None, {"self": None, "alpn_protocols": "Iterable[str]",
                                                         "return": "None"}),
    ("RequestsAdapter.__init__", None, 1, (), None, {"self": None, "args": None, "kwargs": None}),
    ("RequestsAdapter.init_poolmanager", None, 1, ("context",), None,
     {"self": None, "args": "Any", "kwargs": "Any", "return": "None"}),
    ("_requests.create_urlencode", staticmethod, 1, (), None, {"data": "dict"}),
    ("_requests.create_boundary", staticmethod, 5, ("Boundary", "chars", "key", "value", "MPData", *GENEXPRS),
     DEFAULTS, BOUNDARY),
    ("_requests.create_boundary.<locals>.Boundary.__init__", None, 3, (), None,
     {**INIT, "data": "MultipartEncoder", "return": "None"}),
    ("_requests.ClientSession", staticmethod, 2,
     ("ClientSession", "Retry", "Session", "adapter", "scheme", "headers", "k", "v"), ({}, None), SESSION),
    ("_requests.ClientSession.<locals>.Retry.__new__", staticmethod, 1, (), None,
     {"cls": None, "return": "'__retry__'"}),
    ("_httpx.ClientSession", staticmethod, 2, ("ClientSession", "autodetect", "autodetect", "headers", "k", "v"),
     ({}, None), SESSION),
    ("_httpx.ClientSession.<locals>.autodetect", None, 1, (), None, {"content": None}),
    ("Client.ClientSession", classmethod, 4, (), ({}, None), {"cls": None, "TypeReq": "TypeReq", **SESSION}),
    ("Client.create_boundary", classmethod, 7, (), DEFAULTS, {"cls": None, "TypeReq": "TypeReq", **BOUNDARY}),
]
DOCS = {
    "SSLContext.set_alpn_protocols": "\n        ALPN headers cause Google to return 403 Bad Authentication.\n        ",
    "RequestsAdapter.init_poolmanager": "\n        Secure settings from ssl.create_default_context(), but without"
    "\n        ssl.OP_NO_TICKET which causes Google to return 403 Bad\n        Authentication.\n        ",
}


def lookup(qualname):
    """The entry of the owning class's namespace, and the function in it."""
    if qualname.endswith("autodetect"):
        function = _httpx_client()._default_encoding
        return function, function
    owner, _, name = qualname.rpartition(".")
    stored = vars(lookup_class(owner))[name]
    return stored, getattr(stored, "__func__", stored)


def _functions_of(cls, seen):
    """The module's functions reachable from a class: its namespace, and the
    classes and functions its functions make when called."""
    for name, member in vars(cls).items():
        function = getattr(member, "__func__", member)
        if type(function) is FUNCTION_TYPE and function.__qualname__ not in seen:
            seen[function.__qualname__] = function
        elif isinstance(member, type) and member.__module__ == client.__name__:
            _functions_of(member, seen)
    return seen


FUNCTION_TYPE = type(client._requests.create_urlencode)


def test_every_function_of_the_module_is_listed():
    # A function the module gained or lost shows here, whatever its tables say.
    found = {}
    for cls in [value for value in vars(client).values() if isinstance(value, type) and
                value.__module__ == client.__name__] + [lookup_class(q) for q in LOCAL_CLASSES]:
        _functions_of(cls, found)
    autodetect = lookup("_httpx.ClientSession.<locals>.autodetect")[1]  # kept by the client it configures
    found[autodetect.__qualname__] = autodetect
    listed = [entry[0] for entry in FUNCTIONS]
    assert sorted(found) == sorted(listed) == sorted(LINES)


@pytest.mark.parametrize("qualname, wrapper, argcount, local_names, defaults, notes", FUNCTIONS)
def test_function(qualname, wrapper, argcount, local_names, defaults, notes):
    stored, function = lookup(qualname)
    name, code = qualname.rpartition(".")[2], function.__code__
    assert type(stored) is wrapper if wrapper else stored is function
    assert (function.__name__, function.__qualname__, function.__module__, function.__doc__) == (
        name, qualname, "pelun_online_sdk.client", DOCS.get(qualname))
    assert (function.__defaults__, function.__kwdefaults__, function.__globals__) == (defaults, None, vars(client))
    assert list(function.__annotations__.items()) == [(k, v) for k, v in notes.items() if v is not None]
    assert (code.co_filename, code.co_name, code.co_firstlineno) == (
        "pelun_online_sdk\\client.py", name, def_line(qualname))
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (argcount, 0, 0)
    assert code.co_varnames == tuple(k for k in notes if k != "return") + local_names
    star = (inspect.CO_VARARGS if "args" in notes else 0) | (
        inspect.CO_VARKEYWORDS if any(k.endswith("kwargs") for k in notes) else 0)
    assert code.co_flags & (inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS | STAR) == (
        inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS | star)
    assert weakref.ref(function)() is function
    if "<" not in qualname and wrapper is not classmethod:  # found again by module and qualified name
        assert pickle.loads(pickle.dumps(function)) is function


def _address(obj):
    # An address as the interpreter's reprs show it (%p): 0x7f3a... on Linux,
    # sixteen upper-case digits (0x000000000D99ED40) on Windows.
    render = ctypes.pythonapi["PyUnicode_FromFormat"]
    render.restype, render.argtypes = ctypes.py_object, [ctypes.c_char_p, ctypes.c_void_p]
    return render(b"%p", id(obj))


def test_repr_and_name_setters_read_as_a_python_function_s():
    function = client._requests.create_urlencode

    def python():
        pass

    python.__qualname__ = "_requests.create_urlencode"
    assert repr(function) == repr(python).replace(_address(python), _address(function))
    for attribute in ("__name__", "__qualname__"):
        for change in (lambda f: setattr(f, attribute, 1), lambda f: delattr(f, attribute)):
            with pytest.raises(TypeError) as expected:
                change(python)
            with pytest.raises(TypeError) as refused:
                change(function)
            assert str(refused.value) == str(expected.value)
    assert (function.__name__, function.__qualname__) == ("create_urlencode", "_requests.create_urlencode")


def test_each_session_factory_has_its_own_default_headers():
    owners = [getattr(client, row.cls) for row in BACKENDS] + [client.Client]
    defaults = [owner.ClientSession.__defaults__[0] for owner in owners]
    assert len({id(d) for d in defaults}) == len(owners) and all(type(d) is dict for d in defaults)


# The members of RequestsAdapter written in Python beside the module.
ADAPTER_PYTHON_MEMBERS = ["proxy_manager_for", "build_connection_pool_key_attributes", "cert_verify",
                          "proxy_headers", "add_headers", "max_retries", "send"]


@pytest.mark.parametrize("qualname, bases, doc, members", [
    ("_aiohttp", (object,), None, ["create_urlencode", "create_boundary", "ClientSession"]),
    ("SSLContext", (ssl.SSLContext,), "SSLContext wrapper.", ["set_alpn_protocols"]),
    # After its own two, the members written in Python.
    ("RequestsAdapter", (requests.adapters.HTTPAdapter,), None, ["__init__", "init_poolmanager",
                                                                *ADAPTER_PYTHON_MEMBERS]),
    ("_requests", (object,), None, ["create_urlencode", "create_boundary", "ClientSession"]),
    ("_httpx", (object,), None, ["ClientSession"]),
    ("Client", (object,), None, ["TypeReq", "ClientSession", "create_boundary"]),
    ("_aiohttp.create_boundary.<locals>.Boundary", (Report,), None, ["__init__"]),
    ("_requests.create_boundary.<locals>.Boundary", (Report,), None, ["__init__"]),
    ("_requests.ClientSession.<locals>.Retry", (object,), None, ["__new__"]),
])
def test_class(qualname, bases, doc, members):
    cls = lookup_class(qualname)
    assert (cls.__qualname__, cls.__module__, cls.__bases__, cls.__doc__, type(cls)) == (
        qualname, "pelun_online_sdk.client", bases, doc, type)
    namespace = ["__module__"] + (["__doc__"] if doc else []) + members
    assert list(vars(cls))[:len(namespace)] == namespace and "__orig_bases__" not in vars(cls)


def test_the_adapter_s_python_members_are_named_and_documented_as_its_own():
    for name in ADAPTER_PYTHON_MEMBERS:
        member = vars(client.RequestsAdapter)[name]
        for function in [member.fget, member.fset] if isinstance(member, property) else [member]:
            assert (function.__name__, function.__qualname__, bool(member.__doc__)) == (
                name, f"RequestsAdapter.{name}", True)


def test_type_req_is_a_plain_enumeration():
    TypeReq = client.Client.TypeReq
    assert (type(TypeReq), TypeReq.__bases__, TypeReq.__qualname__, TypeReq.__module__, TypeReq.__doc__) == (
        enum.EnumMeta, (enum.Enum,), "Client.TypeReq", "pelun_online_sdk.client", enum.Enum("E", "A").__doc__)
    assert [(m.name, m.value) for m in TypeReq] == [("REQUESTS", 1), ("HTTPX", 2), ("AIOHTTP", 3)]
    assert (TypeReq.REQUESTS == 1) is False and TypeReq.HTTPX == TypeReq(2)


def test_super_uses_the_class_cell():
    # A subclass inheriting __init__ would recurse if super() were bound to type(self).
    method = client.RequestsAdapter.__init__
    assert [cell.cell_contents for cell in method.__closure__] == [client.RequestsAdapter]
    adapter = type("Sub", (client.RequestsAdapter,), {})(max_retries=7)
    assert adapter.max_retries.total == 7
    assert isinstance(adapter.poolmanager.connection_pool_kw["ssl_context"], client.SSLContext)
    assert adapter.proxy_manager_for("http://127.0.0.1:1").connection_pool_kw["ssl_context"] is (
        adapter.poolmanager.connection_pool_kw["ssl_context"])


def test_methods_bind_like_functions():
    context = client.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    assert type(context.set_alpn_protocols) is types.MethodType
    assert (context.set_alpn_protocols.__self__, context.set_alpn_protocols.__func__) == (
        context, vars(client.SSLContext)["set_alpn_protocols"])
    Sub = type("Sub", (client.Client,), {})
    assert Sub.create_boundary.__self__ is Sub and Sub().ClientSession.__self__ is Sub
    assert client._requests().create_boundary is client._requests.create_boundary
    assert pickle.loads(pickle.dumps(client.Client.create_boundary)) == client.Client.create_boundary


def test_annotations_read_after_a_failed_read_are_the_declarations():
    # A function copies its declaration's annotations when they are first
    # read; a copy that fails for memory must leave them for the next read.
    # In a fresh interpreter: no other thread may be refused memory meanwhile.
    if not hasattr(pytest.importorskip("_testcapi"), "set_nomemory"):
        pytest.skip("this _testcapi cannot make allocations fail")
    result = run_python("""
        import _testcapi
        import pelun_online_sdk.client as client

        def failing_read(function):
            _testcapi.set_nomemory(0, 0)  # every allocation fails until the hooks go
            try:
                function.__annotations__
            except MemoryError:
                return True
            finally:
                _testcapi.remove_mem_hooks()

        for function in (type(client._requests.create_boundary({})).__init__, client._aiohttp.create_urlencode):
            failed = failing_read(function)
            print(failed, function.__annotations__, function.__annotations__ is function.__annotations__)
        """, cwd=tempfile.gettempdir())
    assert result.stdout.splitlines() == [
        "True {'headers': 'Dict[str, str]', 'data': 'MultipartEncoder', 'return': 'None'} True",
        "True {'data': 'dict'} True",
    ], result.stderr[-2000:]


def test_per_call_classes_and_functions_are_collected():
    made = [client._requests.create_boundary({}), client._aiohttp.create_boundary({}), _httpx_client()]
    parts = [type(made[0]).__init__, type(made[1]).__init__, made[2]._default_encoding, *map(type, made)]
    references = [weakref.ref(part) for part in parts]
    del made, parts
    gc.collect()
    assert [reference() for reference in references] == [None] * len(references)
