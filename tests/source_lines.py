"""Where the module's parts stand in its virtual source file, read from the
line tables of the checkout's src/, where each line is written once.

A function's table is `constexpr Def kXDef{"<qualname>", <def line>};`,
followed by `enum XLine : int { kName = <offset>, ... };`, the lines of its
statements counted from the `def`. Tables of bodies that several functions
share (BuilderLine, HeaderRuleLine, ...) have no Def of their own. The
module body's lines are in src/client/module.cpp and the backends' class
lines in the backend table of src/client/backends.cpp.

The reader is strict: anything it cannot account for fails an assertion
when this module is imported, so that no test quietly loses a case.
"""
import collections
import os
import re

SRC = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src")

Function = collections.namedtuple("Function", "qualname line tables")
Backend = collections.namedtuple("Backend", "member value cls line define bodies")

# How a function is declared, and the shared tables its statements use
# besides its own: the header rule's lines count from the factory's own
# kHeaderRule entry, so they are added where a table has one.
DECLARATIONS = {
    "FunctionDecl": (),
    "builder_decl": ("BuilderLine",),
    "session_factory_decl": (),
    "urlencode_decl": ("UrlencodeLine",),
    "boundary_init_decl": ("BoundaryInitLine",),
}
HEADER_RULE = "HeaderRuleLine"

_DEF = re.compile(r'\bconstexpr\s+Def\s+k(\w+)Def\s*\{\s*"([^"]+)"\s*,\s*(\d+)\s*\}\s*;')
_ENUM = re.compile(r"\benum\s+(\w+)Line\s*:\s*int\s*\{([^}]*)\}\s*;")
_ENTRY = re.compile(r"\s*(k\w+)\s*=\s*(\d+)\s*")
_NAME = re.compile(r'\bconst\s+Name\s+(k\w+)\("([^"]*)"\)')


def _without_comments(text):
    """The C++ text with its comments blanked out, string literals kept."""
    pattern = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S)
    return pattern.sub(lambda m: m.group() if m.group()[0] in "\"'" else " " * len(m.group()), text)


def _sources():
    found = {}
    for folder, _, names in os.walk(SRC):
        for name in sorted(names):
            if name.endswith((".cpp", ".hpp")):
                path = os.path.join(folder, name)
                with open(path, encoding="utf-8") as source:
                    found[os.path.relpath(path, SRC)] = _without_comments(source.read())
    assert found, f"no C++ sources under {SRC}"
    return found


def _entries(table, body):
    parts = [part for part in body.split(",") if part.strip()]
    entries = {}
    for part in parts:
        match = _ENTRY.fullmatch(part)
        assert match, f"{table}Line: cannot read the entry {part.strip()!r}"
        assert match[1] not in entries, f"{table}Line: {match[1]} twice"
        entries[match[1]] = int(match[2])
    assert entries, f"{table}Line has no entries"
    return entries


def _body_takes_the_call(text, body, where):
    match = re.search(r"\bpy::object\s+" + body + r"\s*\(\s*Call\s*&\s*(\w*)\s*\)", text)
    assert match, f"{where}: no definition of the body {body}"
    return bool(match[1])


def _functions(sources):
    functions, shared = {}, {}
    for path, text in sources.items():
        defs = {m[1]: m for m in _DEF.finditer(text)}
        assert len(defs) == len(re.findall(r"\bconstexpr\s+Def\b", text)), f"{path}: a Def this reader cannot read"
        enums = {m[1]: m for m in _ENUM.finditer(text)}
        assert len(enums) == len(re.findall(r"\benum\s+\w+Line\b", text)), f"{path}: a table this reader cannot read"
        for stem, enum in enums.items():
            if stem not in defs:
                assert stem + "Line" not in shared, f"{stem}Line: two shared tables of that name"
                shared[stem + "Line"] = _entries(stem, enum[2])
            else:
                assert defs[stem].start() < enum.start(), f"{path}: {stem}Line stands above its Def"
        for stem, match in defs.items():
            qualname, line = match[2], int(match[3])
            uses = re.findall(r"\b(\w+)\s*\(\s*k" + stem + r"Def\s*(?:,\s*(\w+))?", text)
            assert len(uses) == 1, f"{path}: k{stem}Def is used {len(uses)} times, not once"
            (declaration, body), = uses
            assert declaration in DECLARATIONS, f"{path}: k{stem}Def declared by {declaration}, unknown here"
            tables = [(stem + "Line", _entries(stem, enums[stem][2]))] if stem in enums else []
            if body and _body_takes_the_call(text, body, path):
                assert tables, f"{path}: {qualname} runs statements but has no {stem}Line"
            elif body:
                assert not tables, f"{path}: {qualname} has a {stem}Line but its body ignores the call"
            tables += [(name, None) for name in DECLARATIONS[declaration]]
            assert qualname not in functions, f"{qualname} declared twice"
            functions[qualname] = (line, tables)
    assert functions, "no Def found"
    assert set(shared) == {t for names in DECLARATIONS.values() for t in names} | {HEADER_RULE}, sorted(shared)
    result = {}
    for qualname, (line, tables) in functions.items():
        tables = [(name, shared[name] if entries is None else entries) for name, entries in tables]
        if any("kHeaderRule" in entries for _, entries in tables):
            tables.append((HEADER_RULE, shared[HEADER_RULE]))
        result[qualname] = Function(qualname, line, tuple(tables))
    return result, shared


