#pragma once
// Process-wide state that a fork() child must not use: its PC/SC contexts,
// card handles and waiting threads belong to the parent. A child drops the
// state it inherited without releasing anything (releasing would talk to the
// PC/SC service over the parent's sockets) and starts with an empty one.
#include <sys/types.h>
#include <unistd.h>

#include <memory>
#include <vector>

template <class T>
class ProcessState {
public:
    ProcessState() = default;
    ~ProcessState() {
        if (isInherited())
            abandon();
    }
    ProcessState(const ProcessState&) = delete;
    ProcessState& operator=(const ProcessState&) = delete;

    T& operator*() { return *state_; }
    T* operator->() { return state_.get(); }

    // True in a child process as long as the state is still the parent's.
    bool isInherited() const { return owner_ != ::getpid(); }

    // In a child: leaves the parent's state unreleased and starts an empty one.
    void dropInherited() {
        if (!isInherited())
            return;
        abandon();
        state_ = std::make_unique<T>();
        owner_ = ::getpid();
    }

private:
    // Kept reachable, so that leak checkers do not report the parent's state.
    void abandon() {
        static auto* const abandoned = new std::vector<std::unique_ptr<T>>;
        abandoned->push_back(std::move(state_));
    }

    std::unique_ptr<T> state_ = std::make_unique<T>();
    pid_t owner_ = ::getpid();
};
