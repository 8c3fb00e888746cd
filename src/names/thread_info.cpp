#include "names/thread_info.hpp"

#include <climits>

#include "python/compat.hpp"  // PyFrame_Check on 3.10

namespace zelm {

ThreadIdentity current_thread() {
    const Names& n = names();
    PyRef threading = import_module(n.threading_key);
    PyRef thread = require(PyObject_CallMethodNoArgs(threading.get(), n.current_thread));
    PyRef name = require(PyObject_GetAttr(thread.get(), n.name));
    ThreadIdentity identity{extract_str(name.get()), std::nullopt};
    PyRef native_id = PyRef::steal(PyObject_GetAttr(thread.get(), n.native_id));
    if (!native_id) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorSet{};
        PyErr_Clear();
    } else if (native_id.get() != Py_None) {
        identity.native_id = extract_u64(native_id.get());
    }
    return identity;
}

std::optional<CallSite> user_code_call_site(const std::vector<CallFrame>& call_frames,
                                            const std::optional<FrameId>& frame_id, LineCache& lines) {
    if (!frame_id || call_frames.empty()) return std::nullopt;
    const CallFrame* candidate = &call_frames.back();
    if (candidate->id == *frame_id) {
        // The frame being recorded is itself on top: its caller is below it.
        if (call_frames.size() < 2) return std::nullopt;
        candidate = &call_frames[call_frames.size() - 2];
        if (candidate->id == *frame_id) return std::nullopt;
    }
    if (!PyFrame_Check(candidate->frame.get())) {
        raise_conversion_error(candidate->frame.get(), "PyFrame");
    }
    int line = lines.line(candidate->frame.get());
    return CallSite{candidate->id, static_cast<std::int32_t>(line)};
}

}  // namespace zelm
