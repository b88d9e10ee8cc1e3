#pragma once

namespace kelvor {

// Per-thread state of this layer: the last error of the flat operations. The
// scratch of the layers above is theirs (kernels/lane_queries.h,
// codecs/encode_scratch.h, attention/scratch.h).
struct ThreadWorkspace {
    char last_error[256] = {};
};

// The calling thread's workspace, created zeroed on first use.
ThreadWorkspace& thread_workspace();

// Formats msg into the calling thread's last_error (at most 255 characters).
void set_last_error(const char* msg);
void clear_last_error();
const char* last_error();

}  // namespace kelvor
