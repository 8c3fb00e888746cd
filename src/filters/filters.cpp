#include "filters/filters.hpp"

#include <array>

#include "python/compat.hpp"

namespace zelm {
namespace {

struct BuiltinFinders {
    std::array<Finder, 2> library{Finder("lib/python"), Finder("/site-packages/")};
    Finder frozen{"<frozen "};
    // Every own-package needle contains it: one search rules them all out.
    Finder own_package_gate{"/zelm/"};
    std::array<Finder, 22> own_package{
        Finder("/zelm/config.py"),        Finder("/zelm/db.py"),
        Finder("/zelm/django_schema.py"), Finder("/zelm/filters/"),
        Finder("/zelm/generate_tests/"),  Finder("/zelm/git.py"),
        Finder("/zelm/__init__.py"),      Finder("/zelm/__main__.py"),
        Finder("/zelm/middleware.py"),    Finder("/zelm/profiler.py"),
        Finder("/zelm/pytest_plugin.py"), Finder("/zelm/serialize.py"),
        Finder("/zelm/utils.py"),         Finder("/zelm/version.py"),
        Finder("/zelm/cli/"),             Finder("/zelm/ids.py"),
        Finder("/zelm/plugins/"),         Finder("/zelm/serialize/"),
        Finder("/zelm/store/"),           Finder("/zelm/text.py"),
        Finder("/zelm/web/"),             Finder("/zelm/children/"),
    };
    Finder exec{"<string>"};
};

// Built once per process, thread-safely, on first use; never released.
const BuiltinFinders& builtin_finders() {
    static const BuiltinFinders* finders = new BuiltinFinders();
    return *finders;
}

template <std::size_t N>
bool any_of(const std::array<Finder, N>& finders, std::string_view haystack) {
    for (const auto& finder : finders) {
        if (finder.matches(haystack)) return true;
    }
    return false;
}

constexpr std::string_view pytest_expression = "<pytest match expression>";
constexpr std::string_view attrs_prefix = "<attrs generated";
constexpr std::string_view attrs_maker = "attr/_make.py";

// Looks at the running frame's code file name; its text is read only when
// the cache does not know the name object.
const CallerFileFacts& caller_file(PyObject* frame, CallerFiles& caller_files) {
    PyObject* code = compat::running_code(frame);
    if (code == nullptr) throw InternalError("A frame has a code object.");
    PyObject* filename = compat::code_filename(code);
    if (filename == nullptr || !PyUnicode_Check(filename)) {
        throw InternalError("A code object has a filename.");
    }
    CallerFileFacts& facts = cache_slot(caller_files, filename);
    if (facts.filename.get() != filename) {
        // Lone surrogates are replaced: only the ASCII suffix is compared.
        Utf8 text(filename);
        facts.empty = text.view().empty();
        facts.in_attrs_maker = text.view().ends_with(attrs_maker);
        facts.filename = PyRef::from_borrowed(filename);
    }
    return facts;
}

}  // namespace

bool ignored_by_file_name(std::string_view filename, const std::vector<Finder>& ignore_frames) {
    const BuiltinFinders& builtin = builtin_finders();
    return any_of(builtin.library, filename) || builtin.frozen.matches(filename) ||
           (builtin.own_package_gate.matches(filename) && any_of(builtin.own_package, filename)) || builtin.exec.matches(filename) ||
           filename == pytest_expression || filename.starts_with(attrs_prefix) ||
           any_matches(ignore_frames, filename);
}

bool called_from_attrs(PyObject* frame, CallerFiles& caller_files) {
    // The frame runs (its event is being handled), and so do its callers.
    PyObject* parent = compat::running_caller(frame);
    if (parent == nullptr) return false;
    const CallerFileFacts& parent_file = caller_file(parent, caller_files);
    if (!parent_file.empty) return parent_file.in_attrs_maker;
    PyObject* grandparent = compat::running_caller(parent);
    if (grandparent == nullptr) return false;
    return caller_file(grandparent, caller_files).in_attrs_maker;
}

}  // namespace zelm
