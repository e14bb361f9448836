#include "client/form_bodies.hpp"

namespace client {
namespace {

const Name kString("string");
const Name kAsciiLetters("ascii_letters");
const Name kDigits("digits");
const Name kSecrets("secrets");
const Name kChoice("choice");
const Name kHashMD5("HashMD5");
const Name kNew("new");
const Name kHexdigest("hexdigest");
const Name kJson("json");
const Name kDumps("dumps");
const Name kExtraChars("._-");
const Name kHyphen("-");
const Name kUrlencode("urlencode");
const Name kReport("Report");
const Name kItems("items");
const Name kInit("__init__");
const Name kContentType("content_type");
const Name kContentTypeHeader("Content-Type");

// The alphabet is rebuilt on every generation: `string` may be rebound.
py::object alphabet(Call& call) {
    py::object string = call.global(kString);
    py::object letters_digits =
        native::add(native::getattr(string, kAsciiLetters), native::getattr(string, kDigits));
    return native::add(letters_digits, kExtraChars.handle());
}

// `length` draws of secrets.choice(chars), joined. The callable is looked up
// once per call and called through vectorcall: no interpreter frame per
// character. A length beyond what the interpreter can count cannot be drawn:
// it is refused rather than cut short, which would give a short, predictable
// boundary. The list only ever grows by appending: `choice` is the caller's
// to rebind, and whatever it runs may walk every live object.
py::object random_part(Call& call, py::handle chars) {
    const Py_ssize_t count = native::range_length(call.arg(BuilderParam::kLength));
    py::object choice = native::getattr(call.global(kSecrets), kChoice);
    py::list drawn = native::new_list();
    for (Py_ssize_t i = 0; i < count; ++i) native::append(drawn, native::call(choice, {chars}));
    return native::join(drawn);
}

py::object md5_hex(Call& call, py::handle text) {
    py::object hash = native::call_method(call.global(kHashMD5), kNew, {native::utf8_bytes(text)});
    return native::call_method(hash, kHexdigest);
}

// Every boundary the rule produces must be a str (a rebound HashMD5 could
// return anything).
py::object expect_str(py::object value) {
    auto type = native::exact_builtin_type(value);
    if (type != BuiltinType::kStr && type != BuiltinType::kNone)
        native::raise_expected("str", value);
    return value;
}

enum class FieldKind { kContainer, kNumber, kOther };

// Instances of the built-in types cannot change their __class__, so their
// exact type answers the isinstance() tests below without the attribute
// look-ups isinstance() makes; anything else asks isinstance() itself, which
// honours __class__ and __instancecheck__ as the interpreter does. The tuple
// form isinstance(value, (first, second)) tests its types in order and stops
// at the first match, as the `||` below does.
FieldKind kind_of(py::handle value, bool test_containers) {
    if (auto type = native::exact_builtin_type(value)) {
        switch (*type) {
            case BuiltinType::kDict:
            case BuiltinType::kList:
                return test_containers ? FieldKind::kContainer : FieldKind::kOther;
            case BuiltinType::kInt:
            case BuiltinType::kFloat:
            case BuiltinType::kBool:
                return FieldKind::kNumber;
            case BuiltinType::kStr:
            case BuiltinType::kBytes:
            case BuiltinType::kNone:
                return FieldKind::kOther;
        }
    }
    if (test_containers && (native::is_instance(value, BuiltinType::kDict) ||
                            native::is_instance(value, BuiltinType::kList))) {
        return FieldKind::kContainer;
    }
    return native::is_instance(value, BuiltinType::kInt) ||
                   native::is_instance(value, BuiltinType::kFloat)
               ? FieldKind::kNumber
               : FieldKind::kOther;
}

// create_urlencode: `return urlencode(data)`.
enum UrlencodeLine : int { kUrlencodeCall = 1 };
// Its parameter, as urlencode_decl declares it.
enum class UrlencodeParam { kData };

py::object urlencoded(Call& call) {
    call.at(kUrlencodeCall);
    return native::call(call.global(kUrlencode), {call.arg(UrlencodeParam::kData)});
}

// Boundary.__init__: super().__init__(), then the two attributes.
enum BoundaryInitLine : int { kInitBase = 1, kSetHeaders = 2, kSetData = 3 };
// Its parameters, in the order of boundary_init_decl's .params().
enum class BoundaryInitParam { kSelf, kHeaders, kData };

py::object boundary_init(Call& call) {
    py::handle self = call.arg(BoundaryInitParam::kSelf);
    call.at(kInitBase);
    native::call_method(native::zero_arg_super(call, self), kInit);
    call.at(kSetHeaders);
    native::setattr(self, kHeaders, call.arg(BoundaryInitParam::kHeaders));
    call.at(kSetData);
    native::setattr(self, kData, call.arg(BoundaryInitParam::kData));
    return py::none();
}

}  // namespace

native::FunctionDecl urlencode_decl(const Def& def) {
    return native::FunctionDecl(def, urlencoded)
        // In the order of UrlencodeParam.
        .params({{"data", "dict", ArgTest::kExactDict}})
        .wrapped(native::Wrapper::kStatic);
}

native::FunctionDecl builder_decl(const Def& def, native::Body body,
                                  std::vector<const char*> locals) {
    return native::FunctionDecl(def, body)
        // In the order of BuilderParam.
        .params({{"data", "dict", ArgTest::kExactDict},
                 {"prefix", "str", ArgTest::kStrOrNone, Default::none()},
                 {"length", "int", ArgTest::kExactInt, Default::integer(51)},
                 {"boundary", "str", ArgTest::kStrOrNone, Default::none()},
                 {"MD5", "bool", ArgTest::kAny, Default::false_value()}})
        .locals(std::move(locals))
        .wrapped(native::Wrapper::kStatic);
}

native::FunctionDecl boundary_init_decl(const Def& def, const char* data_annotation) {
    return native::FunctionDecl(def, boundary_init)
        .uses_class_cell()
        // In the order of BoundaryInitParam.
        .params({{"self"},
                 {"headers", "Dict[str, str]", ArgTest::kExactDict},
                 {"data", data_annotation}})
        .returns("None");
}

py::object define_boundary_class(Call& call, const native::ClassDecl& decl,
                                 const native::FunctionDecl& init) {
    call.at(kDefineBoundary);
    native::ClassStatement statement(call.globals(), decl,
                                     native::tuple_of({call.global(kReport)}));
    statement.def(init);
    return statement.create();
}

py::object boundary_token(Call& call) {
    call.at(kTestBoundary);
    py::handle given = call.arg(BuilderParam::kBoundary);
    if (native::truthy(given)) return py::reinterpret_borrow<py::object>(given);
    call.at(kAlphabet);
    py::object chars = alphabet(call);
    py::object boundary;
    if (!call.arg(BuilderParam::kPrefix).is_none()) {
        call.at(kPrefixed);
        py::object random = random_part(call, chars);
        boundary =
            expect_str(native::concat({call.arg(BuilderParam::kPrefix), kHyphen.handle(), random}));
    } else {
        call.at(kDigest);
        boundary = expect_str(md5_hex(call, random_part(call, chars)));
    }
    call.at(kDigestAgain);
    if (native::truthy(call.arg(BuilderParam::kMD5)))
        boundary = expect_str(md5_hex(call, boundary));
    return boundary;
}

py::object field_value(Call& call, py::handle value, int json_line) {
    call.at(json_line);
    py::object result = py::reinterpret_borrow<py::object>(value);
    FieldKind kind = kind_of(result, true);
    if (kind == FieldKind::kContainer) {
        result = native::call_method(call.global(kJson), kDumps, {result});
        kind = kind_of(result, false);
    }
    call.at(json_line + 1);
    if (kind == FieldKind::kNumber) result = native::str_of(result);
    return result;
}

FieldWalk::FieldWalk(py::handle data) : items_(native::call_method(data, kItems)) {}

bool FieldWalk::next(py::object& key, py::object& value) {
    py::object pair;
    if (!items_.next(pair)) return false;
    native::unpack_pair(pair, key, value);
    return true;
}

py::object boundary_result(py::handle boundary_class, py::handle body) {
    py::dict headers = native::new_dict();
    native::dict_set(headers, kContentTypeHeader.handle(), native::getattr(body, kContentType));
    return native::call(boundary_class, {},
                        {native::Keyword{kHeaders, headers}, native::Keyword{kData, body}});
}

}  // namespace client
