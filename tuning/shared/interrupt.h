// Stopping a long calibration when the user asks (Ctrl-C in the host). The
// host installs a check that tells whether a stop was asked; the cores call
// check_interrupt() between captures and bands. Only the thread that
// installed the check asks it (the host handles signals there), at most every
// few tens of milliseconds; once it says stop, every thread's next check
// throws too, so parallel folds end promptly.
#pragma once

#include <functional>
#include <stdexcept>

namespace tuning {

// The calibration was stopped on request (host: KeyboardInterrupt).
class Interrupted : public std::runtime_error {
 public:
  Interrupted() : std::runtime_error("calibration interrupted") {}
};

// Returns true when the user asked to stop. Installing an empty function
// removes the check.
using InterruptCheck = std::function<bool()>;
void set_interrupt_check(InterruptCheck check);

// Throws Interrupted when a stop was asked; costs a relaxed atomic load or two otherwise.
void check_interrupt();

// Asks every running calibration to stop at its next check (the host is exiting).
void request_interrupt();

// Forgets a stop that was reported, ready for the next calibration.
void clear_interrupt();

}  // namespace tuning
