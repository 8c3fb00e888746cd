// Self times, function rows and the merged flame graph over the flat call
// tree (see aggregate.hpp). Everything runs with the GIL held; every
// PyObject* is borrowed unless a PyRef holds it.
//
// The tree is in depth-first order, so the subtree of node n is the ids
// n .. n + size[n] - 1: "inside a call" is a comparison of ids, and one
// pass in id order with a stack of open calls visits every call inside the
// calls that enclose it.

#include "reader/aggregate.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zelm::reader {
namespace {

// One column of the tree, read in place through the buffer protocol.
template <typename T>
class Column {
public:
    // ``kinds``: the struct format letters that are T here.
    Column(PyObject* object, const char* name, std::string_view kinds) {
        require_status(PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT));
        const char* format = view_.format != nullptr ? view_.format : "B";
        const char kind = format[0] != '\0' ? format[std::strlen(format) - 1] : 'B';
        if (view_.itemsize != static_cast<Py_ssize_t>(sizeof(T)) || kinds.find(kind) == std::string_view::npos) {
            PyBuffer_Release(&view_);
            raise_format(PyExc_TypeError, "%s must be a contiguous buffer of '%s' items", name,
                         std::string(kinds.substr(0, 1)).c_str());
        }
    }
    Column(const Column&) = delete;
    Column& operator=(const Column&) = delete;
    ~Column() { PyBuffer_Release(&view_); }

    std::size_t size() const { return static_cast<std::size_t>(view_.len) / sizeof(T); }
    T operator[](std::size_t at) const { return static_cast<const T*>(view_.buf)[at]; }

private:
    Py_buffer view_{};
};

using Floats = Column<double>;
using Ids = Column<std::int64_t>;
using Functions = Column<std::int32_t>;

Floats floats(PyObject* object, const char* name) { return Floats(object, name, "d"); }
Ids ids(PyObject* object, const char* name) { return Ids(object, name, "qln"); }
Functions functions(PyObject* object, const char* name) { return Functions(object, name, "i"); }

// A bytes object of ``count`` items of T, written in place before Python sees it.
template <typename T>
class Output {
public:
    explicit Output(std::size_t count)
        : bytes_(require(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * sizeof(T))))) {}
    T* data() { return reinterpret_cast<T*>(PyBytes_AS_STRING(bytes_.get())); }
    T& operator[](std::size_t at) { return data()[at]; }
    PyRef take() { return std::move(bytes_); }

private:
    PyRef bytes_;
};

Py_ssize_t count_argument(PyObject* object, const char* name) {
    Py_ssize_t value = PyLong_AsSsize_t(object);
    if (value == -1 && PyErr_Occurred()) throw PyErrorSet{};
    if (value < 0) raise_format(PyExc_ValueError, "%s must be at least 0", name);
    return value;
}

void check_arguments(Py_ssize_t nargs, Py_ssize_t expected, const char* signature) {
    if (nargs != expected) raise_format(PyExc_TypeError, "%s takes %zd arguments", signature, expected);
}

void check_length(std::size_t length, std::size_t nodes, const char* name) {
    if (length != nodes) raise_format(PyExc_ValueError, "%s must have one item per node", name);
}

// The nodes first .. last - 1 of a tree of ``nodes`` nodes, checked.
struct Range {
    std::size_t first, last;
};

Range node_range(PyObject* first_object, PyObject* last_object, std::size_t nodes) {
    auto first = static_cast<std::size_t>(count_argument(first_object, "first"));
    auto last = static_cast<std::size_t>(count_argument(last_object, "last"));
    if (first > last || last > nodes) raise_error(PyExc_ValueError, "first .. last must be node ids of the tree");
    return Range{first, last};
}

// The id past node ``at``'s subtree, checked against the tree's end.
std::size_t subtree_end(const Ids& size, std::size_t at, std::size_t nodes) {
    std::int64_t count = size[at];
    if (count < 1 || static_cast<std::uint64_t>(count) > nodes - at) {
        raise_error(PyExc_ValueError, "a subtree size runs past the tree");
    }
    return at + static_cast<std::size_t>(count);
}

std::int32_t function_of(const Functions& function, std::size_t at, std::size_t functions) {
    std::int32_t number = function[at];
    if (number >= 0 && static_cast<std::size_t>(number) >= functions) {
        raise_error(PyExc_ValueError, "a function number is not below the number of functions");
    }
    return number;
}

// Heavier first; NaN, which no order can place, after every number.
bool heavier(double a, double b) { return a > b || (std::isnan(b) && !std::isnan(a)); }

// Earlier first, NaN after every time.
bool earlier(double a, double b) { return a < b || (std::isnan(b) && !std::isnan(a)); }

template <typename Body>
PyObject* guarded(Body body) {
    try {
        return body().release();
    } catch (const PyErrorSet&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::exception& error) {
        // A bug here: an error for the caller rather than the end of the process.
        PyErr_SetString(PyExc_SystemError, error.what());
        return nullptr;
    }
}

