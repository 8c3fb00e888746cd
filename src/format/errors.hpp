// The two ways a failure travels up through native code.
//
// PyErrorSet: a Python exception is set in the interpreter; whoever catches
// it either hands it to Python (at the module's entry points) or fetches and
// logs it (on the event path).
// InternalError: a broken internal invariant carrying its fixed text; at the
// boundary it becomes the module's BaseException-derived internal error.
// Both are caught only at entry points and on the event path; nothing else
// swallows them.
#pragma once

#include <stdexcept>

namespace zelm {

class InternalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct PyErrorSet {};

}  // namespace zelm
