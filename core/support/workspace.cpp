#include "core/support/workspace.h"

#include <cstdio>
#include <memory>

namespace kelvor {

float* ThreadWorkspace::scores(int32_t rows, int32_t tokens) {
    const size_t need = static_cast<size_t>(rows) * static_cast<size_t>(tokens);
    if (scores_.size() < need) scores_.resize(need);
    return scores_.data();
}

float* ThreadWorkspace::copies(size_t floats) {
    if (copies_.size() < floats) copies_.resize(floats);
    return copies_.data();
}

ThreadWorkspace& thread_workspace() {
    // Heap-held: the record is tens of kilobytes, too large for static TLS.
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