PyRef self_times(PyObject* const* args) {
    Floats time = floats(args[0], "time");
    Ids parent = ids(args[1], "parent");
    Functions function = functions(args[2], "function");
    std::size_t nodes = time.size();
    check_length(parent.size(), nodes, "parent");
    check_length(function.size(), nodes, "function");
    Output<double> own(nodes);
    std::fill(own.data(), own.data() + nodes, 0.0);
    for (std::size_t at = 0; at < nodes; ++at) {
        if (function[at] < 0) continue;  // a plugin record takes no time
        std::int64_t caller = parent[at];
        if (caller < -1 || caller >= static_cast<std::int64_t>(at)) {
            raise_error(PyExc_ValueError, "a parent is not an earlier node");
        }
        own[at] += time[at];
        if (caller >= 0) own[static_cast<std::size_t>(caller)] -= time[at];
    }
    // Rounding may leave a call whose children fill it a hair below zero.
    for (std::size_t at = 0; at < nodes; ++at) {
        if (own[at] < 0.0) own[at] = 0.0;
    }
    return own.take();
}

PyRef function_table(PyObject* const* args) {
    Floats time = floats(args[0], "time"), start = floats(args[1], "start");
    Ids size = ids(args[2], "size");
    Functions function = functions(args[3], "function");
    Floats own = floats(args[4], "self");
    std::size_t nodes = time.size();
    check_length(start.size(), nodes, "start");
    check_length(size.size(), nodes, "size");
    check_length(function.size(), nodes, "function");
    check_length(own.size(), nodes, "self");
    Range range = node_range(args[5], args[6], nodes);
    auto count = static_cast<std::size_t>(count_argument(args[7], "functions"));

    Output<std::int64_t> calls(count), outermost(count), offsets(count + 1);
    Output<double> total(count), self(count), longest(count);
    std::fill(calls.data(), calls.data() + count, 0);
    std::fill(outermost.data(), outermost.data() + count, 0);
    std::fill(total.data(), total.data() + count, 0.0);
    std::fill(self.data(), self.data() + count, 0.0);
    std::fill(longest.data(), longest.data() + count, 0.0);
    // Per function, the id past the subtree of its outermost call still open:
    // a call before it runs inside that call.
    std::vector<std::size_t> open_until(count, 0);
    for (std::size_t at = range.first; at < range.last; ++at) {
        std::int32_t number = function_of(function, at, count);
        if (number < 0) continue;
        std::size_t past = subtree_end(size, at, nodes);
        ++calls[number];
        self[number] += own[at];
        if (open_until[number] > at) continue;
        open_until[number] = past;
        ++outermost[number];
        total[number] += time[at];
        if (time[at] > longest[number]) longest[number] = time[at];
    }

    offsets[0] = 0;
    for (std::size_t number = 0; number < count; ++number) offsets[number + 1] = offsets[number] + calls[number];
    Output<std::int64_t> members(static_cast<std::size_t>(offsets[count]));
    std::vector<std::int64_t> fill(offsets.data(), offsets.data() + count);
    for (std::size_t at = range.first; at < range.last; ++at) {
        std::int32_t number = function[at];
        if (number >= 0) members[static_cast<std::size_t>(fill[number]++)] = static_cast<std::int64_t>(at);
    }
    // Ids are in start order within a thread; the calls of several threads interleave by time.
    for (std::size_t number = 0; number < count; ++number) {
        std::stable_sort(members.data() + offsets[number], members.data() + offsets[number + 1],
                         [&](std::int64_t a, std::int64_t b) { return earlier(start[a], start[b]); });
    }

    PyRef result = require(PyTuple_New(7));
    PyRef parts[] = {calls.take(), outermost.take(), total.take(), self.take(), longest.take(), offsets.take(),
                     members.take()};
    for (Py_ssize_t at = 0; at < 7; ++at) PyTuple_SET_ITEM(result.get(), at, parts[at].release());
    return result;
}

// One node of the flame graph: the calls of one function made from one call path.
struct Merged {
    std::int64_t parent;  // merged node, 0 being the root
    std::int32_t function;
    double total = 0.0, self = 0.0;
    std::int64_t calls = 0;
    std::int64_t first_node;
    std::vector<std::int64_t> children;  // kept merged nodes, filled after the selection
};

