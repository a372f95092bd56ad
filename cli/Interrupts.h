#pragma once

#include "core/UniqueFd.h"

#include <csignal>
#include <optional>

namespace sarnovelle::cli {

// Ctrl+C (SIGINT), SIGTERM and a hangup (SIGHUP: the terminal closed, the
// ssh connection dropped) while disks are being prepared.
//
// While an object lives, the three signals are blocked in the thread that made
// it and in every thread started after it, and their action is "ignore".
// The programs those threads start (the disk utility and its helpers)
// inherit the action, so a Ctrl+C at the terminal, which goes to the whole
// process group, cuts none of them short, shells included. The signals
// still reach this program: on Linux a blocked signal is never discarded,
// and wait() reads it through a signalfd. Other threads wake wait() with
// notify(). Make it before starting the threads; one object at a time.
class Interrupts {
public:
    Interrupts();
    ~Interrupts();
    Interrupts(const Interrupts&) = delete;
    Interrupts& operator=(const Interrupts&) = delete;

    struct Event {
        int signal = 0;          // the signal's number, or 0 for a notification
        unsigned char value = 0; // the notification's value
    };
    // Blocks until a signal or a notification comes.
    Event wait();
    // A signal that has come and not been taken yet, without blocking.
    std::optional<int> pendingSignal();
    // Wakes wait() with `value`. Safe from any thread.
    void notify(unsigned char value);

private:
    void restore();

    UniqueFd signals_;
    UniqueFd readEnd_;
    UniqueFd writeEnd_;
    sigset_t oldMask_{};
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
    struct sigaction oldHup_ {};
};

} // namespace sarnovelle::cli
