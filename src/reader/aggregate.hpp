// Where the time of a trace went, summed over the flat call tree that
// index() builds (or the viewer's pure-Python index of the same shape):
// self times, a row per function and the flame graph merged by call path.
// zelm.stats turns the arrays these return into its tables.
//
// The entry points take the tree's columns as buffers (node ids index
// them): the seconds each call counts for (the time it ran, float64), start
// (float64), parent and size (int64), and per node its function's number
// (int32, -1 for a plugin record), which zelm.stats gives each (qualified
// name, file) pair. They run with the GIL held.
#pragma once

#include "python/python.hpp"

namespace zelm::reader {

// self_times(time, parent, function) -> bytes of float64 per node.
PyObject* self_times_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs);
inline constexpr const char* self_times_doc =
    "self_times(time, parent, function)\n--\n\n"
    "Each call's time minus the times of the calls it made (0.0 for a plugin record, never below 0.0), "
    "as float64 bytes.";

// function_table(time, start, size, function, self, first, last, functions) -> tuple of bytes.
PyObject* function_table_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs);
inline constexpr const char* function_table_doc =
    "function_table(time, start, size, function, self, first, last, functions)\n--\n\n"
    "Per function number below `functions`, over the nodes first .. last - 1: (calls, outermost calls as int64, "
    "total, self, longest call as float64, then offsets (int64, functions + 1) into the node ids of each "
    "function's calls (int64, in start order)). A call inside a call of the same function adds to its calls "
    "and self, not to its total.";

// flame_graph(time, size, function, self, first, last, max_nodes, max_depth) -> tuple.
PyObject* flame_graph_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs);
inline constexpr const char* flame_graph_doc =
    "flame_graph(time, size, function, self, first, last, max_nodes, max_depth)\n--\n\n"
    "The calls of nodes first .. last - 1 merged by call path: (parent position (int64, -1 under the root), "
    "function (int32), total, self (float64), calls, first call's node id (int64)) of the kept merged nodes "
    "in depth-first order, children heaviest first; then the root's total, its calls, and whether merged "
    "nodes beyond max_nodes or calls deeper than max_depth were left out.";

}  // namespace zelm::reader