def _module_body(text):
    imports, bound = {}, []
    for match in re.finditer(r"\bbody\.import\(\s*(\d+)\s*,\s*\"([\w.]+)\"\s*\)", text):
        imports[match[2]] = int(match[1])
        bound.append((int(match[1]), match[2].partition(".")[0]))
    from_import = re.compile(
        r"\bbody\.from\(\s*(\d+)\s*,\s*\"([\w.]+)\"\s*,\s*\{((?:\s*\{[^{}]*\}\s*,?)+)\s*\}\s*(?:,\s*(\d+)\s*)?\)")
    for match in from_import.finditer(text):
        line, module = int(match[1]), "." * int(match[4] or 0) + match[2]
        imports[module] = line
        aliases = re.findall(r"\{\s*\"\w+\"\s*,\s*\"(\w+)\"\s*\}", match[3])
        assert aliases, f"from {module} import: no names read"
        bound += [(line, alias) for alias in aliases]
    assert len(imports) == len(re.findall(r"\bbody\.(?:import|from)\(", text)), "an import this reader cannot parse"
    block = re.search(r"\bstd::vector<Statement>\s+\w+\s*=\s*\{((?:\s*\{[^{}]*\}\s*,?)+)\s*\}\s*;", text)
    assert block, "no statements of the module body found"
    statements = []
    for entry in re.findall(r"\{[^{}]*\}", block[1]):
        match = re.fullmatch(r"\{\s*(\d+)\s*,\s*\"(\w+)\"\s*,\s*\w+\s*\}", entry)
        assert match, f"cannot read the statement {entry}"
        statements.append((int(match[1]), match[2]))
    return imports, bound, statements


def _backends(text):
    names = dict(_NAME.findall(text))
    table = re.search(r"\bconst\s+Backend\s+kRows\[\]\s*=\s*\{(.*?)\n\};", text, re.S)
    assert table, "no backend table"
    row = r"\{\s*(k\w+)\s*,\s*(\d+)\s*,\s*(k\w+)\s*,\s*(\d+)\s*,\s*(\w+)\s*,\s*kRows\[(\d+)\]\s*\}"
    rows = re.findall(row, table[1])
    assert rows and len(rows) == table[1].count("{"), f"{len(rows)} rows read of {table[1].count('{')}"
    classes = [names[cls] for _, _, cls, _, _, _ in rows]
    return [Backend(names[member], int(value), names[cls], int(line), define, classes[int(bodies)])
            for member, value, cls, line, define, bodies in rows]


def _read():
    sources = _sources()
    functions, shared = _functions(sources)
    imports, bound, statements = _module_body(sources[os.path.join("client", "module.cpp")])
    backends = _backends(sources[os.path.join("client", "backends.cpp")])
    return functions, shared, imports, bound, statements, backends


FUNCTIONS, SHARED_TABLES, IMPORTS, _BOUND_BY_IMPORTS, _STATEMENTS, BACKENDS = _read()
# The module's own statements (class statements and constants), each name
# with its line, in body order: the backends' classes among the others.
STATEMENTS = sorted(_STATEMENTS + [(backend.line, backend.cls) for backend in BACKENDS])
# The line that binds each name of the module body, imported or its own.
BOUND = {name: line for line, name in _BOUND_BY_IMPORTS + STATEMENTS}
assert len(BOUND) == len(_BOUND_BY_IMPORTS) + len(STATEMENTS), "a name bound twice"


def def_line(qualname):
    """The line of the function's `def`."""
    return FUNCTIONS[qualname].line


def statement_line(qualname, *entries):
    """The line of a statement of the function: its `def` line plus the named
    entries' offsets, each found in exactly one of the function's tables
    (statement_line(q, "kHeaderRule", "kAddUserAgent") for a header rule's)."""
    function = FUNCTIONS[qualname]
    line = function.line
    for entry in entries:
        found = [table[entry] for _, table in function.tables if entry in table]
        assert len(found) == 1, f"{qualname}: {entry} is in {len(found)} of its tables {function.tables}"
        line += found[0]
    return line


def statement_lines(qualname):
    """Every line the function's tables name, in order."""
    function = FUNCTIONS[qualname]
    lines = []
    for name, table in function.tables:
        start = statement_line(qualname, "kHeaderRule") if name == HEADER_RULE else function.line
        lines += [start + offset for offset in table.values()]
    return sorted(lines)
