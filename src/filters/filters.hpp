// Which frames are recorded: the built-in tests that keep library code,
// interpreter internals, zelm's own files and generated code out of traces,
// plus the user's include and ignore fragments.
#pragma once

#include <string_view>
#include <vector>

#include "filters/finder.hpp"
#include "python/object_cache.hpp"
#include "python/python.hpp"

namespace zelm {

// The tests that look at the file name alone: library, frozen, own package,
// exec, pytest expression, the attrs-generated prefix, the user's ignores.
bool ignored_by_file_name(std::string_view filename, const std::vector<Finder>& ignore_frames);

// What the attrs test reads of a caller's file name, kept per name object.
struct CallerFileFacts {
    PyRef filename;
    bool empty = false;
    bool in_attrs_maker = false;
};
using CallerFiles = ObjectCache<CallerFileFacts>;

// True when the frame's caller (or, when the caller's file name is empty,
// the caller's caller) lives in attrs' code generator. Throws InternalError
// when a frame misses an attribute every frame has.
bool called_from_attrs(PyObject* frame, CallerFiles& caller_files);

}  // namespace zelm