PyRef flame_graph(PyObject* const* args) {
    Floats time = floats(args[0], "time");
    Ids size = ids(args[1], "size");
    Functions function = functions(args[2], "function");
    Floats own = floats(args[3], "self");
    std::size_t nodes = time.size();
    check_length(size.size(), nodes, "size");
    check_length(function.size(), nodes, "function");
    check_length(own.size(), nodes, "self");
    Range range = node_range(args[4], args[5], nodes);
    auto max_nodes = static_cast<std::size_t>(count_argument(args[6], "max_nodes"));
    auto max_depth = static_cast<std::size_t>(count_argument(args[7], "max_depth"));

    std::vector<Merged> merged{Merged{-1, -1, 0.0, 0.0, 0, -1, {}}};
    std::unordered_map<std::uint64_t, std::int64_t> child_of;  // parent << 32 | function -> merged node
    struct Open {
        std::int64_t merged;
        std::size_t until;  // the id past the call's subtree
    };
    std::vector<Open> path;
    bool too_deep = false;
    for (std::size_t at = range.first; at < range.last; ++at) {
        std::int32_t number = function[at];
        if (number < 0) continue;
        std::size_t past = subtree_end(size, at, nodes);
        while (!path.empty() && path.back().until <= at) path.pop_back();
        if (path.size() >= max_depth) {
            // Its time stays in the deepest kept node's total.
            too_deep = true;
            at = past - 1;
            continue;
        }
        std::int64_t parent = path.empty() ? 0 : path.back().merged;
        auto key = (static_cast<std::uint64_t>(parent) << 32) | static_cast<std::uint32_t>(number);
        auto [found, made] = child_of.try_emplace(key, static_cast<std::int64_t>(merged.size()));
        if (made) merged.push_back(Merged{parent, number, 0.0, 0.0, 0, static_cast<std::int64_t>(at), {}});
        Merged& node = merged[static_cast<std::size_t>(found->second)];
        node.total += time[at];
        node.self += own[at];
        ++node.calls;
        if (path.empty()) {
            merged[0].total += time[at];
            ++merged[0].calls;
        }
        path.push_back(Open{found->second, past});
    }

    // The heaviest nodes: a child's total never exceeds its parent's, and on
    // a tie the parent, made first, comes first; a NaN total aside, whose
    // node goes with its parent.
    auto before = [&](std::int64_t a, std::int64_t b) {
        const Merged &x = merged[static_cast<std::size_t>(a)], &y = merged[static_cast<std::size_t>(b)];
        return heavier(x.total, y.total) || (!heavier(y.total, x.total) && a < b);
    };
    std::vector<std::int64_t> order(merged.size() - 1);
    for (std::size_t at = 0; at < order.size(); ++at) order[at] = static_cast<std::int64_t>(at + 1);
    bool too_many = order.size() > max_nodes;
    if (too_many) {
        std::nth_element(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(max_nodes), order.end(), before);
        order.resize(max_nodes);
    }
    std::vector<bool> kept(merged.size(), false);
    kept[0] = true;
    std::sort(order.begin(), order.end());  // parents before their children
    for (std::int64_t at : order) {
        Merged& node = merged[static_cast<std::size_t>(at)];
        if (!kept[static_cast<std::size_t>(node.parent)]) continue;
        kept[static_cast<std::size_t>(at)] = true;
        merged[static_cast<std::size_t>(node.parent)].children.push_back(at);
    }

    // Depth first, each node's children heaviest first.
    std::vector<std::int64_t> emitted_parent, emitted;
    std::vector<std::pair<std::int64_t, std::int64_t>> pending;  // (merged node, its parent's position)
    auto push_children = [&](std::int64_t at, std::int64_t position) {
        auto& children = merged[static_cast<std::size_t>(at)].children;
        std::sort(children.begin(), children.end(), before);
        for (auto child = children.rbegin(); child != children.rend(); ++child) pending.emplace_back(*child, position);
    };
    push_children(0, -1);
    while (!pending.empty()) {
        auto [at, parent_position] = pending.back();
        pending.pop_back();
        emitted.push_back(at);
        emitted_parent.push_back(parent_position);
        push_children(at, static_cast<std::int64_t>(emitted.size() - 1));
    }

    std::size_t count = emitted.size();
    Output<std::int64_t> parent_out(count), calls_out(count), node_out(count);
    Output<std::int32_t> function_out(count);
    Output<double> total_out(count), self_out(count);
    for (std::size_t at = 0; at < count; ++at) {
        const Merged& node = merged[static_cast<std::size_t>(emitted[at])];
        parent_out[at] = emitted_parent[at];
        function_out[at] = node.function;
        total_out[at] = node.total;
        self_out[at] = node.self;
        calls_out[at] = node.calls;
        node_out[at] = node.first_node;
    }
    PyRef root_total = require(PyFloat_FromDouble(merged[0].total));
    PyRef root_calls = require(PyLong_FromLongLong(merged[0].calls));
    PyRef truncated = PyRef::from_borrowed(too_many || too_deep ? Py_True : Py_False);
    PyRef result = require(PyTuple_New(9));
    PyRef parts[] = {parent_out.take(), function_out.take(), total_out.take(), self_out.take(), calls_out.take(),
                     node_out.take(), std::move(root_total), std::move(root_calls), std::move(truncated)};
    for (Py_ssize_t at = 0; at < 9; ++at) PyTuple_SET_ITEM(result.get(), at, parts[at].release());
    return result;
}

}  // namespace

PyObject* self_times_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&] {
        check_arguments(nargs, 3, "self_times(time, parent, function)");
        return self_times(args);
    });
}

PyObject* function_table_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&] {
        check_arguments(nargs, 8, "function_table(time, start, size, function, self, first, last, functions)");
        return function_table(args);
    });
}

PyObject* flame_graph_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&] {
        check_arguments(nargs, 8, "flame_graph(time, size, function, self, first, last, max_nodes, max_depth)");
        return flame_graph(args);
    });
}

}  // namespace zelm::reader
