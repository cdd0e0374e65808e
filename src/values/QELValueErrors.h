#pragma once
// General errors of value handling that carry no native code of their own:
// a text that does not read as the wanted kind of value, an integer result
// that does not fit, a division by zero. The engine turns them into its own
// coded exceptions where a conversion or an operator reports them.

#include <stdexcept>

namespace qel {

class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class EIntOverflow : public std::runtime_error {
 public:
  EIntOverflow() : std::runtime_error("Integer overflow") {}
};

class EZeroDivide : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace qel
