// An object that the platform calls back through a table's plain pointer
// (a socket notification, a lookup completion, a timer, a wake-up): it is
// kept alive for the length of the call, and nothing the call raises goes
// further, because no caller would hear of it.
#pragma once

namespace velkomb::support {

class CallbackTarget {
public:
    virtual void KeepAlive() = 0;
    virtual void LetGo() = 0;

protected:
    ~CallbackTarget() = default;
};

template <class Call>
void CallKeptAlive(CallbackTarget& target, Call call) noexcept
{
    target.KeepAlive();
    try {
        call();
    } catch (...) {
        // Failures of a callback reach no caller.
    }
    target.LetGo();
}

} // namespace velkomb::support
