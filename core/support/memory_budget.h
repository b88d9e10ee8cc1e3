#pragma once
#include <cstdint>
#include <memory>
#include <new>
#include <string>

namespace kelvor {

// Out of memory before anything was allocated: the message names the bytes
// asked for and what the machine has. A std::bad_alloc, so the module raises
// MemoryError with this message.
class MemoryBudgetError : public std::bad_alloc {
public:
    explicit MemoryBudgetError(std::string message)
        : message_(std::make_shared<const std::string>(std::move(message))) {}
    const char* what() const noexcept override { return message_->c_str(); }

private:
    std::shared_ptr<const std::string> message_;  // shared: copying an exception must not throw
};

// Bytes of physical memory, and when the process runs under an address-space
// limit, the part of that limit not yet used; the smaller of the two.
struct MemoryLimit {
    uint64_t bytes;
    const char* what;  // "bytes of memory on this machine" or the address-space limit
};
MemoryLimit memory_limit();

// Throws MemoryBudgetError when `bytes` exceed memory_limit(); `asker` starts
// the message ("a context of 8 heads").
void require_memory(uint64_t bytes, const std::string& asker);

// The error for `bytes` the system refused to `asker` ("append_heads"): names
// them and what memory_limit() leaves.
MemoryBudgetError refused_memory(uint64_t bytes, const std::string& asker);

}  // namespace kelvor
