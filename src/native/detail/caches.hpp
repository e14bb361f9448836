// The caches of a module state that calls fill as they run: prototypes of
// functions, traceback code objects and remembered class attributes. Every
// thread of the interpreter shares them, hence the locks (nothing on builds
// with the GIL, where no thread can run between two C API calls that run no
// Python code).
#pragma once

#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "native/declaration.hpp"
#include "native/detail/compat.hpp"
#include "native/names.hpp"

namespace native::detail {

// What every function object of one declaration shares, made once per
// state: the code object, the interned names and docstring, and the
// annotations, which each function receives as its own copy (they are
// mutable).
struct Prototype {
    py::object code;
    py::object name;
    py::object qualname;
    py::object doc;
    py::object annotations;
    // The parameters' names, interned, for keyword binding: owned by
    // `param_name_objects`, listed raw as argument binding reads them.
    py::object param_name_objects[kMaxParams];
    PyObject* param_names[kMaxParams] = {};
};

// A class attribute remembered while the class and its metaclass keep their
// version tags (see attributes.cpp). Its value is borrowed from the class's
// namespace, which holds it for as long as the class keeps the version tag
// recorded here: an entry is used only after that tag is checked. This is
// the one borrowed reference kept beyond a call, and free-threaded builds,
// where another thread could change the class between the check and the
// use, go without the cache.
struct RememberedAttribute {
    PyTypeObject* cls = nullptr;
    unsigned int cls_version = 0;
    unsigned int meta_version = 0;
    PyObject* value = nullptr;
};

// What one Name was last read as, on up to kWays classes. Each Name has its
// own (a read of one name never displaces the read of another), and a
// class keeps its way until kWays other classes have been read under that
// name since: the module reads a name on one class per call (cls.TypeReq,
// TypeReq.HTTPX), so a call's reads never push each other out, wherever
// the classes and names lie in memory.
struct RememberedReads {
    static constexpr size_t kWays = 4;
    RememberedAttribute ways[kWays];
    size_t next = 0;  // the way the next new class takes once all are used
};

struct Caches {
    Caches() : remembered(compat::kFreeThreaded ? 0 : Name::count()) {}

    // Entries are found under the lock and kept in maps, whose entries never
    // move: a found entry stays valid without it.
    template <class Map, class Key>
    auto* find(Map& map, const Key& key) {
        std::lock_guard<compat::Mutex> guard(lock);
        auto found = map.find(key);
        return found == map.end() ? nullptr : &found->second;
    }
    // Keeps `value` unless another thread kept one first; returns the kept one.
    template <class Map, class Key, class Value>
    auto& keep(Map& map, const Key& key, Value&& value) {
        std::lock_guard<compat::Mutex> guard(lock);
        return map.emplace(key, std::forward<Value>(value)).first->second;
    }

    compat::Mutex lock;
    std::map<const FunctionDecl*, Prototype> prototypes;
    std::map<std::pair<const char*, int>, py::object> traceback_codes;

    // One per Name, by its index; none on free-threaded builds.
    std::vector<RememberedReads> remembered;
};

}  // namespace native::detail
