#pragma once

#include <windows.h>

#include <utility>

namespace launcher::windows {

// Owns one kernel handle and closes it once. Null is "empty": for a process,
// INVALID_HANDLE_VALUE is the current-process pseudo-handle, not "none".
class unique_handle {
public:
    using close_function = BOOL(WINAPI*)(HANDLE);

    unique_handle() = default;
    explicit unique_handle(HANDLE handle, close_function close = CloseHandle)
        : handle_(handle), close_(close)
    {
    }
    unique_handle(unique_handle&& other) noexcept
        : handle_(std::exchange(other.handle_, nullptr)), close_(other.close_)
    {
    }
    unique_handle& operator=(unique_handle&& other) noexcept
    {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, nullptr);
            close_ = other.close_;
        }
        return *this;
    }
    unique_handle(const unique_handle&) = delete;
    unique_handle& operator=(const unique_handle&) = delete;
    ~unique_handle() { reset(); }

    [[nodiscard]] HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

    void reset()
    {
        if (handle_)
            close_(std::exchange(handle_, nullptr));
    }

private:
    HANDLE handle_ = nullptr;
    close_function close_ = CloseHandle;
};

} // namespace launcher::windows
