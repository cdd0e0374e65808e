#pragma once
// TQELLockGuard: gives a lock that its owner took back on every way out of a
// scope.
//
// The guard holds the call that gives the lock back. Leaving the scope
// normally, that call runs and whatever it raises reaches the caller, as an
// unlock written out at the end of the scope would. Leaving it by an
// exception, the call runs too, but what it raises is dropped: the exception
// that unwinds is the one to report, and a destructor must not throw while
// another exception is in flight. Which of the two applies is told by
// comparing std::uncaught_exceptions() with its count when the guard was
// made, so a guard made inside a destructor that runs during unwinding still
// reports.
//
// A call that takes a bool is told whether the scope is left by an
// exception, for a lock that is given back differently then.
//
// Release() keeps the lock taken past the guard, for a lock that is handed
// on (a change, a granted exclusive lock); Unlock() gives it back early.

#include <exception>
#include <type_traits>
#include <utility>

namespace qel {

template <class TUnlock>
class TQELLockGuard {
 public:
  // Over a lock that is taken; with `owns` false over one that is not (the
  // guard then does nothing).
  explicit TQELLockGuard(TUnlock unlock, bool owns = true)
      : FUnlock(std::move(unlock)), FOwns(owns), FExceptions(std::uncaught_exceptions()) {}

  TQELLockGuard(TQELLockGuard&& other) noexcept(std::is_nothrow_move_constructible_v<TUnlock>)
      : FUnlock(std::move(other.FUnlock)),
        FOwns(std::exchange(other.FOwns, false)),
        FExceptions(other.FExceptions) {}
  TQELLockGuard(const TQELLockGuard&) = delete;
  TQELLockGuard& operator=(const TQELLockGuard&) = delete;
  TQELLockGuard& operator=(TQELLockGuard&&) = delete;

  ~TQELLockGuard() noexcept(false) {
    if (!FOwns) return;
    FOwns = false;
    if (std::uncaught_exceptions() > FExceptions) {
      try {
        Call(true);
      } catch (...) {
        // The exception that unwinds is reported; the lock stays with the
        // handle, which knows it still holds it.
      }
      return;
    }
    Call(false);
  }

  bool OwnsLock() const noexcept { return FOwns; }

  // Gives the lock back now; a failure raises, and the guard no longer
  // tries.
  void Unlock() {
    if (!FOwns) return;
    FOwns = false;
    Call(false);
  }

  // The lock stays taken: its new owner gives it back.
  void Release() noexcept { FOwns = false; }

 private:
  void Call(bool unwinding) {
    if constexpr (std::is_invocable_v<TUnlock&, bool>) {
      FUnlock(unwinding);
    } else {
      FUnlock();
    }
  }

  TUnlock FUnlock;
  bool FOwns;
  int FExceptions;
};

}  // namespace qel
