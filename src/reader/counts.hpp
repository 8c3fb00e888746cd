// What `zelm run` says of a trace once it is saved, read from the
// document's bytes in one pass that decodes no record (see counts.cpp).
#pragma once

#include "python/python.hpp"

namespace zelm::reader {

// counts(document, record_fields) -> (types, threads, cuts, hook_changes).
PyObject* counts_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs);
inline constexpr const char* counts_doc =
    "counts(document, record_fields)\n--\n\n"
    "The records of a trace document (MessagePack bytes) counted without building its call tree: "
    "({type text: records}, threads, [(begin, end) of each \"trace_cut\" record, in document order], "
    "[(begin, end) of each \"profile_hook\" record, thread by thread in the tree's order]). A record the "
    "call tree's reader leaves to Python is read by `record_fields`, as index() reads it; ValueError when "
    "the document cannot be read here.";

}  // namespace zelm::reader
