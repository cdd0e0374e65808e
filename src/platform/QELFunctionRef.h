#pragma once
// TQELFunctionRef: a reference to a callable, to hand a callback across a
// virtual call without the copy and the possible heap allocation of
// std::function. It owns nothing: it must not outlive what it refers to,
// so it is taken as a parameter and never stored.

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace qel {

template <class Signature>
class TQELFunctionRef;

template <class R, class... Args>
class TQELFunctionRef<R(Args...)> {
 public:
  // Refers to a callable object (a lambda, a function object). Implicit,
  // so that a lambda is passed as it is; a temporary one lives until the
  // end of the call it is passed to.
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, TQELFunctionRef> &&
             std::is_object_v<std::remove_reference_t<F>> && std::is_invocable_r_v<R, F&, Args...>)
  TQELFunctionRef(F&& callable) noexcept
      : FCallable(const_cast<void*>(static_cast<const void*>(std::addressof(callable)))),
        FCall([](void* target, Args... args) -> R {
          return std::invoke(*static_cast<std::add_pointer_t<std::remove_reference_t<F>>>(target),
                             std::forward<Args>(args)...);
        }) {}

  R operator()(Args... args) const { return FCall(FCallable, std::forward<Args>(args)...); }

 private:
  void* FCallable;
  R (*FCall)(void*, Args...);
};

}  // namespace qel
