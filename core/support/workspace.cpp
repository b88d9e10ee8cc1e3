#include "core/support/workspace.h"

#include <cstdio>
#include <memory>

namespace kelvor {

ThreadWorkspace& thread_workspace() {
    // Heap-held, like the per-thread scratch of the layers above.
    thread_local std::unique_ptr<ThreadWorkspace> workspace = std::make_unique<ThreadWorkspace>();
    return *workspace;
}

void set_last_error(const char* msg) {
    ThreadWorkspace& ws = thread_workspace();
    std::snprintf(ws.last_error, sizeof ws.last_error, "%s", msg);
}

void clear_last_error() { thread_workspace().last_error[0] = '\0'; }

const char* last_error() { return thread_workspace().last_error; }

}  // namespace kelvor
