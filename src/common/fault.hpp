// An internal fault: a broken invariant that aborts the current operation
// (for example a slice outside a byte string). It unwinds to the entry
// point's guard, which raises it as PanicException.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace vantrel {

class Fault : public std::exception {
 public:
  explicit Fault(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

}  // namespace vantrel
