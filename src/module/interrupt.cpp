// geokern module layer: Ctrl-C in loops that run with the lock released
// (see interrupt.hpp).
#include "module/interrupt.hpp"

#include "module/python.hpp"

namespace gk {

bool signal_raised_unlocked() {
    const PyGILState_STATE state = PyGILState_Ensure();
    const bool raised = PyErr_CheckSignals() != 0;
    PyGILState_Release(state);
    return raised;
}

}  // namespace gk
